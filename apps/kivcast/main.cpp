#include "apps/kivcast/CommandLine.h"

int main(int argc, char* argv[])
{
    const auto options = parseCommandLine(argc, argv);
    if (!options)
        return printUsage();
    return runFlow(*options);
}
