#include "apps/kivprobe/ProbeSockets.h"

#include "apps/kivprobe/ProbeWire.h"
#include "common/Broadcasts.h"

#include <utility>

namespace Probe {

namespace {

// Upper bound of one drain, so that a peer that never stops sending cannot
// hold the probe there; far more than a receive buffer can queue.
constexpr int MAX_DRAINED_DATAGRAMS = 4096;

} // namespace

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
        if (!SocketApi::allowAddressReuse(socket) || !SocketApi::allowBroadcast(socket)) {
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
    return openBroadcastSockets(address);
}

bool Sockets::openBroadcastSockets(std::uint32_t address)
{
    const auto interface = Platform::broadcastInterfaceOf(address);
    if (!interface)
        return true;
    interfaceIndex_ = interface->index;
    for (const std::uint32_t broadcast : interface->broadcastAddresses) {
        const SocketApi::Handle socket = SocketApi::openUdpSocket();
        if (socket == SocketApi::NO_SOCKET) {
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
        if (!SocketApi::bindTo(socket, broadcast, REPLY_PORT)) {
            // A subnet broadcast the system does not hold as local never arrives here either.
            if (broadcast != 0xFFFFFFFFU) {
                SocketApi::closeSocket(socket);
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
    for (SocketApi::Handle* socket : {&sendSocket_, &receiveSocket_}) {
        if (*socket != SocketApi::NO_SOCKET)
            SocketApi::closeSocket(*socket);
        *socket = SocketApi::NO_SOCKET;
    }
    for (const SocketApi::Handle socket : broadcastSockets_)
        SocketApi::closeSocket(socket);
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
    if (receiveSocket_ == SocketApi::NO_SOCKET)
        return std::nullopt;
    std::vector<SocketApi::Handle> receiving{receiveSocket_};
    receiving.insert(receiving.end(), broadcastSockets_.begin(), broadcastSockets_.end());
    const auto ready = SocketApi::socketWithDatagram(receiving);
    if (!ready)
        return std::nullopt;
    if (*ready != receiveSocket_) {
        const auto broadcast = Platform::receiveBroadcast(*ready, buffer, capacity);
        if (!broadcast)
            return std::nullopt;
        return Datagram{broadcast->size, broadcast->sender, broadcast->arrivedOn != interfaceIndex_};
    }
    const auto received = SocketApi::receiveFrom(receiveSocket_, buffer, capacity);
    if (!received)
        return std::nullopt;
    return Datagram{received->size, received->sender, false};
}

bool Sockets::send(const char* bytes, std::size_t size, std::uint32_t address)
{
    if (sendSocket_ == SocketApi::NO_SOCKET)
        return false;
    return SocketApi::sendTo(sendSocket_, bytes, size, address, FRAME_PORT);
}

} // namespace Probe
