#pragma once

#include "apps/shared/Inventory.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// What the command line asks of one run.
struct RunOptions {
    std::string networkAddress;  // dotted IPv4 text of the local interface
    bool dynamicPorts = false;   // -dynamic
    std::uint64_t targetFrameId = 0; // 0: every frame
    std::string message;

    // The options before the address.
    bool json = false;                  // --json: JSON records on standard output
    bool strict = false;                // --strict: exit codes 2 and 3
    bool framesGiven = false;           // --frames
    std::vector<std::uint64_t> frames;  // only these are sent to
    std::vector<std::uint64_t> exclude; // --exclude: never sent to
    std::shared_ptr<const Rig::Inventory> inventory; // --inventory
    std::string failedPath;             // --failed: where the frames that did not succeed go
    double discoverSeconds = 3.0;       // --discover
};

// Runs one send: discovery, dispatch, wait, statistics. Returns the exit code.
int runFlow(const RunOptions& options);
