// kivframe's command line: bad options end the run with exit code 2 and a
// message that names the option, before any socket is opened.

#include "support/Process.h"

#include <gtest/gtest.h>

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
        BadCommandLine{"MissingValue", {"--pace"}, "--pace"},
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
        BadCommandLine{"LogCannotBeCreated", {"--log", "/nonexistent-directory/kivframe.log"}, "--log"},
        BadCommandLine{"StrayArgument", {"frames"}, "frames"}),
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
          "--ready-file", "--seed", "--quiet", "--help"})
        EXPECT_NE(result.out.find(option), std::string::npos) << option;
    EXPECT_NE(result.out.find("(f * 7 + i * 13 + 5) & 0xff"), std::string::npos);
    for (const char* field : {"t_us", "local_port", "checksum_ok", "\"event\":\"start\"", "\"event\":\"stop\""})
        EXPECT_NE(result.out.find(field), std::string::npos) << field;
}
