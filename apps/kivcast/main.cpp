#include "apps/kivcast/CommandLine.h"
#include "common/Platform.h"

#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char* argv[])
{
    Platform::useUtf8Console();
    // A reader that goes away never stops a run half way: every request is still sent.
    Platform::ignoreBrokenPipe();
    const CommandLine commandLine = readCommandLine(std::vector<std::string>(argv, argv + argc));
    switch (commandLine.kind) {
    case CommandLine::Kind::Usage:
        return printUsage();
    case CommandLine::Kind::Help:
    case CommandLine::Kind::Version:
        std::fputs(commandLine.text.c_str(), stdout);
        return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
    case CommandLine::Kind::Error:
        std::fputs(commandLine.text.c_str(), stderr);
        return 1;
    case CommandLine::Kind::Run:
        break;
    }
    return runFlow(commandLine.options);
}
