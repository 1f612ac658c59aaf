#pragma once

#include "apps/kivcast/RunOptions.h"

#include <optional>

// The run options of a command line, or nothing when it is too short
// (argc < 3) and the usage branch applies.
std::optional<RunOptions> parseCommandLine(int argc, const char* const argv[]);

// The usage branch: usage text and adapter listing on standard error. Returns 1.
int printUsage();
