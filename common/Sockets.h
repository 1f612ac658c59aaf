#pragma once

// The few socket matters in which Windows Sockets and POSIX sockets differ,
// for code that makes socket calls of its own. No threads, no Asio.

#include <cstdint>

namespace Platform {

#ifdef _WIN32
using SocketHandle = std::uintptr_t; // a Windows Sockets SOCKET
#else
using SocketHandle = int;
#endif

// The error code of the last failed socket call of this thread: errno, or on
// Windows WSAGetLastError().
int lastSocketError();

// Windows fails the next receive of a UDP socket with WSAECONNRESET when an
// earlier send drew an ICMP "port unreachable" (a peer that went away); this
// switches that report off (SIO_UDP_CONNRESET). Other systems report nothing
// of the kind to an unconnected socket. False on failure (lastSocketError()).
bool ignoreUnreachablePeers(SocketHandle socket);

} // namespace Platform
