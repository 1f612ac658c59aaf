#pragma once

// Receiving the broadcasts that reach one interface, for programs that bind
// their sockets to that interface's address. On Linux such a socket never
// receives broadcasts: each broadcast address that reaches the interface (the
// limited broadcast 255.255.255.255 and the interface's subnet-directed one)
// needs a socket of its own, bound to it. Such a socket hears that broadcast
// arriving on any interface, so every datagram read from it tells which
// interface it arrived on. No threads, no Asio: usable by every program.
// Windows delivers the broadcasts that reach an interface to a socket bound to
// its address, and needs no such sockets.

#include "common/Sockets.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace Platform {

// The interface that holds an IPv4 address, as broadcast reception needs it.
struct BroadcastInterface {
    unsigned index = 0;
    // Broadcast addresses (host byte order) that need a socket of their own:
    // 255.255.255.255 first, then the subnet-directed one when the interface
    // has one that differs from it.
    std::vector<std::uint32_t> broadcastAddresses;
};

// Nothing when no interface holds the address (0.0.0.0 included) or the
// interfaces cannot be read, and always on Windows.
std::optional<BroadcastInterface> broadcastInterfaceOf(std::uint32_t address);

// Readies an unbound IPv4 UDP socket to be bound to a broadcast address
// beside another socket on the same port: address reuse, and the arrival
// interface reported with every datagram. False on failure (lastSocketError()
// tells why). Never needed on Windows, where it fails.
bool prepareBroadcastSocket(SocketHandle socket);

// One datagram read without waiting from a socket readied as above.
struct BroadcastDatagram {
    std::size_t size = 0;       // the datagram's real size, which may exceed the buffer
    std::uint32_t sender = 0;   // IPv4, host byte order
    unsigned arrivedOn = 0;     // interface index; 0 when not reported
};
// Nothing when no datagram waits or the read failed (lastSocketError() tells
// which). Never needed on Windows, where it reads nothing.
std::optional<BroadcastDatagram> receiveBroadcast(SocketHandle socket, char* buffer, std::size_t capacity);

} // namespace Platform
