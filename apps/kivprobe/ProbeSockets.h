#pragma once

#include "apps/kivprobe/Output.h"
#include "apps/kivprobe/SocketApi.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace Probe {

// One datagram read from the receive socket. `size` is the datagram's whole
// size, or more than the buffer when it did not fit.
struct Datagram {
    std::size_t size = 0;
    std::uint32_t sender = 0; // IPv4, host byte order
    bool otherInterface = false; // a broadcast that arrived on another interface: to be dropped
};

// The probe's two blocking UDP sockets, both bound to the interface address:
// the send socket on FRAME_PORT, through which every message leaves, and the
// receive socket on REPLY_PORT, from which every answer is read. Where the
// system does not deliver broadcasts to a socket bound to an interface
// address, frames that answer by broadcast are read from further sockets,
// bound to the interface's broadcast addresses on REPLY_PORT. Reads are only
// made when a datagram is waiting, so no call here blocks for long.
// Single-threaded.
class Sockets {
public:
    Sockets() = default;
    ~Sockets();
    Sockets(const Sockets&) = delete;
    Sockets& operator=(const Sockets&) = delete;

    // One attempt to create, configure and bind both sockets. On failure
    // prints what failed, closes both and returns false.
    bool open(std::uint32_t address);
    void close();
    bool isOpen() const { return sendSocket_ != SocketApi::NO_SOCKET && receiveSocket_ != SocketApi::NO_SOCKET; }

    // Reads and discards the datagrams waiting on the receive socket.
    void drain();
    // Reads the next waiting datagram, from whichever receiving socket has one,
    // into the buffer; nothing when none waits.
    std::optional<Datagram> receive(char* buffer, std::size_t capacity);
    // Sends the bytes to `address` (host byte order), FRAME_PORT. False when
    // the send failed or sent fewer bytes.
    bool send(const char* bytes, std::size_t size, std::uint32_t address);

private:
    bool openBroadcastSockets(std::uint32_t address);

    SocketApi::Handle sendSocket_ = SocketApi::NO_SOCKET;
    SocketApi::Handle receiveSocket_ = SocketApi::NO_SOCKET;
    std::vector<SocketApi::Handle> broadcastSockets_;
    unsigned interfaceIndex_ = 0; // where the broadcasts read must have arrived
};

} // namespace Probe
