// kivprobe INTERFACE-ADDRESS FRAME-ID TEXT
// Finds one frame by its ID with a discovery broadcast on the interface,
// sends it the text and prints its answer. Exit status 0 when the frame
// answered with a text or a successful acknowledgement, -1 otherwise.

#include "apps/kivprobe/Session.h"
#include "common/Platform.h"

namespace {
// Every failure ends the run with -1 (which POSIX systems report as 255).
constexpr int EXIT_FAILED = -1;
} // namespace

int main(int argc, char* argv[])
{
    // The local time at start names the probe in every message of the run.
    Platform::useUtf8Console();
    Probe::Session session(Platform::localTimeAsFileTime());
    if (argc != 4)
        return EXIT_FAILED;
    const bool succeeded = session.openSockets(argv[1]) && session.findFrame(argv[2]) && session.sendMessage(argv[3]);
    session.closeSockets();
    return succeeded ? 0 : EXIT_FAILED;
}
