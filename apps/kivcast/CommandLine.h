#pragma once

#include "apps/kivcast/RunOptions.h"

#include <optional>
#include <string>
#include <vector>

// The run options of a command line, or nothing when it is too short
// (argc < 3) and the usage branch applies. The positional grammar only:
// argv[1] is the address.
std::optional<RunOptions> parseCommandLine(int argc, const char* const argv[]);

// A whole command line: options first (each starts with "--"), then the
// positional grammar, whose address an --interface option may stand for.
struct CommandLine {
    enum class Kind {
        Run,     // `options` is complete
        Usage,   // too short: the usage branch
        Help,    // `text` goes to standard output, exit 0
        Version, // the same
        Error,   // `text` goes to standard error, exit 1
    };
    Kind kind = Kind::Usage;
    RunOptions options;
    std::string text;
};

// `args` holds the program name first. Reads the frame lists and the
// inventory named by options, so that a bad one is refused before anything
// is bound or sent.
CommandLine readCommandLine(const std::vector<std::string>& args);

// The usage branch: usage text and adapter listing on standard error. Returns 1.
int printUsage();
