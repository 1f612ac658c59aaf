#pragma once

#include <string>

namespace Probe {

// The probe's console output. Each text is written at once, so that lines
// appear promptly and in order when piped. The first failed write or flush
// of a stream (EPIPE, ENOSPC, a closed descriptor) is recorded and that
// stream is not written again; the run goes on to its end, and main then
// reports the failure and exits with -1. Single-threaded.

// Writes to standard output.
void print(const std::string& text);
// Writes to standard error.
void printError(const std::string& text);

// For each stream that failed, one line naming the failure on the other
// stream (while that one works). True when either stream failed.
bool reportOutputFailures();

} // namespace Probe
