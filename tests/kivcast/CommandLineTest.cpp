// The grammar as a table of command lines.
#include "apps/kivcast/CommandLine.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::optional<RunOptions> parse(std::vector<std::string> args)
{
    args.insert(args.begin(), "kivcast");
    std::vector<const char*> argv;
    for (const std::string& a : args)
        argv.push_back(a.c_str());
    argv.push_back(nullptr);
    return parseCommandLine(static_cast<int>(args.size()), argv.data());
}

} // namespace

TEST(CommandLine, TooFewArgumentsSelectTheUsage)
{
    EXPECT_FALSE(parse({}));
    EXPECT_FALSE(parse({"10.0.0.5"}));
}

TEST(CommandLine, ReadsOptionsFrameIdAndMessage)
{
    struct Case {
        const char* what;
        std::vector<std::string> args; // after the program name
        bool dynamicPorts;
        std::uint64_t targetFrameId;
        const char* message;
    };
    const Case cases[] = {
        {"plain message", {"10.0.0.5", "Dev.Reset"}, false, 0, "Dev.Reset"},
        {"arguments after the message are ignored", {"10.0.0.5", "Dev.Reset", "more", "-dynamic"}, false, 0, "Dev.Reset"},
        {"-dynamic alone is the message", {"10.0.0.5", "-dynamic"}, false, 0, "-dynamic"},
        {"-dynamic then message", {"10.0.0.5", "-dynamic", "Dev.Reset"}, true, 0, "Dev.Reset"},
        {"-dynamic is case-sensitive", {"10.0.0.5", "-Dynamic", "Dev.Reset"}, false, 0, "-Dynamic"},
        {"-dynamic must be the whole argument", {"10.0.0.5", "-dynamicx", "Dev.Reset"}, false, 0, "-dynamicx"},
        {"-dynamic only in second place", {"10.0.0.5", "Dev.Reset", "-dynamic", "x"}, false, 0, "Dev.Reset"},
        {"frame ID then message", {"10.0.0.5", "0012ab34:00000001", "Dev.Power=1"}, false, 0x0012AB3400000001ULL, "Dev.Power=1"},
        {"frame ID in upper case", {"10.0.0.5", "ABCDEF01:FEDCBA98", "x"}, false, 0xABCDEF01FEDCBA98ULL, "x"},
        {"frame ID, message, more", {"10.0.0.5", "0012ab34:00000001", "Dev.Power=1", "y"}, false, 0x0012AB3400000001ULL, "Dev.Power=1"},
        {"-dynamic, frame ID, message", {"10.0.0.5", "-dynamic", "0012ab34:00000001", "Dev.Reset"}, true, 0x0012AB3400000001ULL, "Dev.Reset"},
        {"frame ID with nothing after it is the message", {"10.0.0.5", "0012ab34:00000001"}, false, 0, "0012ab34:00000001"},
        {"-dynamic, frame ID with nothing after it", {"10.0.0.5", "-dynamic", "0012ab34:00000001"}, true, 0, "0012ab34:00000001"},
        {"no ':' at index 8", {"10.0.0.5", "0012ab34-00000001", "x"}, false, 0, "0012ab34-00000001"},
        {"first ':' before index 8", {"10.0.0.5", "0012ab3:400000001", "x"}, false, 0, "0012ab3:400000001"},
        {"a 'g' is no hex digit", {"10.0.0.5", "0012ab3g:00000001", "x"}, false, 0, "0012ab3g:00000001"},
        {"16 characters", {"10.0.0.5", "0012ab34:0000001", "x"}, false, 0, "0012ab34:0000001"},
        {"18 characters", {"10.0.0.5", "0012ab34:000000001", "x"}, false, 0, "0012ab34:000000001"},
        {"all-zero ID means every frame", {"10.0.0.5", "00000000:00000000", "Dev.Reset"}, false, 0, "Dev.Reset"},
        {"low half ends at a further ':'", {"10.0.0.5", "12345678:9abcdef:", "x"}, false, 0x1234567809ABCDEFULL, "x"},
        {"low half starting with ':' reads 0", {"10.0.0.5", "12345678::abcdef0", "x"}, false, 0x1234567800000000ULL, "x"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto options = parse(c.args);
        ASSERT_TRUE(options);
        EXPECT_EQ(options->networkAddress, "10.0.0.5");
        EXPECT_EQ(options->dynamicPorts, c.dynamicPorts);
        EXPECT_EQ(options->targetFrameId, c.targetFrameId);
        EXPECT_EQ(options->message, c.message);
    }
}
