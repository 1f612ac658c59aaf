#include "apps/kivcast/CommandLine.h"
#include "common/MessageText.h"
#include "common/Platform.h"

#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char* argv[])
{
    // Timer resolution and console code page on Windows, SIGPIPE ignored
    // elsewhere (a reader that goes away never stops a run half way).
    const Platform::ConsoleSession session;
    const CommandLine commandLine = readCommandLine(Platform::utf8Arguments(argc, argv));
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
    std::fputs(MessageText::nonAsciiWarning("kivcast", commandLine.options.message).c_str(), stderr);
    return runFlow(commandLine.options);
}
