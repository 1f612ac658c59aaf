// kivprobe run as a program against frames played by kivframe, each case in a
// private network namespace of its own.

#include "Morv/Wire.h"
#include "common/Platform.h"
#include "support/EmulatorLog.h"
#include "support/Process.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

using namespace std::chrono_literals;

namespace {

const std::string FRAME_ID = "0012ab34:00000001";
const std::string FRAME_ARGUMENT = "12ab34:1";
const std::string FOUND = "Found 0012ab34:00000001 (IP = 127.0.0.2)\n";

struct ProbeRun {
    kivtest::ProcessResult result;
    std::vector<kivtest::LogEntry> log;
};

// Starts one frame (ID FRAME_ID at 127.0.0.2, plus `frameOptions`), runs
// kivprobe on 127.0.0.1 with `id` and `text`, and returns its result and the
// emulator's log.
ProbeRun probe(const std::vector<std::string>& frameOptions, const std::string& id, const std::string& text,
               const std::string& interfaceAddress = "127.0.0.1",
               const std::function<kivtest::ProcessResult(const std::vector<std::string>&)>& runner =
                   [](const std::vector<std::string>& argv) { return kivtest::run(argv, 30s); })
{
    std::vector<std::string> args{"--id", FRAME_ID, "--quiet"};
    args.insert(args.end(), frameOptions.begin(), frameOptions.end());
    kivtest::Emulator emulator(args);
    ProbeRun run;
    run.result = runner({kivtest::program("kivprobe"), interfaceAddress, id, text});
    emulator.stop();
    run.log = emulator.log();
    return run;
}

// The datagrams that kivprobe sent, as the emulator received them.
std::vector<kivtest::LogEntry> fromProbe(const std::vector<kivtest::LogEntry>& log)
{
    std::vector<kivtest::LogEntry> received;
    for (const auto& e : log)
        if (e.event.empty() && e.dir == "rx" && e.address == "127.0.0.1" && e.port == 6015)
            received.push_back(e);
    return received;
}

std::string messageLine(const std::string& text) { return "KIV msg is \"" + text + "\"\n\n"; }

struct Case {
    const char* name;
    std::vector<std::string> frameOptions;
    std::string id;
    std::string out;
    int exitCode;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

std::string caseName(const testing::TestParamInfo<Case>& info) { return info.param.name; }

class ProbeAnswers : public testing::TestWithParam<Case> {};
class ProbeSearch : public testing::TestWithParam<Case> {};
class ProbeIgnoredAnswers : public testing::TestWithParam<Case> {};

} // namespace

// The frame is found and its answer reported, whatever it is.
TEST_P(ProbeAnswers, ReportsTheAnswer)
{
    const Case& c = GetParam();
    if (kivtest::underWine() && std::string(c.name) == "BroadcastReplies")
        GTEST_SKIP() << "wine does not deliver broadcasts to a socket bound to 127.0.0.1; Windows delivers "
                        "broadcasts to a socket bound to an interface address";
    const auto run = probe(c.frameOptions, c.id, "Dev.Reset");
    EXPECT_EQ(run.result.out, c.out);
    EXPECT_EQ(run.result.err, "");
    EXPECT_EQ(run.result.exitCode, c.exitCode);
}

INSTANTIATE_TEST_SUITE_P(
    Probe, ProbeAnswers,
    testing::Values(
        Case{"Ack", {"--reply", "ack"}, FRAME_ARGUMENT,
             FOUND + messageLine("Dev.Reset") + FRAME_ID + " command succeeded\n", 0},
        Case{"UnsuccessfulAck", {"--reply", "ack", "--ack-status", "0xffffffff"}, FRAME_ARGUMENT,
             FOUND + messageLine("Dev.Reset") + FRAME_ID + " returned unsuccessful Ack (-1)\n", 255},
        Case{"Text", {"--reply", "text", "--reply-text", "OK"}, FRAME_ARGUMENT,
             FOUND + messageLine("Dev.Reset") + FRAME_ID + " returned \"OK\"\n", 0},
        Case{"EmptyText", {"--reply", "text", "--reply-text", ""}, FRAME_ARGUMENT,
             FOUND + messageLine("Dev.Reset") + FRAME_ID + " returned \"\"\n", 0},
        // Control characters from the network are shown, not sent to the terminal.
        Case{"TextWithEscape", {"--reply", "text", "--reply-text", "A\x1b[31mB"}, FRAME_ARGUMENT,
             FOUND + messageLine("Dev.Reset") + FRAME_ID + " returned \"A\\x1b[31mB\"\n", 0},
        // UTF-8 as it is; the backslash doubled, so it cannot pass for an escape.
        Case{"Utf8TextWithBackslash", {"--reply", "text", "--reply-text", "B\xc3\xbchne\\x41"}, FRAME_ARGUMENT,
             FOUND + messageLine("Dev.Reset") + FRAME_ID + " returned \"B\xc3\xbchne\\\\x41\"\n", 0},
        // Discovery reply and Ack both to 255.255.255.255: still heard, on the bound interface.
        Case{"BroadcastReplies", {"--broadcast-replies", "--reply", "ack"}, FRAME_ARGUMENT,
             FOUND + messageLine("Dev.Reset") + FRAME_ID + " command succeeded\n", 0},
        Case{"ExtendedDiscoveryReply", {"--ext", "--reply", "ack"}, FRAME_ARGUMENT,
             FOUND + messageLine("Dev.Reset") + FRAME_ID + " command succeeded\n", 0},
        // The probe reads the carried device type whatever the count says.
        Case{"ExtendedDiscoveryReplyWithCountZero", {"--ext", "--ext-count", "0", "--reply", "ack"}, FRAME_ARGUMENT,
             FOUND + messageLine("Dev.Reset") + FRAME_ID + " command succeeded\n", 0},
        Case{"NodeTypeWithFlagBit", {"--node-type", "0x8005", "--reply", "ack"}, FRAME_ARGUMENT,
             FOUND + messageLine("Dev.Reset") + FRAME_ID + " command succeeded\n", 0},
        Case{"DeviceType4", {"--device-type", "4", "--reply", "ack"}, FRAME_ARGUMENT,
             FOUND + messageLine("Dev.Reset") + FRAME_ID + " command succeeded\n", 0},
        Case{"DeviceType23", {"--device-type", "23", "--reply", "ack"}, FRAME_ARGUMENT,
             FOUND + messageLine("Dev.Reset") + FRAME_ID + " command succeeded\n", 0},
        // The 37th of 50 frames, whose reply queues behind others.
        Case{"OneOfFifty", {"--frames", "50", "--reply", "ack"}, "12ab34:25",
             "Found 0012ab34:00000025 (IP = 127.0.0.38)\n" + messageLine("Dev.Reset") +
                 "0012ab34:00000025 command succeeded\n",
             0}),
    caseName);

// The frame is named exactly as "%x:%x" prints its ID, and only frames of
// the right node and device types are found.
TEST_P(ProbeSearch, NeverFindsTheFrame)
{
    const Case& c = GetParam();
    const auto run = probe(c.frameOptions, c.id, "Dev.Reset");
    EXPECT_EQ(run.result.out, c.out);
    EXPECT_EQ(run.result.exitCode, c.exitCode);
    // Only the discovery request went out.
    EXPECT_EQ(fromProbe(run.log).size(), 1U);
}

INSTANTIATE_TEST_SUITE_P(
    Probe, ProbeSearch,
    testing::Values(Case{"LeadingZeros", {}, FRAME_ID, FRAME_ID + " was not found on the network!\n", 255},
                    Case{"UpperCase", {}, "12AB34:1", "12AB34:1 was not found on the network!\n", 255},
                    Case{"DeviceType5", {"--device-type", "5"}, FRAME_ARGUMENT,
                         FRAME_ARGUMENT + " was not found on the network!\n", 255},
                    Case{"DeviceType24", {"--device-type", "24"}, FRAME_ARGUMENT,
                         FRAME_ARGUMENT + " was not found on the network!\n", 255},
                    Case{"NodeType6", {"--node-type", "6"}, FRAME_ARGUMENT,
                         FRAME_ARGUMENT + " was not found on the network!\n", 255},
                    Case{"LengthFieldOneMore", {"--malformed-discovery", "length+1"}, FRAME_ARGUMENT,
                         FRAME_ARGUMENT + " was not found on the network!\n", 255},
                    Case{"LengthFieldOneLess", {"--malformed-discovery", "length-1"}, FRAME_ARGUMENT,
                         FRAME_ARGUMENT + " was not found on the network!\n", 255},
                    Case{"WrapperCutBeforeTheDeviceType", {"--ext", "--ext-size", "100"}, FRAME_ARGUMENT,
                         FRAME_ARGUMENT + " was not found on the network!\n", 255}),
    caseName);

// The frame answers, but not with an answer the probe may take: it tries three
// times and gives up.
TEST_P(ProbeIgnoredAnswers, FrameDidNotRespond)
{
    const Case& c = GetParam();
    const auto run = probe(c.frameOptions, c.id, "Dev.Reset");
    EXPECT_EQ(run.result.out, c.out);
    EXPECT_EQ(run.result.exitCode, c.exitCode);
    EXPECT_EQ(fromProbe(run.log).size(), 4U) << "the discovery request and three tries";
}

INSTANTIATE_TEST_SUITE_P(
    Probe, ProbeIgnoredAnswers,
    testing::Values(Case{"AddressedToEveryFrame", {"--to-discovery-id", "--reply", "text"}, FRAME_ARGUMENT,
                         FOUND + messageLine("Dev.Reset") + FRAME_ID + " did not respond\n", 255},
                    Case{"SequenceZero", {"--sequence", "zero"}, FRAME_ARGUMENT,
                         FOUND + messageLine("Dev.Reset") + FRAME_ID + " did not respond\n", 255},
                    Case{"AckWithoutAWholeStatus", {"--ack-size", "31"}, FRAME_ARGUMENT,
                         FOUND + messageLine("Dev.Reset") + FRAME_ID + " did not respond\n", 255},
                    Case{"LengthFieldOneMore", {"--malformed", "length+1"}, FRAME_ARGUMENT,
                         FOUND + messageLine("Dev.Reset") + FRAME_ID + " did not respond\n", 255},
                    Case{"LengthFieldOneLess", {"--malformed", "length-1", "--reply", "text"}, FRAME_ARGUMENT,
                         FOUND + messageLine("Dev.Reset") + FRAME_ID + " did not respond\n", 255}),
    caseName);

// The two messages of a run, byte for byte, with a text longer than the
// message holds.
TEST(Probe, SendsTheDiscoveryRequestAndTheTextMessage)
{
    std::string text;
    for (int i = 0; text.size() < 200; ++i)
        text += static_cast<char>('a' + i % 26);
    const std::uint64_t startedAt = Platform::localTimeAsFileTime();
    const auto run = probe({"--node-type", "0x8005", "--reply", "ack"}, FRAME_ARGUMENT, text);
    ASSERT_EQ(run.result.out, FOUND + messageLine(text.substr(0, 119)) + FRAME_ID + " command succeeded\n");

    const auto sent = fromProbe(run.log);
    ASSERT_EQ(sent.size(), 2U);
    const auto request = sent[0].bytes();
    const auto message = sent[1].bytes();
    ASSERT_EQ(request.size(), 100U);
    ASSERT_EQ(message.size(), 152U);
    const auto r = Morv::readHeader(reinterpret_cast<const char*>(request.data()));
    const auto m = Morv::readHeader(reinterpret_cast<const char*>(message.data()));

    // The discovery request: broadcast, sequence number 1, a valid checksum.
    EXPECT_EQ(sent[0].local, "255.255.255.255");
    EXPECT_EQ(r.destinationId, Morv::DISCOVERY_ID);
    EXPECT_EQ(r.senderNodeType, 6);
    EXPECT_EQ(r.destinationNodeType, 0);
    EXPECT_EQ(r.length, 100);
    EXPECT_EQ(r.command, 4);
    EXPECT_EQ(r.sequence, 1U);
    EXPECT_TRUE(sent[0].checksumOk);
    for (std::size_t i = 28; i < 96; ++i)
        ASSERT_EQ(request[i], 0) << "body byte " << i;

    // The source ID is the local time at start, in 100 ns units since 1601.
    const std::uint64_t tenSeconds = 100'000'000ULL;
    EXPECT_GT(r.sourceId, startedAt - tenSeconds);
    EXPECT_LT(r.sourceId, startedAt + 6 * tenSeconds);

    // The text message: to the frame (node type without its flag bits),
    // sequence number 2, the text cut to 119 characters, checksum word 0.
    EXPECT_EQ(sent[1].local, "127.0.0.2");
    EXPECT_EQ(m.sourceId, r.sourceId);
    EXPECT_EQ(m.destinationId, 0x0012AB3400000001ULL);
    EXPECT_EQ(m.senderNodeType, 6);
    EXPECT_EQ(m.destinationNodeType, 5);
    EXPECT_EQ(m.length, 152);
    EXPECT_EQ(m.command, 701);
    EXPECT_EQ(m.sequence, 2U);
    EXPECT_EQ(std::string(message.begin() + 28, message.begin() + 28 + 119), text.substr(0, 119));
    for (std::size_t i = 28 + 119; i < 152; ++i)
        EXPECT_EQ(message[i], 0) << "byte " << i;
}

// A frame that never answers the text message is sent it three times, about
// a second apart, then reported.
TEST(Probe, RetriesASilentFrameThreeTimes)
{
    const auto run = probe({"--reply", "none"}, FRAME_ARGUMENT, "Dev.Reset");
    EXPECT_EQ(run.result.out, FOUND + messageLine("Dev.Reset") + FRAME_ID + " did not respond\n");
    EXPECT_EQ(run.result.exitCode, 255);
    const auto sent = fromProbe(run.log);
    ASSERT_EQ(sent.size(), 4U);
    for (std::size_t i = 2; i < sent.size(); ++i) {
        EXPECT_EQ(sent[i].hex, sent[1].hex) << "try " << i << " sends the same bytes";
        // Each try waits ten polls of 100 ms; generous bounds for busy machines.
        const double gap = static_cast<double>(sent[i].tUs - sent[i - 1].tUs) / 1e6;
        EXPECT_GT(gap, 0.8) << "try " << i;
        EXPECT_LT(gap, 5.0) << "try " << i;
    }
}

// Bound to every interface, the probe stops before it sends anything.
TEST(Probe, SendsNothingWhenBoundToEveryInterface)
{
    const auto run = probe({"--reply", "ack"}, FRAME_ARGUMENT, "Dev.Reset", "0.0.0.0");
    EXPECT_EQ(run.result.out, "");
    EXPECT_EQ(run.result.exitCode, 255);
    EXPECT_TRUE(fromProbe(run.log).empty());
}

// A text other than ASCII goes out as the UTF-8 that was typed (from Windows
// too, whose command line is read as UTF-16) and is echoed as typed, with
// one warning on standard error.
TEST(Probe, SendsATextOtherThanAsciiAsTypedWithAWarning)
{
    const std::string text = "Dev.Name=B\xc3\xbchne";
    const auto run = probe({"--reply", "ack"}, FRAME_ARGUMENT, text);
    EXPECT_EQ(run.result.out, FOUND + messageLine(text) + FRAME_ID + " command succeeded\n");
    EXPECT_EQ(run.result.err, "kivprobe: warning: the message \"" + text +
                                  "\" holds characters other than ASCII; it is sent as UTF-8, and frames may "
                                  "not show them as typed\n");
    EXPECT_EQ(run.result.exitCode, 0);
    const auto sent = fromProbe(run.log);
    ASSERT_EQ(sent.size(), 2U);
    const auto message = sent[1].bytes();
    ASSERT_EQ(message.size(), 152U);
    EXPECT_EQ(std::string(message.begin() + 28, message.begin() + 28 + static_cast<long>(text.size()) + 1),
              text + '\0');
}

namespace {

struct OutputCase {
    const char* name;
    kivtest::UnwritableOutput output;
    std::string reason;
    // Where the Windows C runtime names it otherwise: a write to a pipe being
    // closed fails with ERROR_NO_DATA, which it reports as EINVAL.
    std::string windowsReason;
};

void PrintTo(const OutputCase& c, std::ostream* os) { *os << c.name; }

class ProbeUnwritableOutput : public testing::TestWithParam<OutputCase> {};

} // namespace

// Standard output that takes no write: the run still goes to its end (the
// text is sent and answered), one line on standard error names the failure,
// and the exit code is -1.
TEST_P(ProbeUnwritableOutput, SendsTheTextAndFails)
{
    const OutputCase& c = GetParam();
    const auto run = probe({"--reply", "ack"}, FRAME_ARGUMENT, "Dev.Reset", "127.0.0.1",
                           [&c](const std::vector<std::string>& argv) {
                               return kivtest::runWithUnwritableOutput(argv, c.output, 30s);
                           });
    EXPECT_EQ(run.result.exitCode, 255);
    EXPECT_EQ(run.result.err,
              "kivprobe: cannot write to standard output: " + (kivtest::underWine() ? c.windowsReason : c.reason) + "\n");
    const auto sent = fromProbe(run.log);
    ASSERT_EQ(sent.size(), 2U) << "the discovery request and the text, answered at once";
    EXPECT_EQ(sent[1].cmd, 701);
}

INSTANTIATE_TEST_SUITE_P(
    Probe, ProbeUnwritableOutput,
    testing::Values(OutputCase{"FullDevice", kivtest::UnwritableOutput::FullDevice, "No space left on device",
                               "No space left on device"},
                    OutputCase{"ClosedPipe", kivtest::UnwritableOutput::ClosedPipe, "Broken pipe", "Invalid argument"},
                    // Not taken over by a socket opened later.
                    OutputCase{"Closed", kivtest::UnwritableOutput::Closed, "Bad file descriptor", "Bad file descriptor"}),
    [](const testing::TestParamInfo<OutputCase>& info) { return std::string(info.param.name); });
