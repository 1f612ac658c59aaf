#include "apps/kivprobe/SocketApi.h"

#ifdef _WIN32
#include <winsock2.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace Probe::SocketApi {

namespace {

sockaddr_in endpoint(std::uint32_t address, std::uint16_t port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(address);
    a.sin_port = htons(port);
    return a;
}

// Windows takes the value as const char*, POSIX as const void*.
bool setSocketOption(Handle socket, int name, int value)
{
    return ::setsockopt(socket, SOL_SOCKET, name, reinterpret_cast<const char*>(&value), sizeof value) == 0;
}

// A poll of the sockets that returns at once.
#ifdef _WIN32
using PollEntry = WSAPOLLFD;
constexpr short READABLE = POLLRDNORM;
int pollNow(std::vector<PollEntry>& entries)
{
    return ::WSAPoll(entries.data(), static_cast<ULONG>(entries.size()), 0);
}
#else
using PollEntry = pollfd;
constexpr short READABLE = POLLIN;
int pollNow(std::vector<PollEntry>& entries)
{
    return ::poll(entries.data(), entries.size(), 0);
}
#endif

} // namespace

bool allowAddressReuse(Handle socket)
{
    return setSocketOption(socket, SO_REUSEADDR, 1);
}

bool allowBroadcast(Handle socket)
{
    return setSocketOption(socket, SO_BROADCAST, 1);
}

bool bindTo(Handle socket, std::uint32_t address, std::uint16_t port)
{
    const sockaddr_in local = endpoint(address, port);
    return ::bind(socket, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0;
}

bool sendTo(Handle socket, const char* bytes, std::size_t size, std::uint32_t address, std::uint16_t port)
{
    // Messages hold at most 65,535 bytes, so the size fits the int Windows takes.
    const sockaddr_in destination = endpoint(address, port);
    const auto sent = ::sendto(socket, bytes, static_cast<int>(size), 0,
                               reinterpret_cast<const sockaddr*>(&destination), sizeof destination);
    return sent == static_cast<int>(size);
}

std::optional<Handle> socketWithDatagram(const std::vector<Handle>& sockets)
{
    // A poll rather than FIONREAD: that counts bytes (on Linux those of the
    // first datagram), so an empty datagram would read as "nothing waiting"
    // and hold up every datagram behind it.
    std::vector<PollEntry> polled;
    for (const Handle socket : sockets) {
        PollEntry p{};
        p.fd = socket;
        p.events = READABLE;
        polled.push_back(p);
    }
    if (pollNow(polled) <= 0)
        return std::nullopt;
    for (const PollEntry& p : polled)
        if ((p.revents & READABLE) != 0)
            return p.fd;
    return std::nullopt;
}

#ifdef _WIN32

std::optional<std::string> startSocketLayer()
{
    // Started at every attempt and never shut down: the process ends soon after.
    WSADATA data{};
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
        return "Error from WSAStarup - Check TCP/IP Installation\n";
    if (LOBYTE(data.wVersion) != 2 || HIBYTE(data.wVersion) != 2)
        return "Windows Sockets DLL does not support 2.2\n";
    return std::nullopt;
}

Handle openUdpSocket()
{
    return ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
}

void closeSocket(Handle socket)
{
    ::closesocket(socket);
}

std::optional<Received> receiveFrom(Handle socket, char* buffer, std::size_t capacity)
{
    sockaddr_in from{};
    int fromLength = sizeof from;
    const int size = ::recvfrom(socket, buffer, static_cast<int>(capacity), 0, reinterpret_cast<sockaddr*>(&from),
                                &fromLength);
    if (size == SOCKET_ERROR) {
        // A datagram larger than the buffer fails the read and is gone; its
        // size is unknown, only that it did not fit.
        if (WSAGetLastError() == WSAEMSGSIZE)
            return Received{capacity + 1, ntohl(from.sin_addr.s_addr)};
        return std::nullopt;
    }
    return Received{static_cast<std::size_t>(size), ntohl(from.sin_addr.s_addr)};
}

#else

std::optional<std::string> startSocketLayer()
{
    return std::nullopt;
}

Handle openUdpSocket()
{
    return ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
}

void closeSocket(Handle socket)
{
    ::close(socket);
}

std::optional<Received> receiveFrom(Handle socket, char* buffer, std::size_t capacity)
{
    sockaddr_in from{};
    socklen_t fromLength = sizeof from;
    // MSG_TRUNC: the result is the datagram's real size even when it did not
    // fit, so an oversized datagram is never mistaken for a whole one.
    const ssize_t size = ::recvfrom(socket, buffer, capacity, MSG_DONTWAIT | MSG_TRUNC,
                                    reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (size < 0)
        return std::nullopt;
    return Received{static_cast<std::size_t>(size), ntohl(from.sin_addr.s_addr)};
}

#endif

} // namespace Probe::SocketApi
