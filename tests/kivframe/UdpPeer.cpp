#include "UdpPeer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace kivtest {

namespace {

std::runtime_error failure(const std::string& step)
{
    return std::runtime_error("UdpPeer: " + step + ": " + std::strerror(errno));
}

sockaddr_in endpoint(const std::string& address, std::uint16_t port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    if (inet_pton(AF_INET, address.c_str(), &a.sin_addr) != 1)
        throw std::runtime_error("UdpPeer: bad address " + address);
    return a;
}

std::string dotted(in_addr address)
{
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

} // namespace

UdpPeer::UdpPeer(const std::string& address, std::uint16_t port, int receiveBufferBytes)
{
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0)
        throw failure("socket");
    const int on = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    setsockopt(fd_, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    setsockopt(fd_, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
    if (receiveBufferBytes > 0 &&
        setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &receiveBufferBytes, sizeof receiveBufferBytes) != 0)
        setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBufferBytes, sizeof receiveBufferBytes);
    sockaddr_in local = endpoint(address, port);
    if (bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        close(fd_);
        throw failure("bind " + address + ":" + std::to_string(port));
    }
    socklen_t size = sizeof local;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &size);
    port_ = ntohs(local.sin_port);
}

UdpPeer::~UdpPeer() { close(fd_); }

void UdpPeer::send(const std::vector<char>& bytes, const std::string& address, std::uint16_t port)
{
    const sockaddr_in to = endpoint(address, port);
    if (sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) !=
        static_cast<ssize_t>(bytes.size()))
        throw failure("sendto " + address + ":" + std::to_string(port));
}

std::optional<Datagram> UdpPeer::receive(std::chrono::milliseconds timeout)
{
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(timeout.count())) <= 0)
        return std::nullopt;
    sockaddr_in peer{};
    iovec io{buffer_.data(), buffer_.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
    msghdr message{};
    message.msg_name = &peer;
    message.msg_namelen = sizeof peer;
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t n = recvmsg(fd_, &message, 0);
    if (n < 0)
        throw failure("recvmsg");
    Datagram d;
    d.bytes.assign(buffer_.begin(), buffer_.begin() + n);
    d.from = dotted(peer.sin_addr);
    d.fromPort = ntohs(peer.sin_port);
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c))
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
            in_pktinfo info{};
            std::memcpy(&info, CMSG_DATA(c), sizeof info);
            d.to = dotted(info.ipi_addr);
        }
    return d;
}

std::vector<Datagram> UdpPeer::receive(std::size_t count, std::chrono::milliseconds limit)
{
    std::vector<Datagram> received;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (received.size() < count) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        if (auto d = receive(left))
            received.push_back(std::move(*d));
    }
    return received;
}

} // namespace kivtest
