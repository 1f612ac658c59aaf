// Broadcast-ID requests: which frames answer, what their replies hold, where
// the replies go, and that thousands of frames answer one broadcast in full.

#include "Requests.h"
#include "UdpPeer.h"

#include "support/EmulatorLog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

using namespace kivtest;
using namespace std::chrono_literals;

namespace {

struct ExpectedFrame {
    std::uint64_t id;
    std::string address;
    std::uint16_t nodeType;
    std::uint32_t deviceType;
};

// Checks a plain 100-byte broadcast-ID reply: header, body words, zeros elsewhere, checksum.
void expectBroadcastIdReply(const std::vector<unsigned char>& bytes, const ExpectedFrame& frame,
                            std::uint32_t sequence, std::uint32_t flags, std::uint32_t stamp48, std::uint32_t stamp60,
                            std::uint32_t word80)
{
    ASSERT_EQ(bytes.size(), Morv::BROADCAST_ID_SIZE);
    const auto h = headerOf(bytes);
    EXPECT_EQ(h.sourceId, frame.id);
    EXPECT_EQ(h.destinationId, REQUESTER_ID);
    EXPECT_EQ(h.senderNodeType, frame.nodeType);
    EXPECT_EQ(h.destinationNodeType, Morv::NODE_TYPE_CONTROLLER);
    EXPECT_EQ(h.length, 100);
    EXPECT_EQ(h.command, Morv::CMD_BroadcastID);
    EXPECT_EQ(h.sequence, sequence);
    EXPECT_EQ(wordAt(bytes, 48), stamp48);
    EXPECT_EQ(wordAt(bytes, 60), stamp60);
    EXPECT_EQ(wordAt(bytes, 64), flags);
    EXPECT_EQ(wordAt(bytes, 72), frame.deviceType);
    EXPECT_EQ(wordAt(bytes, 80), word80);
    for (std::size_t i = 28; i < 96; i += 4)
        if (i != 48 && i != 60 && i != 64 && i != 72 && i != 80) {
            EXPECT_EQ(wordAt(bytes, i), 0U) << "body word " << i;
        }
    EXPECT_TRUE(Morv::checksumValid(chars(bytes), bytes.size()));
}

} // namespace

TEST(KivframeDiscovery, EveryFrameAnswersABroadcastFromItsOwnAddressInFrameOrder)
{
    Emulator emulator({"--frames", "3", "--node-type", "0x8005", "--device-type", "7", "--flags", "0x12", "--stamp48",
                       "5", "--stamp60", "-2", "--word80", "0xdeadbeef", "--pace", "0", "--frame",
                       "id=0012ab34:00000009,address=127.0.0.20,device-type=22,node-type=8"});
    UdpPeer peer("127.0.0.1", 6004);
    peer.send(discoveryRequest(4711), "255.255.255.255", 6015);
    const auto replies = peer.receive(4, 5s);
    ASSERT_EQ(replies.size(), 4U);

    const std::vector<ExpectedFrame> frames = {
        {0x00A0000000000001ULL, "127.0.0.2", 0x8005, 7},
        {0x00A0000000000002ULL, "127.0.0.3", 0x8005, 7},
        {0x00A0000000000003ULL, "127.0.0.4", 0x8005, 7},
        {0x0012AB3400000009ULL, "127.0.0.20", 8, 22},
    };
    for (std::size_t i = 0; i < frames.size(); ++i) {
        SCOPED_TRACE(frames[i].address);
        EXPECT_EQ(replies[i].from, frames[i].address);
        EXPECT_EQ(replies[i].fromPort, 6015);
        expectBroadcastIdReply(replies[i].bytes, frames[i], 4711, 0x12, 5, 0xFFFFFFFEU, 0xDEADBEEFU);
    }
    EXPECT_FALSE(peer.receive(100ms)) << "one broadcast, one reply per frame";
}

TEST(KivframeDiscovery, UnicastRequestIsAnsweredByTheFramesOfThatAddressOnly)
{
    Emulator emulator({"--frames", "6", "--per-address", "2", "--pace", "0"});
    UdpPeer peer("127.0.0.1", 6004);
    peer.send(discoveryRequest(1), "127.0.0.3", 6015);
    peer.send(discoveryRequest(2), "127.0.0.77", 6015); // no frame there
    peer.send(textRequest("Dev.Power=1", FIRST_FRAME_ID, 3), "127.0.0.2", 6015);
    const auto replies = answersBefore(peer, 3);
    ASSERT_EQ(replies.size(), 2U);
    EXPECT_EQ(headerOf(replies[0].bytes).sourceId, 0x00A0000000000003ULL);
    EXPECT_EQ(headerOf(replies[1].bytes).sourceId, 0x00A0000000000004ULL);
    for (const auto& r : replies) {
        EXPECT_EQ(r.from, "127.0.0.3");
        EXPECT_EQ(headerOf(r.bytes).sequence, 1U);
    }
}

// A request that arrived on port 6015 is answered on port 6004; one that
// arrived on 6016 to the requester's own port.
TEST(KivframeDiscovery, AnswersGoTo6004For6015AndToTheRequesterPortFor6016)
{
    Emulator emulator({"--frames", "1", "--pace", "0"});
    UdpPeer controllerPort("127.0.0.1", 6004);
    UdpPeer ephemeral("127.0.0.1", 0);

    ephemeral.send(discoveryRequest(10), "255.255.255.255", 6016);
    ephemeral.send(textRequest("Dev.Power=1", FIRST_FRAME_ID, 11), "127.0.0.2", 6016);
    const auto dynamic = ephemeral.receive(2, 5s);
    ASSERT_EQ(dynamic.size(), 2U);
    EXPECT_EQ(headerOf(dynamic[0].bytes).command, Morv::CMD_BroadcastID);
    EXPECT_EQ(headerOf(dynamic[1].bytes).command, Morv::CMD_Ack);
    for (const auto& d : dynamic) {
        EXPECT_EQ(d.from, "127.0.0.2");
        EXPECT_EQ(d.fromPort, 6016);
    }

    ephemeral.send(discoveryRequest(12), "255.255.255.255", 6015);
    ephemeral.send(textRequest("Dev.Power=1", FIRST_FRAME_ID, 13), "127.0.0.2", 6015);
    const auto fixed = controllerPort.receive(2, 5s);
    ASSERT_EQ(fixed.size(), 2U);
    EXPECT_EQ(headerOf(fixed[0].bytes).sequence, 12U);
    EXPECT_EQ(headerOf(fixed[1].bytes).sequence, 13U);
    for (const auto& d : fixed) {
        EXPECT_EQ(d.from, "127.0.0.2");
        EXPECT_EQ(d.fromPort, 6015);
    }
    EXPECT_FALSE(ephemeral.receive(100ms)) << "answers to port-6015 requests never go to the sender's port";
}

TEST(KivframeDiscovery, ExtWrapsTheReplyInA436ByteCommand5Message)
{
    Emulator emulator({"--frames", "1", "--ext", "--device-type", "12", "--flags", "2", "--node-type", "0x8005"});
    UdpPeer peer("127.0.0.1", 6004);
    peer.send(discoveryRequest(99), "255.255.255.255", 6015);
    const auto reply = peer.receive(2s);
    ASSERT_TRUE(reply);
    const auto& bytes = reply->bytes;
    ASSERT_EQ(bytes.size(), 436U);
    const auto outer = headerOf(bytes);
    EXPECT_EQ(outer.sourceId, FIRST_FRAME_ID);
    EXPECT_EQ(outer.destinationId, REQUESTER_ID);
    EXPECT_EQ(outer.senderNodeType, 0x8005);
    EXPECT_EQ(outer.length, 436);
    EXPECT_EQ(outer.command, Morv::CMD_BroadcastIDExt);
    EXPECT_EQ(outer.sequence, 99U);
    EXPECT_EQ(Morv::loadS16(chars(bytes), 28), 1);
    EXPECT_EQ(Morv::loadU16(chars(bytes), 30), 0);
    EXPECT_TRUE(Morv::checksumValid(chars(bytes), bytes.size()));
    EXPECT_EQ(Morv::innerBroadcastIdOffset(chars(bytes), bytes.size()), std::optional<std::size_t>(32));

    const std::vector<unsigned char> inner(bytes.begin() + 32, bytes.begin() + 132);
    expectBroadcastIdReply(inner, {FIRST_FRAME_ID, "127.0.0.2", 0x8005, 12}, 99, 2, 0, 0, 0);
    for (std::size_t i = 132; i < 432; ++i)
        EXPECT_EQ(bytes[i], 0) << "byte " << i;
}

// 5,000 frames answer one broadcast completely (paced, by default), then each
// takes one request. The reader's buffer is large: a reader slowed by a
// sanitizer on busy cores must not lose answers in its own socket buffer,
// which would hide whether the emulator lost any.
TEST(KivframeDiscovery, FiveThousandFramesAnswerOneBroadcastAndTheirRequests)
{
    constexpr std::size_t FRAMES = 5000;
    Emulator emulator({"--frames", std::to_string(FRAMES), "--quiet"});
    UdpPeer peer("127.0.0.1", 6004, 8 * 1024 * 1024);
    peer.send(discoveryRequest(1), "255.255.255.255", 6015);
    const auto replies = peer.receive(FRAMES, 30s);
    ASSERT_EQ(replies.size(), FRAMES);
    std::set<std::uint64_t> ids;
    std::set<std::string> addresses;
    for (const auto& r : replies) {
        ASSERT_EQ(r.bytes.size(), 100U);
        ids.insert(headerOf(r.bytes).sourceId);
        addresses.insert(r.from);
    }
    EXPECT_EQ(ids.size(), FRAMES);
    EXPECT_EQ(addresses.size(), FRAMES);
    EXPECT_EQ(*ids.begin(), FIRST_FRAME_ID);
    EXPECT_EQ(*ids.rbegin(), FIRST_FRAME_ID + FRAMES - 1);

    // Requests in windows of 100, as a congestion-controlled sender would.
    std::set<std::uint32_t> acked;
    constexpr std::size_t WINDOW = 100;
    for (std::size_t first = 0; first < FRAMES; first += WINDOW) {
        for (std::size_t i = first; i < first + WINDOW; ++i)
            peer.send(textRequest("Dev.Power=1", FIRST_FRAME_ID + i, static_cast<std::uint32_t>(1000 + i)),
                      "127." + std::to_string((i + 2) >> 16 & 0xFF) + "." + std::to_string((i + 2) >> 8 & 0xFF) + "." +
                          std::to_string((i + 2) & 0xFF),
                      6015);
        for (const auto& a : peer.receive(WINDOW, 10s))
            if (headerOf(a.bytes).command == Morv::CMD_Ack)
                acked.insert(headerOf(a.bytes).sequence);
    }
    EXPECT_EQ(acked.size(), FRAMES);
}
