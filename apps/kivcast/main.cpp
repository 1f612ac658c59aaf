#include "apps/kivcast/CommandLine.h"
#include "common/MessageText.h"
#include "common/Platform.h"

#include <cstdio>

int main(int argc, char* argv[])
{
    const Platform::ConsoleSession console;
    const auto arguments = Platform::utf8Arguments(argc, argv);
    const auto pointers = Platform::argumentPointers(arguments);
    const auto options = parseCommandLine(static_cast<int>(arguments.size()), pointers.data());
    if (!options)
        return printUsage();
    std::fputs(MessageText::nonAsciiWarning("kivcast", options->message).c_str(), stderr);
    return runFlow(*options);
}
