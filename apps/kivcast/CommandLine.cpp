#include "apps/kivcast/CommandLine.h"

std::optional<RunOptions> parseCommandLine(int, const char* const[]) { return std::nullopt; }
int printUsage() { return 1; }
