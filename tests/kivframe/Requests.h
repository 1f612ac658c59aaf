#pragma once

// Requests as a controller sends them to kivframe, and what the tests read
// back from the answers.

#include "UdpPeer.h"

#include "Morv/Wire.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace kivtest {

// Source ID of every request the tests send.
constexpr std::uint64_t REQUESTER_ID = 0x0000000011223344ULL;
// The first frame of a default kivframe run.
constexpr std::uint64_t FIRST_FRAME_ID = 0x00A0000000000001ULL;

inline std::vector<char> discoveryRequest(std::uint32_t sequence)
{
    std::vector<char> bytes(Morv::BROADCAST_ID_SIZE);
    Morv::buildBroadcastIdRequest(bytes.data(), REQUESTER_ID, Morv::NODE_TYPE_CONTROLLER, sequence);
    return bytes;
}

// A KIV text request (command 701) to one frame, with a valid checksum.
inline std::vector<char> textRequest(const std::string& text, std::uint64_t frameId, std::uint32_t sequence)
{
    std::vector<char> bytes(Morv::kivMessageSize(text.size()));
    Morv::MSG_CmdHdr header;
    header.sourceId = REQUESTER_ID;
    header.destinationId = frameId;
    header.senderNodeType = Morv::NODE_TYPE_CONTROLLER;
    header.destinationNodeType = Morv::NODE_TYPE_FRAME;
    header.length = static_cast<std::uint16_t>(bytes.size());
    header.command = Morv::CMD_KivText;
    header.sequence = sequence;
    Morv::writeHeader(bytes.data(), header);
    std::copy(text.begin(), text.end(), bytes.begin() + Morv::OFFSET_BODY);
    Morv::storeChecksum(bytes.data(), bytes.size());
    return bytes;
}

inline const char* chars(const std::vector<unsigned char>& bytes) { return reinterpret_cast<const char*>(bytes.data()); }

inline Morv::MSG_CmdHdr headerOf(const std::vector<unsigned char>& bytes)
{
    EXPECT_GE(bytes.size(), Morv::HEADER_SIZE);
    return bytes.size() >= Morv::HEADER_SIZE ? Morv::readHeader(chars(bytes)) : Morv::MSG_CmdHdr{};
}

inline std::uint32_t wordAt(const std::vector<unsigned char>& bytes, std::size_t offset)
{
    EXPECT_LE(offset + 4, bytes.size());
    return offset + 4 <= bytes.size() ? Morv::loadU32(chars(bytes), offset) : 0;
}

inline std::string idText(std::uint64_t id)
{
    char text[20];
    std::snprintf(text, sizeof text, "%08x:%08x", static_cast<unsigned>(id >> 32), static_cast<unsigned>(id));
    return text;
}

// kivframe answers in the order the requests arrive, and loopback keeps that
// order: once the answer to a later "fence" request (sequence `fence`, sent to
// a frame that answers at once) is in, every earlier answer is in too. Returns
// the datagrams before the fence's answer.
inline std::vector<Datagram> answersBefore(UdpPeer& peer, std::uint32_t fence,
                                           std::chrono::milliseconds limit = std::chrono::seconds(10))
{
    std::vector<Datagram> before;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        auto d = left.count() > 0 ? peer.receive(left) : std::nullopt;
        if (!d) {
            ADD_FAILURE() << "the answer to the fence request " << fence << " never came";
            return before;
        }
        if (d->bytes.size() >= Morv::HEADER_SIZE && headerOf(d->bytes).sequence == fence)
            return before;
        before.push_back(std::move(*d));
    }
}

} // namespace kivtest
