#pragma once

#include <cstdint>

// The few operating-system services the programs need, in the form they expect them.
namespace Platform {

// Milliseconds since an arbitrary fixed point (system start); wraps at 2^32.
std::uint32_t tickCount();

// Blocks the calling thread for about `milliseconds`.
void sleepMs(unsigned milliseconds);

// Whole seconds since 1970-01-01 UTC (calendar clock).
std::int64_t calendarSeconds();

// The local wall-clock time as 100 ns units since 1601-01-01 (the FILETIME count).
std::uint64_t localTimeAsFileTime();

// Makes a console show the UTF-8 the programs print (reply texts such as
// preset names). A Windows console otherwise reads it in its OEM code page;
// elsewhere consoles take UTF-8 already.
void useUtf8Console();

// A write to a pipe whose reader has gone fails with an error instead of
// ending the program (SIGPIPE is ignored where there is one).
void ignoreBrokenPipe();

} // namespace Platform
