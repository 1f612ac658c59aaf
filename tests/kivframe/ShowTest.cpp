// kivframe's show, read back from its log: a frame that joins late, one that
// falls silent and comes back, one whose status flags change, and meters that
// move as the documented function of the time and the frame. The windows are
// a second or more wide and the requests come every 100 ms: what is asserted
// is what the emulator did by its own clock, not when the test's requests came.

#include "Requests.h"
#include "UdpPeer.h"

#include "support/EmulatorLog.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

using namespace kivtest;
using namespace std::chrono_literals;

namespace {

constexpr std::int64_t SECOND = 1000000;
const std::string METER_FRAME = "00a00000:00000001"; // frame 0, --meter-motion
const std::string LATE_FRAME = "00a00000:00000002";  // joins after 1.5 s
const std::string SILENT_FRAME = "00a00000:00000003"; // silent from 1 s to 2.5 s
const std::string CHANGE_FRAME = "00a00000:00000004"; // flags 0x1, then 0x12 from 1.5 s

// Byte i of frame f's version-1 meter record at t_us, by the rule of --help.
unsigned char movingMeterByte(unsigned f, std::size_t i, std::int64_t tUs)
{
    const auto still = static_cast<std::int64_t>((f * 7 + i * 13 + 5) & 0xFF);
    const std::int64_t p = (still + 3 * (tUs / 100000)) % 512;
    return static_cast<unsigned char>(p < 256 ? p : 511 - p);
}

std::vector<LogEntry> answersOf(const std::vector<LogEntry>& log, const std::string& frame, long command)
{
    std::vector<LogEntry> answers;
    for (const auto& e : log)
        if (e.dir == "tx" && e.frame == frame && e.cmd == command)
            answers.push_back(e);
    return answers;
}

// Every 100 ms for 3.5 s: a discovery broadcast and a meter query to frame 0.
// Returns the log.
std::vector<LogEntry> playShow()
{
    Emulator emulator({"--frames", "1", "--meter-motion", "--flags", "1", "--pace", "0", "--frame",
                       "meter-motion=0,join-after=1.5", "--frame", "meter-motion=0,silent-from=1,silent-for=1.5",
                       "--frame", "meter-motion=0,change-at=1.5,changed-flags=0x12"});
    UdpPeer peer("127.0.0.1", 6004);
    const auto end = std::chrono::steady_clock::now() + 3500ms;
    for (std::uint32_t sequence = 1; std::chrono::steady_clock::now() < end; sequence += 2) {
        peer.send(discoveryRequest(sequence), "255.255.255.255", 6015);
        peer.send(textRequest("M?", FIRST_FRAME_ID, sequence + 1), "127.0.0.2", 6015);
        std::this_thread::sleep_for(100ms);
        while (peer.receive(0ms)) {
        }
    }
    const auto result = emulator.stop();
    EXPECT_EQ(result.exitCode, 0) << result.err;
    return emulator.log();
}

void expectLateJoin(const std::vector<LogEntry>& log)
{
    SCOPED_TRACE("join-after");
    const auto answers = answersOf(log, LATE_FRAME, 4);
    ASSERT_FALSE(answers.empty()) << "the frame never answered after joining";
    for (const auto& e : log) {
        if (e.dir == "tx" && e.frame == LATE_FRAME) {
            EXPECT_GE(e.tUs, 3 * SECOND / 2) << "an answer at " << e.tUs << " us";
        }
    }
}

void expectSilentWindow(const std::vector<LogEntry>& log)
{
    SCOPED_TRACE("silent-from, silent-for");
    std::size_t before = 0, inside = 0, after = 0;
    for (const auto& e : answersOf(log, SILENT_FRAME, 4))
        ++(e.tUs < SECOND ? before : e.tUs < 5 * SECOND / 2 ? inside : after);
    EXPECT_GT(before, 0U);
    EXPECT_EQ(inside, 0U);
    EXPECT_GT(after, 0U) << "the frame did not come back";
}

void expectFlagChange(const std::vector<LogEntry>& log)
{
    SCOPED_TRACE("change-at");
    std::size_t old = 0, changed = 0;
    for (const auto& e : answersOf(log, CHANGE_FRAME, 4)) {
        const std::uint32_t flags = wordAt(e.bytes(), 64);
        EXPECT_EQ(flags, e.tUs < 3 * SECOND / 2 ? 0x1U : 0x12U) << "reply at " << e.tUs << " us";
        ++(flags == 0x12 ? changed : old);
    }
    EXPECT_GT(old, 0U);
    EXPECT_GT(changed, 0U);
}

void expectMovingMeters(const std::vector<LogEntry>& log)
{
    SCOPED_TRACE("meter-motion");
    const auto answers = answersOf(log, METER_FRAME, 701);
    ASSERT_GE(answers.size(), 2U);
    for (const auto& e : answers) {
        const auto bytes = e.bytes();
        ASSERT_EQ(bytes.size(), Morv::OFFSET_BODY + 48 + 4);
        std::vector<unsigned char> expected(48);
        for (std::size_t i = 0; i < expected.size(); ++i)
            expected[i] = movingMeterByte(0, i, e.tUs);
        EXPECT_EQ(std::vector<unsigned char>(bytes.begin() + Morv::OFFSET_BODY, bytes.end() - 4), expected)
            << "meter answer at " << e.tUs << " us";
        EXPECT_TRUE(Morv::checksumValid(chars(bytes), bytes.size()));
    }
    EXPECT_NE(answers.front().bytes(), answers.back().bytes()) << "the meters did not move";
}

} // namespace

// One run for the four, so the 3.5 s are spent once.
TEST(KivframeShow, FramesJoinLateFallSilentChangeFlagsAndMoveTheirMeters)
{
    const auto log = playShow();
    expectLateJoin(log);
    expectSilentWindow(log);
    expectFlagChange(log);
    expectMovingMeters(log);
}
