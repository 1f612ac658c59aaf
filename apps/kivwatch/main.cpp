#include "apps/kivwatch/WatchOptions.h"
#include "common/Platform.h"

#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char* argv[])
{
    Platform::useUtf8Console();
    // A reader that goes away ends nothing but the output: the error is reported.
    Platform::ignoreBrokenPipe();
    const WatchCommandLine commandLine = readWatchCommandLine(std::vector<std::string>(argv, argv + argc));
    switch (commandLine.kind) {
    case WatchCommandLine::Kind::Usage:
        return printWatchUsage();
    case WatchCommandLine::Kind::Help:
    case WatchCommandLine::Kind::Version:
        std::fputs(commandLine.text.c_str(), stdout);
        return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
    case WatchCommandLine::Kind::Error:
        std::fputs(commandLine.text.c_str(), stderr);
        return 1;
    case WatchCommandLine::Kind::Run:
        break;
    }
    return runWatch(commandLine.options);
}
