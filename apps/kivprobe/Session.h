#pragma once

#include "Morv/Wire.h"
#include "apps/kivprobe/ProbeSockets.h"
#include "apps/kivprobe/ProbeWire.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace Probe {

// One run of the probe, in three steps that the caller takes in order and
// stops at the first that fails: open the sockets on the interface address,
// find the frame named by its ID, send it the text and report the answer.
// Each step prints what the user needs to see. Single-threaded.
class Session {
public:
    // `ownId` is the source ID of every message of the run.
    explicit Session(std::uint64_t ownId) : ownId_(ownId) {}

    // Up to four attempts, 250 ms apart. Prints nothing when the address is
    // not a dotted IPv4 address.
    bool openSockets(const char* addressText);
    // One discovery broadcast, then 300 polls 5 ms apart for the frame's reply.
    bool findFrame(const std::string& wantedId);
    // Up to three tries, each waiting about a second for the answer.
    bool sendMessage(const std::string& text);
    void closeSockets() { sockets_.close(); }

private:
    // A datagram that passed the checks, held in buffer_.
    struct Received {
        Morv::MSG_CmdHdr header;
        std::size_t size = 0;
        std::uint32_t sender = 0;
    };
    // Reads at most one waiting datagram; the datagram when it passed the checks.
    std::optional<Received> pollOnce();
    std::uint32_t nextSequence() { return sequence_++; }

    const std::uint64_t ownId_;
    std::uint32_t interfaceAddress_ = 0;
    Sockets sockets_;
    std::uint32_t sequence_ = 1;

    // The frame that findFrame found.
    std::uint64_t frameId_ = 0;
    std::uint16_t frameNodeType_ = 0;
    std::uint32_t frameAddress_ = 0;

    std::array<char, RECEIVE_BUFFER_SIZE> buffer_{};
};

} // namespace Probe
