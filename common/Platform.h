#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

// The few operating-system services the programs need, in the form they expect them.
namespace Platform {

// Milliseconds since an arbitrary fixed point (system start); wraps at 2^32.
std::uint32_t tickCount();

// Blocks the calling thread for about `milliseconds`.
void sleepMs(unsigned milliseconds);

// The length to give a timed wait (a condition variable's wait_for or
// wait_until) that should last `wanted`: `wanted` itself. In a build with
// KIV_COARSE_TICKS (benchmarks only), this and sleepMs round up to whole
// 15.625 ms ticks, as Windows does at its default timer resolution.
std::chrono::nanoseconds timedWait(std::chrono::nanoseconds wanted);

// Whole seconds since 1970-01-01 UTC (calendar clock).
std::int64_t calendarSeconds();

// The local wall-clock time as 100 ns units since 1601-01-01 (the FILETIME count).
std::uint64_t localTimeAsFileTime();

// The console set-up of one run of a program, for the lifetime of the object
// (one, in main, before anything is printed):
// - Windows: the timer resolution raised to 1 ms (Sleep(1) and short timed
//   waits otherwise last a whole 15.625 ms tick), and the console's output
//   code page set to UTF-8, which the programs print. Both belong to the
//   whole console window and outlive the program, so the code page saved at
//   start and the resolution are restored when the object goes, at exit(),
//   and on Ctrl-C, Ctrl-Break or the closing of the console window.
// - POSIX: SIGPIPE ignored, so a write to a closed pipe fails with EPIPE, which
//   the program reports, instead of ending it silently; a standard stream that
//   started closed is held by a descriptor that fails every write (EBADF), so
//   that no socket opened later takes its number.
class ConsoleSession {
public:
    ConsoleSession();
    ~ConsoleSession();
    ConsoleSession(const ConsoleSession&) = delete;
    ConsoleSession& operator=(const ConsoleSession&) = delete;
};

// The program's arguments (argv[0] included) as UTF-8. On Windows they are
// read from the UTF-16 command line, since argv holds them in the ANSI code
// page, which loses what it cannot encode and sends other bytes than a Linux
// terminal would; elsewhere argv is UTF-8 already and is returned as it is.
std::vector<std::string> utf8Arguments(int argc, char* argv[]);

// Pointers to the strings of `arguments`, for code that takes argc and argv.
// Valid while `arguments` lives unchanged.
std::vector<const char*> argumentPointers(const std::vector<std::string>& arguments);

} // namespace Platform
