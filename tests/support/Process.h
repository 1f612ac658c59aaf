#pragma once

#include "support/Text.h"

#include <chrono>
#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace kivtest {

// Directory of the built programs (kivcast, kivprobe, kivframe).
std::string binDir();
// The program to run: the native build, or under wine the Windows build of
// kivcast or kivprobe (kivframe stays native).
std::string program(const std::string& name);

// True when the tests drive the Windows builds of kivcast and kivprobe under
// wine: KIV_WINDOWS_BIN_DIR names their folder, and the test runs inside a
// session of scripts/wine-session. run() and Background start a ".exe"
// through scripts/wine-run and read its output with "\r\n" as "\n".
bool underWine();

struct ProcessResult {
    int exitCode = -1;     // exit status, or 128 + signal when killed
    bool timedOut = false; // killed because it ran past its time limit
    std::string out;
    std::string err;
    double seconds = 0.0;  // wall time from start to exit
};

// Runs a program to completion; standard output and error are captured.
// A program still running after `limit` is killed and timedOut set.
ProcessResult run(const std::vector<std::string>& argv,
                  std::chrono::milliseconds limit = std::chrono::seconds(60));

// The command line of one of our programs (program(name)) with `args`.
std::vector<std::string> commandOf(const std::string& name, const std::vector<std::string>& args);

// Runs a program whose standard output is a pipe of the smallest capacity that
// nobody reads for `stall`, as a paused terminal or a slow reader would do;
// then reads it to the end. Standard error is captured as by run().
ProcessResult runWithStalledReader(const std::vector<std::string>& argv, std::chrono::milliseconds stall,
                                   std::chrono::milliseconds limit = std::chrono::seconds(60));

// Standard output that takes no write: /dev/full (ENOSPC), a pipe whose
// reading end was closed before the start (EPIPE; SIGPIPE at its default), a
// closed descriptor (`>&-`), or a pipe read until `readUntil` is true for what
// came so far and then closed (a reader that goes away during the run).
enum class UnwritableOutput { FullDevice, ClosedPipe, Closed, PipeClosedLater };

// Runs a program to completion with such a standard output; standard error
// is captured as by run(), and `out` holds what was read of a PipeClosedLater.
ProcessResult runWithUnwritableOutput(const std::vector<std::string>& argv, UnwritableOutput output,
                                      std::chrono::milliseconds limit = std::chrono::seconds(60),
                                      const std::function<bool(const std::string&)>& readUntil = {});

// A program running in the background (an emulator, a blocker). Its output
// goes to files; stop() ends it (SIGTERM, then SIGKILL) and collects them.
class Background {
public:
    explicit Background(const std::vector<std::string>& argv);
    ~Background();
    Background(const Background&) = delete;
    Background& operator=(const Background&) = delete;

    // Sends SIGTERM (then SIGKILL after `grace`) and waits for the exit.
    ProcessResult stop(std::chrono::milliseconds grace = std::chrono::seconds(5));
    // Waits for the program to end on its own, up to `limit`.
    ProcessResult wait(std::chrono::milliseconds limit = std::chrono::seconds(60));
    bool running();
    pid_t pid() const { return pid_; }

private:
    ProcessResult collect(int status, bool timedOut);
    // Waits for the exit; kills the program (SIGKILL) at the deadline.
    ProcessResult waitUntil(std::chrono::steady_clock::time_point deadline);

    pid_t pid_ = -1;
    std::string outPath_;
    std::string errPath_;
    std::chrono::steady_clock::time_point started_;
    bool windows_; // a Windows program, run under wine
    bool done_ = false;
    ProcessResult result_;
};

// A fresh temporary file path (the file is created empty).
std::string tempPath(const std::string& stem);
std::string readFile(const std::string& path);


} // namespace kivtest
