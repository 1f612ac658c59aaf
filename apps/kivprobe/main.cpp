// kivprobe INTERFACE-ADDRESS FRAME-ID TEXT
// Finds one frame by its ID with a discovery broadcast on the interface,
// sends it the text and prints its answer. Exit status 0 when the frame
// answered with a text or a successful acknowledgement and everything was
// printed, -1 otherwise.

#include "apps/kivprobe/Output.h"
#include "apps/kivprobe/Session.h"
#include "common/MessageText.h"
#include "common/Platform.h"

namespace {
// Every failure ends the run with -1 (which POSIX systems report as 255).
constexpr int EXIT_FAILED = -1;
} // namespace

int main(int argc, char* argv[])
{
    const Platform::ConsoleSession console;
    const auto arguments = Platform::utf8Arguments(argc, argv);
    // The local time at start names the probe in every message of the run.
    Probe::Session session(Platform::localTimeAsFileTime());
    if (arguments.size() != 4)
        return EXIT_FAILED;
    const std::string& text = arguments[3];
    Probe::printError(MessageText::nonAsciiWarning("kivprobe", text));
    const bool succeeded = session.openSockets(arguments[1].c_str()) && session.findFrame(arguments[2]) &&
                           session.sendMessage(text);
    session.closeSockets();
    const bool outputFailed = Probe::reportOutputFailures();
    return succeeded && !outputFailed ? 0 : EXIT_FAILED;
}
