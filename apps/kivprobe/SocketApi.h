#pragma once

// The system's UDP socket calls in the one form the probe uses them: Windows
// Sockets on Windows, POSIX sockets elsewhere. Addresses and ports are in
// host byte order. Single-threaded.

#include "common/Broadcasts.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace Probe::SocketApi {

using Handle = Platform::SocketHandle;
#ifdef _WIN32
constexpr Handle NO_SOCKET = ~Handle{0}; // INVALID_SOCKET
#else
constexpr Handle NO_SOCKET = -1;
#endif

// Starts the socket layer for one attempt to open sockets. On Windows this
// asks Windows Sockets for version 2.2; the text to print when that fails.
// Elsewhere there is nothing to start.
std::optional<std::string> startSocketLayer();

// A UDP socket (IPv4, datagram, UDP), or NO_SOCKET.
Handle openUdpSocket();
void closeSocket(Handle socket);
// SO_REUSEADDR = 1 and SO_BROADCAST = 1.
bool allowAddressReuse(Handle socket);
bool allowBroadcast(Handle socket);
bool bindTo(Handle socket, std::uint32_t address, std::uint16_t port);

// The first of the sockets on which a datagram waits, an empty one included.
// Never blocks.
std::optional<Handle> socketWithDatagram(const std::vector<Handle>& sockets);

// One datagram read into the buffer. `size` is the datagram's whole size, or
// more than `capacity` when it did not fit.
struct Received {
    std::size_t size = 0;
    std::uint32_t sender = 0;
};
// Reads the next datagram without blocking; nothing when none waits or the read fails.
std::optional<Received> receiveFrom(Handle socket, char* buffer, std::size_t capacity);
// False when the send failed or sent fewer bytes.
bool sendTo(Handle socket, const char* bytes, std::size_t size, std::uint32_t address, std::uint16_t port);

} // namespace Probe::SocketApi
