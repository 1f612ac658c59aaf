#include "apps/kivcast/CommandLine.h"
#include "common/Platform.h"

int main(int argc, char* argv[])
{
    Platform::useUtf8Console();
    const auto options = parseCommandLine(argc, argv);
    if (!options)
        return printUsage();
    return runFlow(*options);
}
