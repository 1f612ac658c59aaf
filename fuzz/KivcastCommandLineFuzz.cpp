// kivcast's command-line grammar, with argv split from the input at NUL bytes
// (argv[0] is the program's name).

#include "FuzzCheck.h"

#include "apps/kivcast/CommandLine.h"

#include <cstdio>
#include <cstring>
#include <strings.h>
#include <string>
#include <vector>

namespace {

// More arguments than the grammar ever looks at.
constexpr std::size_t MAX_ARGUMENTS = 8;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::vector<std::string> args{"kivcast"};
    std::string current;
    for (std::size_t i = 0; i < size && args.size() < MAX_ARGUMENTS; ++i) {
        if (data[i] == 0) {
            args.push_back(current);
            current.clear();
        } else {
            current += static_cast<char>(data[i]);
        }
    }
    if (!current.empty() && args.size() < MAX_ARGUMENTS)
        args.push_back(current);
    std::vector<const char*> argv;
    for (const auto& arg : args)
        argv.push_back(arg.c_str());
    argv.push_back(nullptr);
    const int argc = static_cast<int>(args.size());

    const auto options = parseCommandLine(argc, argv.data());
    FUZZ_CHECK(options.has_value() == (argc >= 3));
    if (!options)
        return 0;
    FUZZ_CHECK(options->networkAddress == args[1]);
    const bool dynamic = argc >= 4 && args[2] == "-dynamic";
    FUZZ_CHECK(options->dynamicPorts == dynamic);
    const std::size_t messageIndex = dynamic ? 3 : 2;

    // The message is the argument at the message index, or the one after it
    // when that is a frame ID; a frame ID has the form of "%08x:%08x".
    const std::string& first = args[messageIndex];
    if (options->message != first || options->targetFrameId != 0) {
        FUZZ_CHECK(messageIndex + 1 < args.size());
        FUZZ_CHECK(options->message == args[messageIndex + 1]);
        FUZZ_CHECK(first.size() == 17 && first.find(':') == 8);
        // Its high half is its first eight characters, in either case.
        char high[9];
        std::snprintf(high, sizeof high, "%08x", static_cast<unsigned>(options->targetFrameId >> 32));
        FUZZ_CHECK(strncasecmp(high, first.c_str(), 8) == 0);
    }
    return 0;
}
