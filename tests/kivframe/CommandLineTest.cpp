// kivframe's command line: bad options end the run with exit code 2 and a
// message that names the option, before any socket is opened; and the exit
// codes of kivframe, as --help and kivframe(1) give them.

#include "support/Process.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <optional>
#include <ostream>
#include <string>
#include <vector>

using namespace std::chrono_literals;

namespace {

struct BadCommandLine {
    const char* name;
    std::vector<std::string> args;
    std::string named; // must appear in the message
};

void PrintTo(const BadCommandLine& c, std::ostream* os) { *os << c.name; }

class KivframeCommandLine : public testing::TestWithParam<BadCommandLine> {};

} // namespace

TEST_P(KivframeCommandLine, RefusesWithExitCode2NamingTheOption)
{
    const BadCommandLine& c = GetParam();
    std::vector<std::string> argv{kivtest::program("kivframe")};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    argv.insert(argv.end(), {"--duration", "5"});
    const auto result = kivtest::run(argv, 10s);
    EXPECT_EQ(result.exitCode, 2) << result.err;
    EXPECT_NE(result.err.find(c.named), std::string::npos) << result.err;
    EXPECT_EQ(result.err.find("ready"), std::string::npos) << result.err;
    EXPECT_EQ(result.out, "");
}

INSTANTIATE_TEST_SUITE_P(
    Options, KivframeCommandLine,
    testing::Values(
        BadCommandLine{"UnknownOption", {"--colour", "red"}, "--colour"},
        BadCommandLine{"MissingValue", {"--pace"}, "--pace: missing value"},
        BadCommandLine{"MissingValueBeforeAnOption", {"--log", "--quiet"}, "--log: missing value"},
        BadCommandLine{"EmptyFileName", {"--log="}, "--log: missing file name"},
        BadCommandLine{"FlagWithABadValue", {"--quiet=maybe"}, "--quiet"},
        BadCommandLine{"NoFrames", {"--frames", "0"}, "--frames 0"},
        BadCommandLine{"FaultyAboveOne", {"--faulty", "1.5", "--drop", "1"}, "--faulty"},
        BadCommandLine{"FaultyWithoutFaults", {"--faulty", "0.1"}, "--faulty"},
        BadCommandLine{"FaultyWithoutFramesToDraw", {"--frames", "0", "--frame", "id=1:2", "--faulty", "0.5", "--drop", "1"}, "--faulty"},
        BadCommandLine{"SilentForWithoutSilentFrom", {"--silent-for", "2"}, "--silent-from"},
        BadCommandLine{"ChangeAtWithoutFlags", {"--change-at", "2"}, "--changed-flags"},
        BadCommandLine{"FrameChangedFlagsWithoutChangeAt", {"--frame", "id=1:2,changed-flags=3"}, "--frame #1: changed-flags needs change-at"},
        BadCommandLine{"NegativeJoinAfter", {"--join-after", "-1"}, "--join-after"},
        BadCommandLine{"NotANumber", {"--frames", "many"}, "--frames"},
        BadCommandLine{"TrailingGarbage", {"--device-type", "19x"}, "--device-type"},
        BadCommandLine{"NodeTypeTooWide", {"--node-type", "0x10000"}, "--node-type"},
        BadCommandLine{"ProbabilityAboveOne", {"--drop", "1.5"}, "--drop"},
        BadCommandLine{"NegativeDelay", {"--delay", "-1"}, "--delay"},
        BadCommandLine{"ZeroDuration", {"--duration", "0"}, "--duration"},
        BadCommandLine{"AnswerFromZero", {"--answer-from", "0"}, "--answer-from"},
        BadCommandLine{"UnknownReplyKind", {"--reply", "maybe"}, "--reply"},
        BadCommandLine{"MeterVersion4", {"--meter-version", "4"}, "--meter-version"},
        BadCommandLine{"UnknownMalformedKind", {"--malformed", "garbled"}, "--malformed"},
        BadCommandLine{"UnknownDiscoveryMalformedKind", {"--malformed-discovery", "length+2"}, "--malformed-discovery"},
        BadCommandLine{"UnknownSequenceKind", {"--sequence", "previous"}, "--sequence"},
        BadCommandLine{"AckShorterThanAHeader", {"--ack-size", "27"}, "--ack-size"},
        BadCommandLine{"AckLongerThanAMessage", {"--ack-size", "32768"}, "--ack-size"},
        BadCommandLine{"WrapperShorterThanAHeader", {"--ext-size", "20"}, "--ext-size"},
        BadCommandLine{"WrapperCountTooHigh", {"--ext-count", "32768"}, "--ext-count"},
        BadCommandLine{"WrapperCountTooLow", {"--ext-count", "-32769"}, "--ext-count"},
        BadCommandLine{"IdWithoutColon", {"--id", "00a0000000000001"}, "--id"},
        BadCommandLine{"IdHalfTooLong", {"--id", "1:123456789"}, "--id"},
        BadCommandLine{"AddressNotLoopback", {"--address", "192.168.1.20"}, "--address"},
        BadCommandLine{"AddressesRunPastLoopback", {"--address", "127.255.255.250", "--frames", "6"}, "--frames"},
        BadCommandLine{"IdsRunPastLowHalf", {"--id", "1:fffffffe", "--frames", "3"}, "--frames"},
        BadCommandLine{"FrameAddressNotLoopback", {"--frame", "id=1:2,address=10.0.0.9"}, "--frame"},
        BadCommandLine{"FrameUnknownKey", {"--frame", "id=1:2,colour=red"}, "colour"},
        BadCommandLine{"FrameBadValue", {"--frame", "id=1:2,drop=2"}, "drop"},
        BadCommandLine{"FrameFlagWithoutValue", {"--frame", "id=1:2,ext"}, "--frame"},
        BadCommandLine{"SameIdTwiceOnOneAddress", {"--frame", "id=1:2,address=127.0.0.9", "--frame", "id=1:2,address=127.0.0.9"}, "twice"},
        BadCommandLine{"StrayArgument", {"frames"}, "frames"},
        BadCommandLine{"SingleDash", {"-frames", "3"}, "-frames"},
        BadCommandLine{"EndOfOptions", {"--", "--frames", "3"}, "'--'"}),
    [](const testing::TestParamInfo<BadCommandLine>& info) { return std::string(info.param.name); });

TEST(KivframeHelp, DescribesEveryOptionTheMeterRuleAndTheLog)
{
    const auto result = kivtest::run({kivtest::program("kivframe"), "--help"}, 10s);
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.err, "");
    for (const char* option :
         {"--frames", "--address", "--per-address", "--id", "--frame", "--node-type", "--device-type", "--flags",
          "--stamp48", "--stamp60", "--word80", "--ext", "--reply", "--ack-status", "--reply-text", "--meter-version",
          "--meter-fill", "--drop", "--drop-discovery", "--duplicate", "--delay", "--jitter", "--answer-from",
          "--discovery-from", "--malformed", "--malformed-discovery", "--sequence", "--wrong-sequence",
          "--to-discovery-id", "--ack-size", "--ext-count", "--ext-size", "--broadcast-replies", "--pace", "--duration", "--log",
          "--ready-file", "--seed", "--quiet", "--help", "--faulty", "--meter-motion", "--join-after", "--silent-from",
          "--silent-for", "--change-at", "--changed-flags"})
        EXPECT_NE(result.out.find(option), std::string::npos) << option;
    EXPECT_NE(result.out.find("(f * 7 + i * 13 + 5) & 0xff"), std::string::npos);
    EXPECT_NE(result.out.find("P = (B + 3 * (t / 100000)) % 512"), std::string::npos);
    for (const char* field :
         {"t_us", "local_port", "checksum_ok", "\"event\":\"start\"", "\"event\":\"faulty\"", "\"event\":\"stop\""})
        EXPECT_NE(result.out.find(field), std::string::npos) << field;
}

namespace {

struct ExitCase {
    const char* name;
    std::vector<std::string> args;
    int exitCode;
    std::string err; // must appear on standard error
    bool holdPort6015 = false; // another socket holds port 6015
};

void PrintTo(const ExitCase& c, std::ostream* os) { *os << c.name; }

class KivframeExitCode : public testing::TestWithParam<ExitCase> {};

// A UDP socket on 0.0.0.0:6015 without SO_REUSEADDR, so kivframe cannot bind there.
class PortHolder {
public:
    PortHolder() : fd_(socket(AF_INET, SOCK_DGRAM, 0))
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(6015);
        EXPECT_EQ(bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    }
    ~PortHolder() { close(fd_); }
    PortHolder(const PortHolder&) = delete;
    PortHolder& operator=(const PortHolder&) = delete;

private:
    int fd_;
};

} // namespace

// 0: --help or a normal stop; 1: the sockets, the log, the capture or the
// ready file failed; 2: a bad command line.
TEST_P(KivframeExitCode, IsTheDocumentedOne)
{
    const ExitCase& c = GetParam();
    std::optional<PortHolder> holder;
    if (c.holdPort6015)
        holder.emplace();
    std::vector<std::string> argv{kivtest::program("kivframe")};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const auto result = kivtest::run(argv, 10s);
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitCode, c.exitCode) << result.err;
    EXPECT_NE(result.err.find(c.err), std::string::npos) << result.err;
}

INSTANTIATE_TEST_SUITE_P(
    Runs, KivframeExitCode,
    testing::Values(
        ExitCase{"Help", {"--help"}, 0, ""},
        ExitCase{"DurationOver", {"--duration", "0.2"}, 0, "1 frame ready"},
        ExitCase{"BadCommandLine", {"--drop", "2"}, 2, "--drop"},
        ExitCase{"NoFrames", {"--frames", "0"}, 2, "--frames 0"},
        ExitCase{"LogCannotBeOpened", {"--log", "/nonexistent-directory/kivframe.log", "--duration", "5"}, 1,
                 "--log: cannot open /nonexistent-directory/kivframe.log"},
        ExitCase{"LogCannotBeWritten", {"--log", "/dev/full", "--duration", "5"}, 1, "cannot write the log /dev/full"},
        ExitCase{"CaptureCannotBeOpened", {"--pcap", "/nonexistent-directory/k.pcap", "--duration", "5"}, 1,
                 "--pcap: cannot open"},
        ExitCase{"ReadyFileCannotBeCreated", {"--ready-file", "/nonexistent-directory/ready", "--duration", "5"}, 1,
                 "--ready-file: cannot create"},
        ExitCase{"PortTaken", {"--duration", "5"}, 1, "port 6015", true}),
    [](const testing::TestParamInfo<ExitCase>& info) { return std::string(info.param.name); });
