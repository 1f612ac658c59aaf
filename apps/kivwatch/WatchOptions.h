#pragma once

#include "apps/shared/Inventory.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

// What the command line asks of one watch.
struct WatchOptions {
    enum class Output { Auto, Json, Table };
    enum class Color { Auto, Always, Never };
    enum class Sort { Name, Id };

    std::string networkAddress; // dotted IPv4 text of the local interface
    bool dynamicPorts = false;  // -dynamic
    Output output = Output::Auto;
    std::string meters;         // the meter-data query; empty: no polling
    double everySeconds = 2.0;
    std::optional<double> durationSeconds; // none: until Ctrl-C or SIGTERM
    Sort sort = Sort::Name;
    Color color = Color::Auto;
    std::shared_ptr<const Rig::Inventory> inventory;
    // --http [ADDRESS:]PORT, --http-token and --http-clients: the dashboard; no port, no dashboard.
    std::optional<std::uint16_t> httpPort;
    std::string httpAddress = "127.0.0.1";
    std::string httpToken;
    int httpClients = 32; // --http-clients
};

// A whole command line: options first (each starts with "--"), then the address and -dynamic.
struct WatchCommandLine {
    enum class Kind { Run, Usage, Help, Version, Error };
    Kind kind = Kind::Usage;
    WatchOptions options;
    std::string text; // Help and Version: for standard output; Error: for standard error
};

// `args` holds the program name first. Reads the inventory, so a bad one is
// refused before anything is bound.
WatchCommandLine readWatchCommandLine(const std::vector<std::string>& args);

// The usage text and the adapter listing on standard error. Returns 1.
int printWatchUsage();

// Runs the watch until Ctrl-C, SIGTERM or the duration; returns the exit code.
int runWatch(const WatchOptions& options);
