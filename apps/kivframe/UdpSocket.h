#pragma once

// One UDP socket of the emulator, on the loopback device only. It learns the
// address each datagram was sent to and sends each answer from a chosen
// address, so every frame answers from its own address.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>

namespace KivFrame {

// The sockets could not be set up; the message says which step failed and why.
class SetupError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class UdpSocket {
public:
    struct Datagram {
        std::size_t size = 0;
        std::uint32_t peer = 0;     // sender, host byte order
        std::uint16_t peerPort = 0;
        std::uint32_t local = 0;    // destination address of the datagram
    };

    // Binds 0.0.0.0:port on "lo" with SO_REUSEADDR, SO_BROADCAST and IP_PKTINFO,
    // and large buffers where allowed. Throws SetupError.
    explicit UdpSocket(std::uint16_t port);
    ~UdpSocket();
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;

    int fd() const { return fd_; }
    std::uint16_t port() const { return port_; }

    // One waiting datagram, never blocking: nothing when none waits. A receive
    // error also yields nothing and sets `failed`.
    std::optional<Datagram> receive(char* buffer, std::size_t capacity, bool& failed);

    // Sends from `source` to address:port without blocking. False when the
    // kernel did not take the whole datagram.
    bool send(std::uint32_t source, std::uint32_t address, std::uint16_t port, const char* bytes, std::size_t size);

private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

} // namespace KivFrame
