#include "apps/kivframe/UdpSocket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace KivFrame {

namespace {

// Room for a few thousand queued datagrams: a discovery broadcast heard by
// thousands of frames, or a burst of requests, must not overflow.
constexpr int BUFFER_BYTES = 8 * 1024 * 1024;

std::string failure(const std::string& step, std::uint16_t port)
{
    return "cannot " + step + " for port " + std::to_string(port) + ": " + std::strerror(errno);
}

void enable(int fd, int level, int option, const char* name, std::uint16_t port)
{
    const int on = 1;
    if (setsockopt(fd, level, option, &on, sizeof on) != 0)
        throw SetupError(failure(std::string("set ") + name, port));
}

// The forced variant works for privileged users; otherwise the system's maximum applies.
void raiseBuffer(int fd, int forced, int plain)
{
    const int bytes = BUFFER_BYTES;
    if (setsockopt(fd, SOL_SOCKET, forced, &bytes, sizeof bytes) != 0)
        setsockopt(fd, SOL_SOCKET, plain, &bytes, sizeof bytes);
}

} // namespace

UdpSocket::UdpSocket(std::uint16_t port) : port_(port)
{
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_UDP);
    if (fd_ < 0)
        throw SetupError(failure("create a UDP socket", port));
    try {
        enable(fd_, SOL_SOCKET, SO_REUSEADDR, "SO_REUSEADDR", port);
        enable(fd_, SOL_SOCKET, SO_BROADCAST, "SO_BROADCAST", port);
        enable(fd_, IPPROTO_IP, IP_PKTINFO, "IP_PKTINFO", port);
        // Only ever touch loopback, whatever the routes say.
        static const char device[] = "lo";
        if (setsockopt(fd_, SOL_SOCKET, SO_BINDTODEVICE, device, sizeof device) != 0)
            throw SetupError(failure("bind to device lo (SO_BINDTODEVICE)", port));
        raiseBuffer(fd_, SO_RCVBUFFORCE, SO_RCVBUF);
        raiseBuffer(fd_, SO_SNDBUFFORCE, SO_SNDBUF);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_ANY);
        if (bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
            throw SetupError(failure("bind 0.0.0.0:" + std::to_string(port), port));
    } catch (...) {
        close(fd_);
        throw;
    }
}

UdpSocket::~UdpSocket()
{
    close(fd_);
}

namespace {
// A message of one buffer to or from `peer`, with room for one IP_PKTINFO.
using PktInfoControl = char[CMSG_SPACE(sizeof(in_pktinfo))];
msghdr pktInfoMessage(sockaddr_in& peer, iovec& io, PktInfoControl& control)
{
    msghdr message{};
    message.msg_name = &peer;
    message.msg_namelen = sizeof peer;
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    return message;
}
} // namespace

std::optional<UdpSocket::Datagram> UdpSocket::receive(char* buffer, std::size_t capacity, bool& failed)
{
    failed = false;
    sockaddr_in peer{};
    iovec io{buffer, capacity};
    alignas(cmsghdr) PktInfoControl control;
    msghdr message = pktInfoMessage(peer, io, control);

    const ssize_t n = recvmsg(fd_, &message, MSG_DONTWAIT);
    if (n < 0) {
        failed = errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR;
        return std::nullopt;
    }
    Datagram datagram;
    datagram.size = static_cast<std::size_t>(n);
    datagram.peer = ntohl(peer.sin_addr.s_addr);
    datagram.peerPort = ntohs(peer.sin_port);
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
            in_pktinfo info{};
            std::memcpy(&info, CMSG_DATA(c), sizeof info);
            datagram.local = ntohl(info.ipi_addr.s_addr);
        }
    }
    return datagram;
}

bool UdpSocket::send(std::uint32_t source, std::uint32_t address, std::uint16_t port, const char* bytes,
                     std::size_t size)
{
    sockaddr_in destination{};
    destination.sin_family = AF_INET;
    destination.sin_port = htons(port);
    destination.sin_addr.s_addr = htonl(address);
    iovec io{const_cast<char*>(bytes), size};
    alignas(cmsghdr) PktInfoControl control = {};
    msghdr message = pktInfoMessage(destination, io, control);
    cmsghdr* c = CMSG_FIRSTHDR(&message);
    c->cmsg_level = IPPROTO_IP;
    c->cmsg_type = IP_PKTINFO;
    c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
    in_pktinfo info{};
    info.ipi_spec_dst.s_addr = htonl(source);
    std::memcpy(CMSG_DATA(c), &info, sizeof info);
    return sendmsg(fd_, &message, MSG_DONTWAIT) == static_cast<ssize_t>(size);
}

} // namespace KivFrame
