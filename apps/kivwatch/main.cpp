#include "apps/kivwatch/WatchOptions.h"
#include "common/Platform.h"

#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char* argv[])
{
    // Timer resolution and console code page on Windows, SIGPIPE ignored
    // elsewhere: a reader that goes away ends nothing but the output, and the
    // error is reported.
    const Platform::ConsoleSession session;
    const WatchCommandLine commandLine = readWatchCommandLine(Platform::utf8Arguments(argc, argv));
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
