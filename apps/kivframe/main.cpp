// kivframe: emulates many KIV frames on loopback, for tests and for trying
// the tools without hardware. See --help.

#include "apps/kivframe/Emulator.h"
#include "apps/kivframe/FrameTable.h"
#include "apps/kivframe/JsonLog.h"
#include "apps/kivframe/Pcap.h"
#include "apps/kivframe/Settings.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/prctl.h>
#include <unistd.h>

using namespace KivFrame;

namespace {

constexpr int EXIT_FAILED = 1;
constexpr int EXIT_USAGE = 2;

volatile std::sig_atomic_t stopRequested = 0;

void onStopSignal(int) { stopRequested = 1; }

int usageError(const std::string& message)
{
    std::fprintf(stderr, "kivframe: %s\n(see kivframe --help)\n", message.c_str());
    return EXIT_USAGE;
}

// A file or socket the run needs failed: not a command-line error.
int failure(const std::string& message)
{
    std::fprintf(stderr, "kivframe: %s\n", message.c_str());
    return EXIT_FAILED;
}

// SIGINT and SIGTERM are blocked except while the loop waits, so they can
// only interrupt that wait. Returns the mask to wait with.
sigset_t catchStopSignals()
{
    struct sigaction action{};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigset_t waitMask;
    sigprocmask(SIG_BLOCK, &stopSignals, &waitMask);
    sigdelset(&waitMask, SIGINT);
    sigdelset(&waitMask, SIGTERM);
    return waitMask;
}

std::string readyLine(const FrameTable& frames)
{
    std::string line = "kivframe: " + std::to_string(frames.size()) + (frames.size() == 1 ? " frame" : " frames") +
                       " ready";
    if (frames.size() > 0) {
        line += " on " + dotted(frames.lowestAddress());
        if (frames.highestAddress() != frames.lowestAddress())
            line += "-" + dotted(frames.highestAddress());
    }
    return line;
}

// "kivframe: 2 of 20 frames are faulty (--faulty 0.1): 00a00000:00000004 (127.0.0.5), ..."
std::string faultyLine(const FrameTable& frames, const Options& options)
{
    const auto& faulty = frames.faultyFrames();
    char head[160];
    std::snprintf(head, sizeof head, "kivframe: %zu of %u frames %s faulty (--faulty %g)", faulty.size(),
                  options.frames, faulty.size() == 1 ? "is" : "are", *options.faulty);
    std::string line = head;
    for (std::size_t i = 0; i < faulty.size(); ++i) {
        const Frame& frame = frames[faulty[i]];
        line += (i == 0 ? ": " : ", ") + idText(frame.id) + " (" + dotted(frame.address) + ")";
    }
    return line;
}

bool writeReadyFile(const std::string& path, const std::string& line)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    const std::string text = line + "\n";
    const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    return close(fd) == 0 && written;
}

void printSummary(std::size_t frames, const Counters& c)
{
    std::string line = "kivframe: " + std::to_string(frames) + (frames == 1 ? " frame, " : " frames, ") +
                       std::to_string(c.received) + " datagrams received, " + std::to_string(c.sent) +
                       " answers sent, " + std::to_string(c.dropped) + " dropped, " + std::to_string(c.duplicated) +
                       " duplicated";
    if (c.sendErrors > 0)
        line += ", " + std::to_string(c.sendErrors) + " not sent (send error)";
    if (c.discarded > 0)
        line += ", " + std::to_string(c.discarded) + " discarded (queue full)";
    if (c.silenced > 0)
        line += ", " + std::to_string(c.silenced) + " not sent (frame silent)";
    std::fprintf(stderr, "%s\n", line.c_str());
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    std::unique_ptr<FrameTable> frames;
    try {
        options = parseCommandLine(argc, argv);
        if (options.help) {
            std::fputs(helpText().c_str(), stdout);
            return std::fflush(stdout) == 0 ? 0 : EXIT_FAILED;
        }
        frames = std::make_unique<FrameTable>(options);
    } catch (const UsageError& error) {
        return usageError(error.what());
    }

    const sigset_t waitMask = catchStopSignals();
    // Paced answers are microseconds apart: let the waits end on time.
    prctl(PR_SET_TIMERSLACK, 1000UL);
    const auto start = Emulator::Clock::now();

    std::unique_ptr<JsonLog> log;
    if (!options.logPath.empty()) {
        try {
            log = std::make_unique<JsonLog>(options.logPath);
        } catch (const std::runtime_error& error) {
            return failure(std::string("--log: ") + error.what());
        }
    }

    std::unique_ptr<PcapWriter> pcap;
    if (!options.pcapPath.empty()) {
        try {
            pcap = std::make_unique<PcapWriter>(options.pcapPath);
        } catch (const std::runtime_error& error) {
            return failure(std::string("--pcap: ") + error.what());
        }
    }

    try {
        Emulator emulator(options, *frames, log.get(), start);
        emulator.capture(pcap.get());
        if (log) {
            const auto tUs =
                std::chrono::duration_cast<std::chrono::microseconds>(Emulator::Clock::now() - start).count();
            log->start(tUs, frames->size());
            for (const auto index : frames->faultyFrames())
                log->faulty(tUs, idText((*frames)[index].id), (*frames)[index].address);
            if (!log->flush())
                return failure(log->error());
        }
        if (options.faulty && !options.quiet)
            std::fprintf(stderr, "%s\n", faultyLine(*frames, options).c_str());
        const std::string ready = readyLine(*frames);
        std::fprintf(stderr, "%s\n", ready.c_str());
        if (!options.readyFile.empty() && !writeReadyFile(options.readyFile, ready))
            return failure("--ready-file: cannot create " + options.readyFile + ": " + std::strerror(errno));

        const bool logged = emulator.run(stopRequested, waitMask);
        if (!options.quiet)
            printSummary(frames->size(), emulator.counters());
        if (!logged)
            return failure(log->error());
        if (pcap && !pcap->ok())
            return failure(pcap->error());
    } catch (const SetupError& error) {
        return failure(error.what());
    }
    return 0;
}
