#include "apps/kivprobe/ProbeSockets.h"

#include "apps/kivprobe/ProbeWire.h"
#include "common/Broadcasts.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <utility>

namespace Probe {

namespace {

// Upper bound of one drain, so that a peer that never stops sending cannot
// hold the probe there; far more than a receive buffer can queue.
constexpr int MAX_DRAINED_DATAGRAMS = 4096;

sockaddr_in endpoint(std::uint32_t address, std::uint16_t port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(address);
    a.sin_port = htons(port);
    return a;
}

// The first of the sockets on which a datagram waits, or -1. poll() rather
// than FIONREAD: on Linux FIONREAD gives the size of the first waiting
// datagram, so an empty datagram would read as "nothing waiting" and hide
// every datagram behind it.
int socketWithDatagram(const std::vector<int>& sockets)
{
    std::vector<pollfd> polled;
    for (const int socket : sockets)
        polled.push_back(pollfd{socket, POLLIN, 0});
    if (::poll(polled.data(), polled.size(), 0) <= 0)
        return -1;
    for (const pollfd& p : polled)
        if ((p.revents & POLLIN) != 0)
            return p.fd;
    return -1;
}

} // namespace

void print(const std::string& text)
{
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
}

Sockets::~Sockets() { close(); }

bool Sockets::open(std::uint32_t address)
{
    close();
    sendSocket_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    receiveSocket_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (!isOpen()) {
        close();
        print("Unable to create socket\n");
        return false;
    }
    for (const auto& [socket, port] : {std::pair{sendSocket_, FRAME_PORT}, std::pair{receiveSocket_, REPLY_PORT}}) {
        const int on = 1;
        if (::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
            ::setsockopt(socket, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) {
            close();
            print("setsockopt error\n");
            return false;
        }
        const sockaddr_in local = endpoint(address, port);
        if (::bind(socket, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
            close();
            print("Bind error\n");
            return false;
        }
    }
    return openBroadcastSockets(address);
}

bool Sockets::openBroadcastSockets(std::uint32_t address)
{
    const auto interface = Platform::broadcastInterfaceOf(address);
    if (!interface)
        return true;
    interfaceIndex_ = interface->index;
    for (const std::uint32_t broadcast : interface->broadcastAddresses) {
        const int socket = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
        if (socket < 0) {
            close();
            print("Unable to create socket\n");
            return false;
        }
        broadcastSockets_.push_back(socket);
        if (!Platform::prepareBroadcastSocket(socket)) {
            close();
            print("setsockopt error\n");
            return false;
        }
        const sockaddr_in local = endpoint(broadcast, REPLY_PORT);
        if (::bind(socket, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
            // A subnet broadcast the system does not hold as local never arrives here either.
            if (broadcast != 0xFFFFFFFFU) {
                ::close(socket);
                broadcastSockets_.pop_back();
                continue;
            }
            close();
            print("Bind error\n");
            return false;
        }
    }
    return true;
}

void Sockets::close()
{
    for (int* socket : {&sendSocket_, &receiveSocket_}) {
        if (*socket >= 0)
            ::close(*socket);
        *socket = -1;
    }
    for (const int socket : broadcastSockets_)
        ::close(socket);
    broadcastSockets_.clear();
    interfaceIndex_ = 0;
}

void Sockets::drain()
{
    char discard[RECEIVE_BUFFER_SIZE];
    for (int i = 0; i < MAX_DRAINED_DATAGRAMS && receive(discard, sizeof discard); ++i) {
    }
}

std::optional<Datagram> Sockets::receive(char* buffer, std::size_t capacity)
{
    if (receiveSocket_ < 0)
        return std::nullopt;
    std::vector<int> receiving{receiveSocket_};
    receiving.insert(receiving.end(), broadcastSockets_.begin(), broadcastSockets_.end());
    const int ready = socketWithDatagram(receiving);
    if (ready < 0)
        return std::nullopt;
    if (ready != receiveSocket_) {
        const auto broadcast = Platform::receiveBroadcast(ready, buffer, capacity);
        if (!broadcast)
            return std::nullopt;
        return Datagram{broadcast->size, broadcast->sender, broadcast->arrivedOn != interfaceIndex_};
    }
    sockaddr_in from{};
    socklen_t fromLength = sizeof from;
    // MSG_TRUNC: the result is the datagram's real size even when it did not
    // fit, so an oversized datagram is never mistaken for a whole one.
    const ssize_t size = ::recvfrom(receiveSocket_, buffer, capacity, MSG_DONTWAIT | MSG_TRUNC,
                                    reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (size < 0)
        return std::nullopt;
    return Datagram{static_cast<std::size_t>(size), ntohl(from.sin_addr.s_addr), false};
}

bool Sockets::send(const char* bytes, std::size_t size, std::uint32_t address)
{
    if (sendSocket_ < 0)
        return false;
    const sockaddr_in destination = endpoint(address, FRAME_PORT);
    const ssize_t sent = ::sendto(sendSocket_, bytes, size, 0, reinterpret_cast<const sockaddr*>(&destination),
                                  sizeof destination);
    return sent == static_cast<ssize_t>(size);
}

} // namespace Probe
