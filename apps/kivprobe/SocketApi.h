#pragma once

// The system's UDP socket calls in the one form the probe uses them: Windows
// Sockets on Windows, POSIX sockets elsewhere. Addresses and ports are in
// host byte order. Single-threaded.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#ifdef _WIN32
#include <winsock2.h>
#endif

namespace Probe::SocketApi {

#ifdef _WIN32
using Handle = SOCKET;
constexpr Handle NO_SOCKET = INVALID_SOCKET;
#else
using Handle = int;
constexpr Handle NO_SOCKET = -1;
#endif

// Starts the socket layer for one attempt to open sockets. On Windows this
// asks Windows Sockets for version 2.2; the text to print when that fails.
// Elsewhere there is nothing to start.
std::optional<std::string> startSocketLayer();

// A UDP socket (IPv4, datagram, UDP), or NO_SOCKET.
Handle openUdpSocket();
void closeSocket(Handle socket);
// Sets a socket-level (SOL_SOCKET) option to an int value.
bool setSocketOption(Handle socket, int name, int value);
bool bindTo(Handle socket, std::uint32_t address, std::uint16_t port);

// Whether a datagram waits on the socket, an empty one included. Never blocks.
bool datagramWaiting(Handle socket);

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
