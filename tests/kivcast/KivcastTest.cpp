// kivcast end to end against emulated frames: exact console output, exit
// codes, and what the frames received.
#include "Morv/Wire.h"
#include "apps/kivcast/MeterData.h"
#include "support/EmulatorLog.h"
#include "support/Process.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <boost/format.hpp>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <map>
#include <set>

using kivtest::lines;

namespace {

kivtest::ProcessResult kivcast(const std::vector<std::string>& args,
                               std::chrono::milliseconds limit = std::chrono::seconds(60))
{
    return kivtest::run(kivtest::commandOf("kivcast", args), limit);
}

struct ResultLine {
    int number;
    std::string id;
    std::string address; // as printed, padded to 15
    std::string text;
};

// The numbered result lines ("    %3d. %08x:%08x @ %-15s %s") of an output.
std::vector<ResultLine> resultLines(const std::string& out)
{
    std::vector<ResultLine> result;
    for (const auto& line : lines(out)) {
        if (line.size() < 45 || line.compare(0, 4, "    ") != 0 || line.compare(7, 2, ". ") != 0 ||
            line.compare(26, 3, " @ ") != 0 || line[44] != ' ')
            continue;
        const std::string id = line.substr(9, 17);
        if (id[8] != ':' || id.find_first_not_of("0123456789abcdef:") != std::string::npos)
            continue;
        result.push_back({std::stoi(line.substr(4, 3)), id, line.substr(29, 15), line.substr(45)});
    }
    return result;
}

std::vector<std::string> foundLines(const std::string& out)
{
    std::vector<std::string> result;
    for (const auto& line : lines(out))
        if (line.find(". Found ") != std::string::npos)
            result.push_back(line);
    return result;
}

std::string padded(const std::string& address) { return (boost::format("%-15s") % address).str(); }

std::vector<kivtest::LogEntry> received701(const std::vector<kivtest::LogEntry>& log, const std::string& frame = "")
{
    std::vector<kivtest::LogEntry> result;
    for (const auto& e : log)
        if (e.dir == "rx" && e.cmd == Morv::CMD_KivText && (frame.empty() || e.frame == frame))
            result.push_back(e);
    return result;
}

std::string statistics(int sent, int received, int succeeded)
{
    std::string s = (boost::format("\n%30s %i\n%30s %i\n%30s %i\n") % "# messages sent:" % sent %
                     "# responses received:" % received % "# messages succeeded:" % succeeded)
                        .str();
    if (succeeded < sent)
        s += (boost::format("%30s %i\n") % "!!! # messages failed:" % (sent - succeeded)).str();
    return s;
}

bool endsWith(const std::string& text, const std::string& tail)
{
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

} // namespace

TEST(Kivcast, ThreeFramesFoundToldAndCounted)
{
    kivtest::Emulator emulator({"--frames", "3"});
    const auto run = kivcast({"127.0.0.1", "Dev.Status?"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.err, "");

    const std::string expectedFound[] = {"00a00000:00000001 @ 127.0.0.2", "00a00000:00000002 @ 127.0.0.3",
                                         "00a00000:00000003 @ 127.0.0.4"};
    const auto found = foundLines(run.out);
    ASSERT_EQ(found.size(), 3U) << run.out;
    std::set<std::string> foundFrames;
    for (std::size_t i = 0; i < found.size(); ++i) {
        const std::string prefix = (boost::format("    %3i. Found ") % (i + 1)).str();
        ASSERT_EQ(found[i].rfind(prefix, 0), 0U) << found[i];
        foundFrames.insert(found[i].substr(prefix.size()));
    }
    EXPECT_EQ(foundFrames, std::set<std::string>(std::begin(expectedFound), std::end(expectedFound)));

    // Header, the found block, the echo, three results, the statistics.
    const auto out = lines(run.out);
    ASSERT_GE(out.size(), 14U);
    EXPECT_EQ(out[0], "Discovering frames on 127.0.0.1:6004...");
    EXPECT_EQ(out[1], "");
    EXPECT_EQ(out[5], "");
    EXPECT_EQ(out[6], "    KIV msg is \"Dev.Status?\"");
    EXPECT_EQ(out[7], "");
    const auto results = resultLines(run.out);
    ASSERT_EQ(results.size(), 3U);
    std::map<std::string, std::string> addressOf = {{"00a00000:00000001", "127.0.0.2"},
                                                    {"00a00000:00000002", "127.0.0.3"},
                                                    {"00a00000:00000003", "127.0.0.4"}};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(results[i].number, i + 1);
        EXPECT_EQ(results[i].address, padded(addressOf[results[i].id]));
        EXPECT_EQ(results[i].text, "succeeded");
    }
    EXPECT_TRUE(endsWith(run.out, statistics(3, 3, 3))) << run.out;
    // Discovery lasts three seconds; the answers come at once.
    EXPECT_GE(run.seconds, 2.9);
    EXPECT_LE(run.seconds, 8.0);
}

TEST(Kivcast, TwoFramesOnOneAddressAreFlaggedAndBothServed)
{
    kivtest::Emulator emulator({"--frames", "2", "--per-address", "2"});
    const auto run = kivcast({"127.0.0.1", "Dev.Status?"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const auto found = foundLines(run.out);
    ASSERT_EQ(found.size(), 2U);
    EXPECT_EQ(found[0].find("DUPLICATE"), std::string::npos);
    EXPECT_TRUE(endsWith(found[1], " @ 127.0.0.2  DUPLICATE IP FOUND!")) << found[1];
    EXPECT_EQ(found[1].rfind("      2. Found 00a00000:0000000", 0), 0U);
    const auto results = resultLines(run.out);
    ASSERT_EQ(results.size(), 2U);
    EXPECT_NE(results[0].id, results[1].id);
    for (const auto& r : results)
        EXPECT_EQ(r.text, "succeeded");
    emulator.stop();
    EXPECT_EQ(received701(emulator.log()).size(), 2U);
}

TEST(Kivcast, NamedFrameAloneIsToldAndDiscoveryEndsWhenItAnswers)
{
    kivtest::Emulator emulator({"--frames", "3"});
    const auto run = kivcast({"127.0.0.1", "00a00000:00000002", "Dev.Status?"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.err, "");
    const auto found = foundLines(run.out);
    ASSERT_EQ(found.size(), 1U);
    EXPECT_EQ(found[0], "      1. Found 00a00000:00000002 @ 127.0.0.3");
    const auto results = resultLines(run.out);
    ASSERT_EQ(results.size(), 1U);
    EXPECT_EQ(results[0].id, "00a00000:00000002");
    EXPECT_TRUE(endsWith(run.out, statistics(1, 1, 1)));
    EXPECT_LE(run.seconds, 2.5); // no three-second discovery
    emulator.stop();
    const auto sent = received701(emulator.log());
    ASSERT_EQ(sent.size(), 1U);
    EXPECT_EQ(sent[0].frame, "00a00000:00000002");
}

TEST(Kivcast, NamedFrameThatDoesNotExist)
{
    kivtest::Emulator emulator({"--frames", "2"});
    const auto run = kivcast({"127.0.0.1", "0000beef:00000001", "Dev.Reset"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, "Frame discovery timed out, frame not found!\n");
    EXPECT_TRUE(foundLines(run.out).empty());
    EXPECT_TRUE(endsWith(run.out, statistics(0, 0, 0))) << run.out;
    emulator.stop();
    EXPECT_TRUE(received701(emulator.log()).empty());
}

TEST(Kivcast, AllZeroIdMeansEveryFrame)
{
    kivtest::Emulator emulator({"--frames", "2"});
    const auto run = kivcast({"127.0.0.1", "00000000:00000000", "Dev.Status?"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(foundLines(run.out).size(), 2U);
    EXPECT_EQ(resultLines(run.out).size(), 2U);
    EXPECT_NE(run.out.find("    KIV msg is \"Dev.Status?\"\n"), std::string::npos);
}

TEST(Kivcast, EveryKindOfResult)
{
    kivtest::Emulator emulator({
        "--frames", "0",
        "--frame", "id=00b00000:00000001,address=127.0.0.11,reply=ack",
        "--frame", "id=00b00000:00000002,address=127.0.0.12,reply=ack,ack-status=5",
        "--frame", "id=00b00000:00000003,address=127.0.0.13,reply=ack,ack-status=0xffffffff",
        "--frame", "id=00b00000:00000004,address=127.0.0.14,reply=text,reply-text=OK",
        "--frame", "id=00b00000:00000005,address=127.0.0.15,reply=ack,malformed=long",
        "--frame", "id=00b00000:00000006,address=127.0.0.16,reply=ack,malformed=command",
        "--frame", "id=00b00000:00000007,address=127.0.0.17,reply=none",
        "--frame", "id=00b00000:00000008,address=127.0.0.18,reply=text,reply-text=\x1b[2Jgone\nline",
        "--frame", "id=00b00000:00000009,address=127.0.0.19,reply=ack,malformed=length",
    });
    const auto run = kivcast({"127.0.0.1", "Dev.Status?"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const std::map<std::string, std::pair<std::string, std::string>> expected = {
        {"00b00000:00000001", {"127.0.0.11", "succeeded"}},
        {"00b00000:00000002", {"127.0.0.12", "failed (5)"}},
        {"00b00000:00000003", {"127.0.0.13", "failed (-1)"}},
        {"00b00000:00000004", {"127.0.0.14", "replied OK"}},
        {"00b00000:00000005", {"127.0.0.15", "invalid response"}},
        {"00b00000:00000006", {"127.0.0.16", "invalid response"}},
        {"00b00000:00000007", {"127.0.0.17", "timed out"}},
        {"00b00000:00000008", {"127.0.0.18", "replied \\x1b[2Jgone\\x0aline"}},
        // A length field beyond the datagram is not even taken as an answer.
        {"00b00000:00000009", {"127.0.0.19", "timed out"}},
    };
    const auto results = resultLines(run.out);
    ASSERT_EQ(results.size(), expected.size()) << run.out;
    for (std::size_t i = 0; i < results.size(); ++i) {
        EXPECT_EQ(results[i].number, static_cast<int>(i + 1));
        const auto& [address, text] = expected.at(results[i].id);
        EXPECT_EQ(results[i].address, padded(address)) << results[i].id;
        EXPECT_EQ(results[i].text, text) << results[i].id;
    }
    // sent 9; received: everything but the two timeouts; succeeded: ack, text, text.
    EXPECT_TRUE(endsWith(run.out, statistics(9, 7, 3))) << run.out;
    emulator.stop();
    EXPECT_EQ(received701(emulator.log(), "00b00000:00000007").size(), 6U);
    EXPECT_EQ(received701(emulator.log(), "00b00000:00000009").size(), 6U);
}

namespace {
struct MeterCase {
    const char* text;
    int version;
};
void PrintTo(const MeterCase& c, std::ostream* os) { *os << c.text; }
} // namespace

class KivcastMeterData : public testing::TestWithParam<MeterCase> {};

TEST_P(KivcastMeterData, RecordIsDecodedByTheVersionTheTextAsksFor)
{
    const MeterCase c = GetParam();
    kivtest::Emulator emulator({"--frames", "1", "--reply", "meter", "--meter-version", std::to_string(c.version)});
    const auto run = kivcast({"127.0.0.1", c.text});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    emulator.stop();

    std::vector<unsigned char> reply;
    for (const auto& e : emulator.log())
        if (e.dir == "tx" && e.cmd == Morv::CMD_KivText)
            reply = e.bytes();
    ASSERT_GE(reply.size(), 28U + Morv::CHECKSUM_SIZE);
    const std::vector<char> record(reply.begin() + 28, reply.end());
    auto u8 = [&](std::size_t i) { return static_cast<unsigned>(static_cast<unsigned char>(record.at(i))); };

    const std::string title = (boost::format("      1. 00a00000:00000001 @ %-15s replied with meter data v%d:\n") %
                               "127.0.0.2" % c.version)
                                  .str();
    const auto titleAt = run.out.find(title);
    ASSERT_NE(titleAt, std::string::npos) << run.out;
    const auto body = formatMeterData(record.data(), record.size(), c.version);
    ASSERT_TRUE(body.has_value());
    EXPECT_EQ(run.out.substr(titleAt + title.size(), body->size()), *body);

    // A few lines computed here from the record's bytes.
    const auto general = (boost::format("GeneralStatus: 0x%08x\n") % (u8(0) | (u8(1) << 8))).str();
    EXPECT_NE(body->find(general), std::string::npos);
    auto level = [&](std::size_t i) { return (boost::format("% 7.1fdB") % (-((255.0f - u8(i)) * 0.5f))).str(); };
    if (c.version == 1) {
        // Module A InPeak and InRMS at 36 and 37.
        EXPECT_NE(body->find("     A" + level(36) + level(37) + "\n"), std::string::npos);
    } else {
        // Channel 1's ExtStatus: byte 55 in version 2 (backwards), byte 52 in version 3.
        const std::size_t ext = c.version == 2 ? 55 : 52;
        const auto row = (boost::format(" 1  0x%08x      0x%02x ") %
                          (u8(4) | (u8(5) << 8) | (u8(6) << 16) | (static_cast<std::uint32_t>(u8(7)) << 24)) % u8(ext))
                             .str();
        EXPECT_NE(body->find(row), std::string::npos) << row;
    }
    EXPECT_TRUE(endsWith(run.out, statistics(1, 1, 1)));
}

INSTANTIATE_TEST_SUITE_P(Prefixes, KivcastMeterData,
                         testing::Values(MeterCase{"M?", 1}, MeterCase{"Dev.MD.FullBin?2", 2},
                                         MeterCase{"NM?", 3}, MeterCase{"Dev.MD.FullBin?3", 3}));

TEST(Kivcast, ShortMeterRecordIsAnInvalidResponse)
{
    // A v1 record (48 bytes) where version 3 (104 bytes) is expected.
    kivtest::Emulator emulator({"--frames", "1", "--reply", "meter", "--meter-version", "1"});
    const auto run = kivcast({"127.0.0.1", "NM?"});
    ASSERT_EQ(run.exitCode, 0);
    const auto results = resultLines(run.out);
    ASSERT_EQ(results.size(), 1U);
    EXPECT_EQ(results[0].text, "invalid response");
    EXPECT_TRUE(endsWith(run.out, statistics(1, 1, 0)));
}

namespace {
struct PacingCase {
    const char* text;
    bool slow;
    bool paced;
};
void PrintTo(const PacingCase& c, std::ostream* os) { *os << c.text; }
} // namespace

class KivcastBehaviour : public testing::TestWithParam<PacingCase> {};

// Frames that answer only their second transmission show the schedule: 125 ms
// after the first with the standard behaviour, 8000 ms with the slow one.
TEST_P(KivcastBehaviour, TextChoosesScheduleAndPacing)
{
    const PacingCase c = GetParam();
    kivtest::Emulator emulator({"--frames", "10", "--answer-from", "2"});
    const auto run = kivcast({"127.0.0.1", c.text});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_TRUE(endsWith(run.out, statistics(10, 10, 10))) << run.out;
    emulator.stop();

    const auto log = emulator.log();
    const auto requests = received701(log);
    std::map<std::string, std::vector<std::int64_t>> perFrame;
    std::map<std::string, std::vector<std::int64_t>> answers;
    std::vector<std::int64_t> firsts;
    for (const auto& r : requests) {
        perFrame[r.frame].push_back(r.tUs);
        if (perFrame[r.frame].size() == 1)
            firsts.push_back(r.tUs);
    }
    for (const auto& e : log)
        if (e.dir == "tx" && e.cmd != Morv::CMD_BroadcastID && e.cmd != Morv::CMD_BroadcastIDExt)
            answers[e.frame].push_back(e.tUs);
    ASSERT_EQ(perFrame.size(), 10U);
    for (const auto& [frame, times] : perFrame) {
        std::string history;
        for (const auto t : times)
            history += " rx@" + std::to_string(t / 1000) + "ms";
        for (const auto t : answers[frame])
            history += " tx@" + std::to_string(t / 1000) + "ms";
        ASSERT_GE(times.size(), 2U) << frame << history;
        ASSERT_FALSE(answers[frame].empty()) << frame << history;
        EXPECT_GE(answers[frame].front(), times[1]) << frame << history;
        if (times.size() > 2) {
            // The frame answered the second transmission, yet a third came.
            // Seen once under wine in CI (never natively): the answer reached
            // kivcast only after the next deadline. The schedule is still checked.
            EXPECT_TRUE(kivtest::underWine()) << frame << history;
            EXPECT_LT(answers[frame].front(), times[2]) << frame << history;
            std::cerr << "note: " << frame << " was sent to " << times.size() << " times:" << history << '\n';
        }
        for (std::size_t i = 1; i < times.size(); ++i) {
            const double gapMs = static_cast<double>(times[i] - times[i - 1]) / 1000.0;
            if (c.slow) {
                EXPECT_GE(gapMs, 7990.0) << frame << history;
                EXPECT_LE(gapMs, 9000.0) << frame << history;
            } else {
                EXPECT_GE(gapMs, 110.0 * static_cast<double>(1U << (i - 1))) << frame << history;
                EXPECT_LE(gapMs, 1000.0 * static_cast<double>(1U << (i - 1))) << frame << history;
            }
        }
    }
    std::sort(firsts.begin(), firsts.end());
    const double spanMs = static_cast<double>(firsts.back() - firsts.front()) / 1000.0;
    if (c.paced) {
        for (std::size_t i = 1; i < firsts.size(); ++i)
            EXPECT_GE(static_cast<double>(firsts[i] - firsts[i - 1]) / 1000.0, 90.0);
    } else {
        EXPECT_LT(spanMs, 100.0);
    }
}

INSTANTIATE_TEST_SUITE_P(Texts, KivcastBehaviour,
                         testing::Values(PacingCase{"Dev.Power=1", true, true}, PacingCase{"Dev.Power=0", true, false},
                                         PacingCase{"dev.power=1", false, false},
                                         PacingCase{"Dev.Preset.Recall=3", true, false}));

TEST(Kivcast, DynamicPortsAddressFramesOn6016)
{
    kivtest::Emulator emulator({"--frames", "2"});
    const auto run = kivcast({"127.0.0.1", "-dynamic", "Dev.Status?"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const auto out = lines(run.out);
    const std::string prefix = "Discovering frames on 127.0.0.1:";
    ASSERT_EQ(out.at(0).rfind(prefix, 0), 0U) << out.at(0);
    ASSERT_TRUE(endsWith(out.at(0), "...")) << out.at(0);
    const int port = std::stoi(out.at(0).substr(prefix.size()));
    EXPECT_NE(port, 6004);
    EXPECT_TRUE(endsWith(run.out, statistics(2, 2, 2)));
    emulator.stop();
    const auto requests = received701(emulator.log());
    ASSERT_EQ(requests.size(), 2U);
    for (const auto& r : requests) {
        EXPECT_EQ(r.localPort, 6016);
        EXPECT_EQ(r.port, port);
    }
}

TEST(Kivcast, AddressHeldByAnotherSocket)
{
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(6004);
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
    const auto run = kivcast({"127.0.0.1", "Dev.Reset"});
    close(fd);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out, "");
    if (kivtest::underWine()) {
        // Wine has no texts for Windows Sockets codes: it prints "bind: Unknown
        // error (10048)" where Windows gives the system's description.
        EXPECT_EQ(run.err.rfind("bind: ", 0), 0U) << run.err;
        EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << run.err;
        return;
    }
    EXPECT_EQ(run.err, "bind: Address already in use\n");
}

// An address that is not a dotted IPv4 address of this computer is refused
// before discovery: the system's reason, then which address it was and where
// the right one is found.
TEST(Kivcast, AddressesThatAreNotThisComputersIPv4)
{
    struct Case {
        const char* address;
        const char* reason;
    };
    const Case cases[] = {
        {"localhost", "Invalid argument"},
        {"999.1.1.1", "Invalid argument"},
        {"::1", "Address family not supported by protocol"},
        {"10.9.9.9", "bind: Cannot assign requested address"},
    };
    for (const Case& c : cases) {
        // Wine binds a socket to an address that no interface holds; Windows
        // refuses that bind (WSAEADDRNOTAVAIL), as Linux does.
        if (kivtest::underWine() && std::string(c.address) == "10.9.9.9")
            continue;
        const auto run = kivcast({c.address, "Dev.Reset"});
        EXPECT_EQ(run.exitCode, 1) << c.address;
        EXPECT_EQ(run.out, "") << c.address;
        EXPECT_EQ(run.err, std::string(c.reason) + "\n\"" + c.address +
                               "\" is not an IPv4 address of this computer; kivcast without arguments lists this "
                               "computer's network adapters\n");
    }
}

// A thread that cannot start (the user may run only three) ends the run with
// the system's reason on standard error and exit code 1, not with an abort.
TEST(Kivcast, ThreadThatCannotStartIsReported)
{
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer needs threads of its own";
#endif
    if (kivtest::underWine())
        GTEST_SKIP() << "a limit on a Linux user's processes: under wine it would hold wine's own processes";
    if (geteuid() != 0 || std::system("setpriv --reuid=64999 --regid=64999 --clear-groups true") != 0)
        GTEST_SKIP() << "needs to run a program as another user";
    const auto run = kivtest::run({"/usr/bin/env", "ASAN_OPTIONS=detect_leaks=0", "/usr/bin/prlimit", "--nproc=3",
                                   "/usr/bin/setpriv", "--reuid=64999", "--regid=64999", "--clear-groups",
                                   kivtest::program("kivcast"), "127.0.0.1", "Dev.Reset"});
    EXPECT_EQ(run.exitCode, 1) << run.err;
    EXPECT_TRUE(endsWith(run.err, "Resource temporarily unavailable\n")) << run.err;
    EXPECT_EQ(run.err.find("terminate"), std::string::npos) << run.err;
}

TEST(Kivcast, LongTextIsDelivered)
{
    kivtest::Emulator emulator({"--frames", "1"});
    const std::string text600 = "Dev.Name=" + std::string(591, 'n');
    const auto run = kivcast({"127.0.0.1", text600});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_TRUE(endsWith(run.out, statistics(1, 1, 1))) << run.out;
    emulator.stop();
    const auto requests = received701(emulator.log());
    ASSERT_EQ(requests.size(), 1U);
    EXPECT_EQ(requests[0].len, static_cast<long>(Morv::kivMessageSize(600)));
}

// A text other than ASCII goes out as the UTF-8 that was typed (from Windows
// too, whose command line is read as UTF-16), is echoed so, and is warned of
// once on standard error.
TEST(Kivcast, TextOtherThanAsciiIsSentAsTypedWithAWarning)
{
    kivtest::Emulator emulator({"--frames", "1"});
    const std::string text = "Dev.Name=B\xc3\xbchne";
    const auto run = kivcast({"127.0.0.1", text});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find("    KIV msg is \"" + text + "\"\n"), std::string::npos) << run.out;
    EXPECT_EQ(run.err, "kivcast: warning: the message \"" + text +
                           "\" holds characters other than ASCII; it is sent as UTF-8, and frames may not show "
                           "them as typed\n");
    EXPECT_TRUE(endsWith(run.out, statistics(1, 1, 1))) << run.out;
    emulator.stop();
    const auto requests = received701(emulator.log());
    ASSERT_EQ(requests.size(), 1U);
    const auto bytes = requests[0].bytes();
    EXPECT_NE(std::string(bytes.begin(), bytes.end()).find(text + '\0'), std::string::npos) << requests[0].hex;
}

// The longest text that fits is sent; one more character is refused, and so
// is a far longer text.
TEST(Kivcast, LongestTextIsSentAndLongerOnesRefused)
{
    if (kivtest::underWine())
        GTEST_SKIP() << "a Windows command line holds at most 32,767 characters, the program's name included "
                        "(wine cuts it there too): too few for the longest text, 32,731";
    kivtest::Emulator emulator({"--frames", "1"});
    const auto tooLong = kivcast({"127.0.0.1", std::string(40000, 'x')});
    EXPECT_EQ(tooLong.exitCode, 1);
    EXPECT_EQ(tooLong.out, "");
    EXPECT_EQ(tooLong.err, "The message is too long: 40000 characters, at most 32731 fit in one message\n");
    const auto longest = kivcast({"127.0.0.1", std::string(32731, 'x')});
    EXPECT_EQ(longest.exitCode, 0) << longest.err;
    EXPECT_TRUE(endsWith(longest.out, statistics(1, 1, 1))) << longest.out;
    const auto oneMore = kivcast({"127.0.0.1", std::string(32732, 'x')});
    EXPECT_EQ(oneMore.exitCode, 1);
    EXPECT_EQ(oneMore.err, "The message is too long: 32732 characters, at most 32731 fit in one message\n");
    emulator.stop();
    const auto requests = received701(emulator.log());
    ASSERT_EQ(requests.size(), 1U);
    EXPECT_EQ(requests[0].len, 32764);
}

// Each line with its number taken out, in sorted order: what a run printed,
// whatever order the frames answered in.
std::vector<std::string> unnumbered(const std::string& out)
{
    std::vector<std::string> result;
    for (std::string line : lines(out)) {
        if (line.size() > 8 && line.compare(0, 4, "    ") == 0 && line.compare(7, 2, ". ") == 0)
            line.replace(4, 3, "###");
        result.push_back(line);
    }
    std::sort(result.begin(), result.end());
    return result;
}

// A reader that stops reading for seconds (a paused terminal, a pager) holds up
// nothing but the console: no frame is asked twice, every frame found is
// printed, and the output is the same as that of a run read at once, apart
// from the order of the frames.
TEST(Kivcast, StalledReaderHoldsUpNothing)
{
    constexpr int frames = 300;
    kivtest::Emulator emulator({"--frames", std::to_string(frames), "--per-address", "1"});
    const std::vector<std::string> argv{kivtest::program("kivcast"), "127.0.0.1", "Dev.Status?"};
    const auto read = kivtest::run(argv);
    // Stalled through discovery and the whole dispatch.
    const auto stalled = kivtest::runWithStalledReader(argv, std::chrono::seconds(6));
    emulator.stop();

    for (const auto* run : {&read, &stalled}) {
        EXPECT_EQ(run->exitCode, 0) << run->err;
        EXPECT_EQ(run->err, "");
        EXPECT_EQ(foundLines(run->out).size(), static_cast<std::size_t>(frames));
        const auto results = resultLines(run->out);
        ASSERT_EQ(results.size(), static_cast<std::size_t>(frames));
        for (std::size_t i = 0; i < results.size(); ++i)
            EXPECT_EQ(results[i].number, static_cast<int>(i + 1));
        EXPECT_TRUE(endsWith(run->out, statistics(frames, frames, frames)));
    }
    EXPECT_EQ(unnumbered(stalled.out), unnumbered(read.out));
    // Wine receives more slowly than Windows: of 300 answers at once, about a
    // third come after the first 125 ms timeout, so those frames are asked
    // twice even in the run read at once.
    if (kivtest::underWine())
        return;
    const auto requests = received701(emulator.log());
    EXPECT_EQ(requests.size(), static_cast<std::size_t>(2 * frames)) << "retransmissions";
}

namespace {

// Checks a run against `frames` emulated frames: every frame found and
// reported once, in numbered order, and statistics that add up. Returns the
// number of "succeeded" lines.
int expectEveryFrameReported(const kivtest::ProcessResult& run, int frames)
{
    EXPECT_EQ(run.exitCode, 0) << run.err;
    const int found = static_cast<int>(foundLines(run.out).size());
    EXPECT_EQ(found, frames);
    const auto results = resultLines(run.out);
    EXPECT_EQ(static_cast<int>(results.size()), found);
    std::set<std::string> reported;
    int succeeded = 0;
    for (std::size_t i = 0; i < results.size(); ++i) {
        EXPECT_EQ(results[i].number, static_cast<int>(i + 1));
        reported.insert(results[i].id);
        succeeded += results[i].text == "succeeded" ? 1 : 0;
    }
    EXPECT_EQ(static_cast<int>(reported.size()), found);

    // sent = succeeded + failed, as the statistics print them.
    std::map<std::string, int> stats;
    for (const auto& line : lines(run.out)) {
        // "%30s %i": a label right-aligned in 30 columns, a space, the count.
        if (line.size() > 31 && line[30] == ' ' && line[29] == ':')
            stats[line.substr(line.find_first_not_of(' '), 30 - line.find_first_not_of(' '))] =
                std::stoi(line.substr(31));
    }
    EXPECT_EQ(stats["# messages sent:"], found);
    EXPECT_EQ(stats["# messages succeeded:"], succeeded);
    EXPECT_EQ(stats["# messages sent:"], stats["# messages succeeded:"] + stats["!!! # messages failed:"]);
    return succeeded;
}

} // namespace

TEST(Kivcast, TwoHundredFramesUnderLossAndDuplicates)
{
    kivtest::Emulator emulator({"--frames", "200", "--drop", "0.2", "--duplicate", "1", "--seed", "3"});
    expectEveryFrameReported(kivcast({"127.0.0.1", "Dev.Status?"}), 200);
}

TEST(Kivcast, ThreeHundredFramesWithOneAnswerInTenLost)
{
    kivtest::Emulator emulator({"--frames", "300", "--drop", "0.1", "--seed", "5"});
    const auto run = kivcast({"127.0.0.1", "Dev.Status?"});
    // Six transmissions, each answer lost with p = 0.1: a frame fails with p = 1e-6.
    EXPECT_EQ(expectEveryFrameReported(run, 300), 300);
    EXPECT_TRUE(endsWith(run.out, statistics(300, 300, 300)));
}

TEST(Kivcast, FrameInASpecialStateIsAddressedAndAnswersByBroadcast)
{
    if (kivtest::underWine())
        GTEST_SKIP() << "wine does not deliver broadcasts to a socket bound to 127.0.0.1; Windows delivers "
                        "broadcasts to a socket bound to an interface address";
    kivtest::Emulator emulator({"--frames", "1", "--flags", "0x02", "--broadcast-replies"});
    const auto run = kivcast({"127.0.0.1", "Dev.Status?"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const auto results = resultLines(run.out);
    ASSERT_EQ(results.size(), 1U) << run.out;
    EXPECT_EQ(results[0].text, "succeeded");
    emulator.stop();
    const auto requests = received701(emulator.log());
    ASSERT_EQ(requests.size(), 1U);
    EXPECT_EQ(requests[0].local, "255.255.255.255");
    for (const auto& e : emulator.log()) {
        if (e.dir == "tx" && e.cmd == Morv::CMD_Ack) {
            EXPECT_EQ(e.address, "255.255.255.255");
        }
    }
}
