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

CommandLine read(std::vector<std::string> args)
{
    args.insert(args.begin(), "kivcast");
    return readCommandLine(args);
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
        {"an option after the address is the message", {"10.0.0.5", "--json"}, false, 0, "--json"},
        {"an option after -dynamic is the message", {"10.0.0.5", "-dynamic", "--json"}, true, 0, "--json"},
        {"an option after a frame ID is the message", {"10.0.0.5", "0012ab34:00000001", "--strict"}, false, 0x0012AB3400000001ULL, "--strict"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto options = parse(c.args);
        ASSERT_TRUE(options);
        // A command line without leading options means what it always meant.
        const CommandLine whole = read(c.args);
        ASSERT_EQ(whole.kind, CommandLine::Kind::Run);
        EXPECT_FALSE(whole.options.json || whole.options.strict || whole.options.framesGiven);
        EXPECT_EQ(whole.options.message, options->message);
        EXPECT_EQ(whole.options.targetFrameId, options->targetFrameId);
        EXPECT_EQ(whole.options.dynamicPorts, options->dynamicPorts);
        EXPECT_EQ(options->networkAddress, "10.0.0.5");
        EXPECT_EQ(options->dynamicPorts, c.dynamicPorts);
        EXPECT_EQ(options->targetFrameId, c.targetFrameId);
        EXPECT_EQ(options->message, c.message);
    }
}

TEST(CommandLine, LeadingOptions)
{
    const CommandLine all = read({"--json", "--strict", "--frames", "a00000:1,00A00000:00000002", "--exclude=a00000:3",
                                  "--discover", "0.5", "--failed", "failed.txt", "10.0.0.5", "-dynamic", "M?3"});
    ASSERT_EQ(all.kind, CommandLine::Kind::Run) << all.text;
    const RunOptions& o = all.options;
    EXPECT_TRUE(o.json);
    EXPECT_TRUE(o.strict);
    EXPECT_TRUE(o.framesGiven);
    EXPECT_EQ(o.frames, (std::vector<std::uint64_t>{0x00A0000000000001ULL, 0x00A0000000000002ULL}));
    EXPECT_EQ(o.exclude, (std::vector<std::uint64_t>{0x00A0000000000003ULL}));
    EXPECT_DOUBLE_EQ(o.discoverSeconds, 0.5);
    EXPECT_EQ(o.failedPath, "failed.txt");
    EXPECT_EQ(o.networkAddress, "10.0.0.5");
    EXPECT_TRUE(o.dynamicPorts);
    EXPECT_EQ(o.message, "M?3");

    const CommandLine plain = read({"--json", "10.0.0.5", "0012ab34:00000001", "Dev.Reset"});
    ASSERT_EQ(plain.kind, CommandLine::Kind::Run);
    EXPECT_EQ(plain.options.targetFrameId, 0x0012AB3400000001ULL);
    EXPECT_FALSE(plain.options.strict);
    EXPECT_DOUBLE_EQ(plain.options.discoverSeconds, 3.0);

    // Too short once the options are taken away: the usage branch.
    EXPECT_EQ(read({"--json"}).kind, CommandLine::Kind::Usage);
    EXPECT_EQ(read({"--json", "10.0.0.5"}).kind, CommandLine::Kind::Usage);
}

TEST(CommandLine, HelpAndVersion)
{
    const CommandLine help = read({"--help"});
    ASSERT_EQ(help.kind, CommandLine::Kind::Help);
    for (const char* option : {"--json", "--frames LIST", "--exclude LIST", "--inventory FILE", "--failed FILE",
                               "--strict", "--discover SECONDS", "--interface NAME", "--help", "--version"})
        EXPECT_NE(help.text.find(option), std::string::npos) << option;
    EXPECT_EQ(help.text.rfind("Usage: kivcast [--OPTION...] <network address> [-dynamic] [<frame id>] <message>\n", 0), 0U);
    EXPECT_EQ(read({"--json", "--help", "10.0.0.5", "x"}).kind, CommandLine::Kind::Help);
    const CommandLine version = read({"--version"});
    ASSERT_EQ(version.kind, CommandLine::Kind::Version);
    EXPECT_EQ(version.text, "kivcast 0.1\n");
}

TEST(CommandLine, BadOptionsAreRefusedSayingWhich)
{
    struct Case {
        std::vector<std::string> args;
        const char* says;
    };
    const Case cases[] = {
        {{"--jso", "10.0.0.5", "x"}, "kivcast: unknown option --jso\n"},
        {{"--json", "--jso", "--strict", "10.0.0.5", "x"}, "kivcast: unknown option --jso\n"},
        {{"--frames", "--json", "10.0.0.5", "x"}, "\"--json\" is not a frame ID"},
        {{"--frames", "a00000:1,stage", "10.0.0.5", "x"}, "\"stage\" is not a frame ID"},
        {{"--exclude", "", "10.0.0.5", "x"}, "\"\" is not a frame ID"},
        {{"--discover", "0.1", "10.0.0.5", "x"}, "--discover: \"0.1\" is not a number of seconds from 0.2 to 60"},
        {{"--discover", "61", "10.0.0.5", "x"}, "--discover: \"61\" is not a number"},
        {{"--discover", "soon", "10.0.0.5", "x"}, "--discover: \"soon\" is not a number"},
        {{"--json=false", "10.0.0.5", "x"}, "kivcast: --json takes no value\n"},
        {{"--frames"}, "--frames"},
        {{"--inventory", "/nonexistent/rig.csv", "10.0.0.5", "x"}, "kivcast: cannot read /nonexistent/rig.csv"},
        {{"--frames", "a00000:1", "10.0.0.5", "00a00000:00000001", "x"}, "cannot be combined"},
        {{"--frames", "@/nonexistent/ids", "10.0.0.5", "x"}, "cannot read /nonexistent/ids"},
        // A list left out: the address is read as the list and named, not the usage.
        {{"--frames", "10.0.0.5", "x"}, "\"10.0.0.5\" is not a frame ID"},
        {{"--frames=", "10.0.0.5", "x"}, "kivcast: --frames= needs a value after the =\n"},
        {{"--discover=", "10.0.0.5", "x"}, "kivcast: --discover= needs a value after the =\n"},
    };
    for (const Case& c : cases) {
        const CommandLine line = read(c.args);
        ASSERT_EQ(line.kind, CommandLine::Kind::Error) << c.args.front();
        EXPECT_NE(line.text.find(c.says), std::string::npos) << line.text;
    }
}

#ifndef _WIN32
TEST(CommandLine, InterfaceNameStandsForTheAddress)
{
    const CommandLine line = read({"--interface", "lo", "-dynamic", "Dev.Status?"});
    ASSERT_EQ(line.kind, CommandLine::Kind::Run) << line.text;
    EXPECT_EQ(line.options.networkAddress, "127.0.0.1");
    EXPECT_TRUE(line.options.dynamicPorts);
    EXPECT_EQ(line.options.message, "Dev.Status?");

    const CommandLine unknown = read({"--interface", "no-such-adapter", "Dev.Status?"});
    ASSERT_EQ(unknown.kind, CommandLine::Kind::Error);
    EXPECT_NE(unknown.text.find("no network adapter with an IPv4 address is named \"no-such-adapter\""), std::string::npos);
    EXPECT_NE(unknown.text.find("Network connections available:\n"), std::string::npos) << unknown.text;
}
#endif
