#pragma once

// Reading kivframe's JSON-lines log, and running kivframe in the background
// for a test. Any thread, one Emulator per test.

#include "support/Process.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kivtest {

// One line of the log. Datagram lines have `dir` set ("rx" or "tx"); the
// start and stop lines have `event` set instead.
struct LogEntry {
    std::int64_t tUs = 0;
    std::string dir, frame, address, local, hex, event;
    int port = 0, localPort = 0;
    long cmd = -1;
    long long seq = -1;
    long len = 0;
    bool checksumOk = false;

    // The datagram, decoded from `hex`.
    std::vector<unsigned char> bytes() const;
};

// Every complete line of the log, in order. A last line without its newline
// (still being written) is left out. Throws std::runtime_error for a line that
// is not a flat JSON object.
std::vector<LogEntry> readEmulatorLog(const std::string& path);

// kivframe running in the background with a log and a ready file of its own.
class Emulator {
public:
    // Adds --log <temp> --ready-file <temp>, starts kivframe and waits up to
    // 10 s until it is ready. Throws std::runtime_error (with kivframe's
    // standard error) when it exits or is not ready in time.
    explicit Emulator(std::vector<std::string> args);
    ~Emulator();
    Emulator(const Emulator&) = delete;
    Emulator& operator=(const Emulator&) = delete;

    // Ends kivframe (SIGTERM) and returns its exit code and output.
    ProcessResult stop();
    // The log as written so far (all of it after stop()).
    std::vector<LogEntry> log() const;
    std::string logPath() const { return logPath_; }

private:
    std::string logPath_;
    std::string readyPath_;
    std::unique_ptr<Background> process_;
};

} // namespace kivtest
