// kivframe's JSON-lines log: a start line, one line per datagram received or
// sent with its fields, a stop line.

#include "Requests.h"
#include "UdpPeer.h"

#include "support/EmulatorLog.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

using namespace kivtest;
using namespace std::chrono_literals;

namespace {

std::vector<unsigned char> unsignedBytes(const std::vector<char>& bytes)
{
    return std::vector<unsigned char>(bytes.begin(), bytes.end());
}

} // namespace

TEST(KivframeLog, RecordsEveryDatagramWithItsFields)
{
    Emulator emulator({"--frames", "2", "--pace", "0"});
    UdpPeer peer("127.0.0.1", 6004);
    UdpPeer dynamic("127.0.0.1", 0);

    const auto discovery = discoveryRequest(41);
    peer.send(discovery, "255.255.255.255", 6015);
    ASSERT_EQ(peer.receive(2, 5s).size(), 2U);
    auto request = textRequest("Dev.Power=1", 0x00A0000000000002ULL, 42);
    dynamic.send(request, "127.0.0.3", 6016);
    const auto ack = dynamic.receive(5s);
    ASSERT_TRUE(ack);
    auto badChecksum = textRequest("Dev.Power=1", 0x00A0000000000099ULL, 43); // nobody has this ID
    badChecksum.back() ^= 1;
    peer.send(badChecksum, "127.0.0.2", 6015);
    peer.send(std::vector<char>{'h', 'e', 'l', 'l', 'o'}, "127.0.0.2", 6015);
    peer.send(discoveryRequest(44), "127.0.0.2", 6015);
    ASSERT_TRUE(peer.receive(5s)); // the last request is handled, so all are logged

    const auto result = emulator.stop();
    EXPECT_EQ(result.exitCode, 0);
    const auto log = emulator.log();
    ASSERT_EQ(log.size(), 11U);

    EXPECT_EQ(log.front().event, "start");
    EXPECT_EQ(log.back().event, "stop");
    for (std::size_t i = 1; i < log.size(); ++i)
        EXPECT_GE(log[i].tUs, log[i - 1].tUs) << "line " << i + 1;

    const LogEntry& broadcastRx = log[1];
    EXPECT_EQ(broadcastRx.dir, "rx");
    EXPECT_EQ(broadcastRx.frame, "*");
    EXPECT_EQ(broadcastRx.address, "127.0.0.1");
    EXPECT_EQ(broadcastRx.port, 6004);
    EXPECT_EQ(broadcastRx.local, "255.255.255.255");
    EXPECT_EQ(broadcastRx.localPort, 6015);
    EXPECT_EQ(broadcastRx.cmd, 4);
    EXPECT_EQ(broadcastRx.seq, 41);
    EXPECT_EQ(broadcastRx.len, 100);
    EXPECT_TRUE(broadcastRx.checksumOk);
    EXPECT_EQ(broadcastRx.bytes(), unsignedBytes(discovery));

    for (std::size_t i = 0; i < 2; ++i) {
        const LogEntry& tx = log[2 + i];
        EXPECT_EQ(tx.dir, "tx");
        EXPECT_EQ(tx.frame, idText(FIRST_FRAME_ID + i));
        EXPECT_EQ(tx.address, "127.0.0.1");
        EXPECT_EQ(tx.port, 6004);
        EXPECT_EQ(tx.local, "127.0.0." + std::to_string(2 + i));
        EXPECT_EQ(tx.localPort, 6015);
        EXPECT_EQ(tx.cmd, 4);
        EXPECT_EQ(tx.seq, 41);
        EXPECT_EQ(tx.len, 100);
        EXPECT_TRUE(tx.checksumOk);
    }

    const LogEntry& requestRx = log[4];
    EXPECT_EQ(requestRx.frame, "00a00000:00000002");
    EXPECT_EQ(requestRx.port, dynamic.port());
    EXPECT_EQ(requestRx.local, "127.0.0.3");
    EXPECT_EQ(requestRx.localPort, 6016);
    EXPECT_EQ(requestRx.cmd, 701);
    EXPECT_EQ(requestRx.len, static_cast<long>(request.size()));
    EXPECT_EQ(requestRx.bytes(), unsignedBytes(request));

    const LogEntry& ackTx = log[5];
    EXPECT_EQ(ackTx.dir, "tx");
    EXPECT_EQ(ackTx.frame, "00a00000:00000002");
    EXPECT_EQ(ackTx.port, dynamic.port());
    EXPECT_EQ(ackTx.local, "127.0.0.3");
    EXPECT_EQ(ackTx.localPort, 6016);
    EXPECT_EQ(ackTx.cmd, 2);
    EXPECT_EQ(ackTx.seq, 42);
    EXPECT_EQ(ackTx.bytes(), ack->bytes);

    const LogEntry& unknownId = log[6];
    EXPECT_EQ(unknownId.frame, "?");
    EXPECT_EQ(unknownId.seq, 43);
    EXPECT_FALSE(unknownId.checksumOk);

    const LogEntry& tooShort = log[7];
    EXPECT_EQ(tooShort.frame, "?");
    EXPECT_EQ(tooShort.cmd, -1);
    EXPECT_EQ(tooShort.seq, -1);
    EXPECT_EQ(tooShort.len, 5);
    EXPECT_FALSE(tooShort.checksumOk);
    EXPECT_EQ(tooShort.hex, "68656c6c6f");

    EXPECT_EQ(log[8].frame, "00a00000:00000001") << "a unicast discovery names the one frame of the address";
    EXPECT_EQ(log[9].dir, "tx");
    EXPECT_EQ(log[9].seq, 44);
}

TEST(KivframeLog, DurationEndsTheRunWithAStopLineAndASummary)
{
    const std::string logPath = tempPath("kivframe-duration-log");
    const auto result =
        run({program("kivframe"), "--frames", "3", "--duration", "0.3", "--log", logPath}, 10s);
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_FALSE(result.timedOut);
    EXPECT_NE(result.err.find("kivframe: 3 frames ready on 127.0.0.2-127.0.0.4\n"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("kivframe: 3 frames, 0 datagrams received, 0 answers sent, 0 dropped, 0 duplicated\n"),
              std::string::npos)
        << result.err;
    const auto log = readEmulatorLog(logPath);
    std::remove(logPath.c_str());
    ASSERT_EQ(log.size(), 2U);
    EXPECT_EQ(log[0].event, "start");
    EXPECT_EQ(log[1].event, "stop");
    EXPECT_GE(log[1].tUs, 300000);
}

// Tests read the log of a running emulator: lines must not wait for the exit.
TEST(KivframeLog, LinesAppearWhileTheEmulatorRuns)
{
    Emulator emulator({"--frames", "1"});
    UdpPeer peer("127.0.0.1", 6004);
    peer.send(textRequest("Dev.Power=1", FIRST_FRAME_ID, 7), "127.0.0.2", 6015);
    ASSERT_TRUE(peer.receive(5s));
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    std::vector<LogEntry> log;
    while ((log = emulator.log()).size() < 3 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    ASSERT_EQ(log.size(), 3U);
    EXPECT_EQ(log[0].event, "start");
    EXPECT_EQ(log[1].dir, "rx");
    EXPECT_EQ(log[2].dir, "tx");
}
