#pragma once

// The requester's side of a kivframe test: a UDP socket on loopback that sends
// requests and collects answers, with the address each answer was sent to.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kivtest {

struct Datagram {
    std::vector<unsigned char> bytes;
    std::string from;        // sender address
    std::uint16_t fromPort = 0;
    std::string to;          // destination address (255.255.255.255 for a broadcast)
};

class UdpPeer {
public:
    // Binds address:port (port 0: an ephemeral one) with SO_REUSEADDR,
    // SO_BROADCAST and IP_PKTINFO, and a receive buffer of `receiveBufferBytes`
    // when not 0. Throws std::runtime_error.
    UdpPeer(const std::string& address, std::uint16_t port, int receiveBufferBytes = 0);
    ~UdpPeer();
    UdpPeer(const UdpPeer&) = delete;
    UdpPeer& operator=(const UdpPeer&) = delete;

    std::uint16_t port() const { return port_; }

    void send(const std::vector<char>& bytes, const std::string& address, std::uint16_t port);

    // The next datagram, or nothing after `timeout`.
    std::optional<Datagram> receive(std::chrono::milliseconds timeout);
    // Datagrams until `count` have arrived or `limit` has passed.
    std::vector<Datagram> receive(std::size_t count, std::chrono::milliseconds limit);

private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
    std::vector<unsigned char> buffer_ = std::vector<unsigned char>(65536);
};

} // namespace kivtest
