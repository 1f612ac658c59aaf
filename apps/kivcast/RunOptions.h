#pragma once

#include <cstdint>
#include <string>

// What the command line asks of one run.
struct RunOptions {
    std::string networkAddress;  // dotted IPv4 text of the local interface
    bool dynamicPorts = false;   // -dynamic
    std::uint64_t targetFrameId = 0; // 0: every frame
    std::string message;
};

// Runs one send: discovery, dispatch, wait, statistics. Returns the exit code.
int runFlow(const RunOptions& options);
