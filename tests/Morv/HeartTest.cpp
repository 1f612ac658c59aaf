#include "FakeDatagramSender.h"

#include "Morv/Heart.h"
#include "Morv/Wire.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <set>
#include <thread>

using namespace Morv;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {
constexpr std::uint64_t OWN_ID = 0x0123456789ABCDEFULL;

double msBetween(Clock::time_point a, Clock::time_point b)
{
    return std::chrono::duration<double, std::milli>(b - a).count();
}
} // namespace

TEST(Heart, BroadcastsAValidDiscoveryRequestEverySecond)
{
    kivtest::FakeDatagramSender sender;
    const auto start = Clock::now();
    {
        Heart heart(sender, OWN_ID, NODE_TYPE_CONTROLLER);
        std::this_thread::sleep_for(3500ms);
    }
    const auto sent = sender.sent();
    ASSERT_EQ(sent.size(), 4U) << "broadcasts at about 0, 1, 2 and 3 s";

    std::set<std::uint32_t> sequences;
    for (const auto& s : sent) {
        ASSERT_EQ(s.bytes.size(), BROADCAST_ID_SIZE);
        EXPECT_TRUE(s.broadcast);
        const MSG_CmdHdr h = readHeader(s.bytes.data());
        EXPECT_EQ(h.sourceId, OWN_ID);
        EXPECT_EQ(h.destinationId, DISCOVERY_ID);
        EXPECT_EQ(h.senderNodeType, NODE_TYPE_CONTROLLER);
        EXPECT_EQ(h.destinationNodeType, 0);
        EXPECT_EQ(h.length, BROADCAST_ID_SIZE);
        EXPECT_EQ(h.command, CMD_BroadcastID);
        EXPECT_TRUE(checksumValid(s.bytes.data(), s.bytes.size()));
        for (std::size_t i = HEADER_SIZE; i < BROADCAST_ID_SIZE - CHECKSUM_SIZE; ++i)
            ASSERT_EQ(s.bytes[i], 0) << "body byte " << i;
        sequences.insert(h.sequence);
    }
    EXPECT_EQ(sequences.size(), sent.size()) << "every broadcast takes a fresh sequence number";

    // Generous bounds: the point is "at once, then about a second apart".
    EXPECT_LT(msBetween(start, sent[0].at), 500.0);
    for (std::size_t i = 1; i < sent.size(); ++i) {
        EXPECT_GT(msBetween(sent[i - 1].at, sent[i].at), 900.0) << "gap " << i;
        EXPECT_LT(msBetween(sent[i - 1].at, sent[i].at), 1600.0) << "gap " << i;
    }
}

TEST(Heart, DestructionDuringTheWaitReturnsAtOnce)
{
    kivtest::FakeDatagramSender sender;
    auto heart = std::make_unique<Heart>(sender, OWN_ID, NODE_TYPE_CONTROLLER);
    ASSERT_TRUE(sender.waitForCount(1, 2s));
    std::this_thread::sleep_for(50ms);

    const auto before = Clock::now();
    heart.reset();
    EXPECT_LT(msBetween(before, Clock::now()), 500.0);
    EXPECT_EQ(sender.sent().size(), 1U);
}

TEST(Heart, ImmediateDestructionDoesNotHang)
{
    // The thread may not have started its loop yet when the destructor runs.
    kivtest::FakeDatagramSender sender;
    for (int i = 0; i < 20; ++i)
        Heart heart(sender, OWN_ID, NODE_TYPE_CONTROLLER);
    EXPECT_LE(sender.sent().size(), 20U);
}

TEST(Heart, SlowBroadcastIsFollowedAtOnceByTheNext)
{
    // The period runs from cycle start to cycle start, so a broadcast that
    // takes longer than the period leaves no wait at all after it.
    kivtest::FakeDatagramSender sender;
    bool first = true;
    sender.hook = [&first](const kivtest::FakeDatagramSender::Sent&) {
        if (first) {
            first = false;
            std::this_thread::sleep_for(1200ms);
        }
    };
    {
        Heart heart(sender, OWN_ID, NODE_TYPE_CONTROLLER);
        ASSERT_TRUE(sender.waitForCount(2, 5s));
    }
    const auto sent = sender.sent();
    EXPECT_LT(msBetween(sent[0].at, sent[1].at), 1700.0) << "the wait should not restart after a slow broadcast";
}
