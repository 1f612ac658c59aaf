#include "apps/kivprobe/ProbeSockets.h"

#include "apps/kivprobe/ProbeWire.h"

#include <cstdio>
#include <utility>

#ifdef _WIN32
#include <winsock2.h>
#else
#include <sys/socket.h>
#endif

namespace Probe {

namespace {

// Upper bound of one drain, so that a peer that never stops sending cannot
// hold the probe there; far more than a receive buffer can queue.
constexpr int MAX_DRAINED_DATAGRAMS = 4096;

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
    if (const auto failure = SocketApi::startSocketLayer()) {
        print(*failure);
        return false;
    }
    sendSocket_ = SocketApi::openUdpSocket();
    receiveSocket_ = SocketApi::openUdpSocket();
    if (!isOpen()) {
        close();
        print("Unable to create socket\n");
        return false;
    }
    for (const auto& [socket, port] : {std::pair{sendSocket_, FRAME_PORT}, std::pair{receiveSocket_, REPLY_PORT}}) {
        if (!SocketApi::setSocketOption(socket, SO_REUSEADDR, 1) || !SocketApi::setSocketOption(socket, SO_BROADCAST, 1)) {
            close();
            print("setsockopt error\n");
            return false;
        }
        if (!SocketApi::bindTo(socket, address, port)) {
            close();
            print("Bind error\n");
            return false;
        }
    }
    return true;
}

void Sockets::close()
{
    for (SocketApi::Handle* socket : {&sendSocket_, &receiveSocket_}) {
        if (*socket != SocketApi::NO_SOCKET)
            SocketApi::closeSocket(*socket);
        *socket = SocketApi::NO_SOCKET;
    }
}

void Sockets::drain()
{
    char discard[RECEIVE_BUFFER_SIZE];
    for (int i = 0; i < MAX_DRAINED_DATAGRAMS && receive(discard, sizeof discard); ++i) {
    }
}

std::optional<Datagram> Sockets::receive(char* buffer, std::size_t capacity)
{
    if (receiveSocket_ == SocketApi::NO_SOCKET || !SocketApi::datagramWaiting(receiveSocket_))
        return std::nullopt;
    const auto received = SocketApi::receiveFrom(receiveSocket_, buffer, capacity);
    if (!received)
        return std::nullopt;
    return Datagram{received->size, received->sender};
}

bool Sockets::send(const char* bytes, std::size_t size, std::uint32_t address)
{
    if (sendSocket_ == SocketApi::NO_SOCKET)
        return false;
    return SocketApi::sendTo(sendSocket_, bytes, size, address, FRAME_PORT);
}

} // namespace Probe
