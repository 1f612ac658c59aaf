#pragma once

// What differs between Windows and POSIX for a program that runs until it is
// stopped and draws on a terminal: the stop request, the terminal's size and
// the console mode.

#include <cstdio>
#include <optional>

namespace ConsoleControl {

// From here on Ctrl-C and SIGTERM (and SIGHUP), or on Windows the console's
// Ctrl-C, Ctrl-Break and close events, only request the stop: any number of
// times, the first one counts. Once, from the main thread.
void installStopHandlers();
bool stopRequested();

bool isTerminal(std::FILE* stream);

struct Size {
    int width = 80;
    int height = 24;
};
// The size of the terminal standard output writes to; nothing when it is none.
std::optional<Size> terminalSize();

// On Windows, turns on the console's VT processing for standard output and
// puts the mode back on destruction; elsewhere terminals take the codes already.
class VtMode {
public:
    VtMode();
    ~VtMode();
    VtMode(const VtMode&) = delete;
    VtMode& operator=(const VtMode&) = delete;

private:
    unsigned long savedMode_ = 0;
    bool restore_ = false;
};

} // namespace ConsoleControl
