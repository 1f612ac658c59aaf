#include "common/Sockets.h"

#ifdef _WIN32

#include <winsock2.h>
#include <mswsock.h>

namespace Platform {

int lastSocketError()
{
    return WSAGetLastError();
}

bool ignoreUnreachablePeers(SocketHandle socket)
{
    BOOL report = FALSE;
    DWORD returned = 0;
    return WSAIoctl(socket, SIO_UDP_CONNRESET, &report, sizeof report, nullptr, 0, &returned, nullptr, nullptr) == 0;
}

} // namespace Platform

#else

#include <cerrno>

namespace Platform {

int lastSocketError()
{
    return errno;
}

bool ignoreUnreachablePeers(SocketHandle)
{
    return true;
}

} // namespace Platform

#endif
