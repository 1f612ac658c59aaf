#include "common/Broadcasts.h"

#ifdef _WIN32

#include <winsock2.h>

namespace Platform {

std::optional<BroadcastInterface> broadcastInterfaceOf(std::uint32_t)
{
    return std::nullopt;
}

bool prepareBroadcastSocket(SocketHandle)
{
    WSASetLastError(WSAEOPNOTSUPP);
    return false;
}

std::optional<BroadcastDatagram> receiveBroadcast(SocketHandle, char*, std::size_t)
{
    WSASetLastError(WSAEOPNOTSUPP);
    return std::nullopt;
}

} // namespace Platform

#else

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

namespace Platform {

namespace {
constexpr std::uint32_t LIMITED_BROADCAST = 0xFFFFFFFFU;

std::uint32_t ipv4Of(const sockaddr* address)
{
    return ntohl(reinterpret_cast<const sockaddr_in*>(address)->sin_addr.s_addr);
}
} // namespace

std::optional<BroadcastInterface> broadcastInterfaceOf(std::uint32_t address)
{
    if (address == 0)
        return std::nullopt;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return std::nullopt;
    const std::unique_ptr<ifaddrs, void (*)(ifaddrs*)> owner(list, freeifaddrs);
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET || ipv4Of(entry->ifa_addr) != address)
            continue;
        BroadcastInterface found;
        // An alias ("eth0:1") belongs to its interface.
        std::string name = entry->ifa_name;
        name = name.substr(0, name.find(':'));
        found.index = if_nametoindex(name.c_str());
        if (found.index == 0)
            return std::nullopt;
        found.broadcastAddresses.push_back(LIMITED_BROADCAST);
        // The subnet-directed broadcast, from the mask as the system reports it;
        // none for /31, /32 and interfaces without broadcast (loopback).
        if ((entry->ifa_flags & IFF_BROADCAST) != 0 && entry->ifa_netmask != nullptr &&
            entry->ifa_netmask->sa_family == AF_INET) {
            const std::uint32_t mask = ipv4Of(entry->ifa_netmask);
            const std::uint32_t directed = address | ~mask;
            if (mask < 0xFFFFFFFEU && directed != LIMITED_BROADCAST)
                found.broadcastAddresses.push_back(directed);
        }
        return found;
    }
    return std::nullopt;
}

bool prepareBroadcastSocket(SocketHandle socket)
{
    const int on = 1;
    return ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 &&
           ::setsockopt(socket, IPPROTO_IP, IP_PKTINFO, &on, sizeof on) == 0;
}

std::optional<BroadcastDatagram> receiveBroadcast(SocketHandle socket, char* buffer, std::size_t capacity)
{
    sockaddr_in source{};
    iovec data{buffer, capacity};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
    msghdr message{};
    message.msg_name = &source;
    message.msg_namelen = sizeof source;
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t length;
    do {
        // MSG_TRUNC: the real size, so a datagram that did not fit is never taken for a whole one.
        length = ::recvmsg(socket, &message, MSG_DONTWAIT | MSG_TRUNC);
    } while (length < 0 && errno == EINTR);
    if (length < 0)
        return std::nullopt;
    BroadcastDatagram datagram;
    datagram.size = static_cast<std::size_t>(length);
    datagram.sender = ntohl(source.sin_addr.s_addr);
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
            in_pktinfo info;
            std::memcpy(&info, CMSG_DATA(c), sizeof info);
            datagram.arrivedOn = static_cast<unsigned>(info.ipi_ifindex);
        }
    }
    return datagram;
}

} // namespace Platform

#endif
