#pragma once

#include <functional>
#include <string>

// Lines the libraries print about their own failures (a task or a datagram
// handler that threw). By default they go straight to standard error; a
// program that orders its output through a writer of its own routes them
// there, so they keep their place among its other lines.
namespace Diagnostics {

using Sink = std::function<void(const std::string&)>;

// Writes one line (with its newline) through the current sink. Any thread.
void report(const std::string& line);

// Routes every line through `sink` while the object lives, then back to
// standard error. Destruction waits for a line being handed to the sink.
class Route {
public:
    explicit Route(Sink sink);
    ~Route();
    Route(const Route&) = delete;
    Route& operator=(const Route&) = delete;
};

} // namespace Diagnostics
