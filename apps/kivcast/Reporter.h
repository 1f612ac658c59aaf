#pragma once

// The two renderers of a run's report: the console text, and JSON records
// (one object per line) for scripts. The application classifies and numbers;
// a reporter only renders what it is handed, to the console writer.

#include "apps/shared/Console.h"
#include "apps/kivcast/Report.h"
#include "apps/shared/Inventory.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct FoundFrame {
    int number = 0; // the discovery index, as printed
    std::uint64_t frameId = 0;
    std::uint32_t address = 0;
    bool duplicate = false; // another frame was seen at this address first
};

struct ResultRecord {
    std::uint32_t number = 0; // the result line's number
    std::uint64_t frameId = 0;
    std::optional<std::uint32_t> address; // as found in discovery; none: "unknown"
    const ResponseReport* report = nullptr;
    unsigned transmissions = 0;
    double ms = 0.0; // first transmission to the end
    // The frame and address the completing datagram came from, when it was not the frame asked.
    std::optional<std::uint64_t> answeredBy;
    std::optional<std::uint32_t> answeredByAddress;
    // Datagrams from the frame's address dropped as malformed while the request was open (timed out only).
    std::optional<std::uint64_t> dropped;
};

struct RunStatistics {
    int sent = 0;
    int received = 0;
    int succeeded = 0;
    int missing = 0;
};

class Reporter {
public:
    virtual ~Reporter() = default;
    // Bound, discovery starts.
    virtual void discovering(std::uint32_t localAddress, std::uint16_t localPort, const std::string& message) = 0;
    virtual void found(const FoundFrame& frame) = 0;
    virtual void discoveryOver() = 0;
    // Selected frames that did not answer discovery.
    virtual void missing(const std::vector<std::uint64_t>& frameIds) = 0;
    virtual void echo(const std::string& message) = 0;
    // Called with the application's output lock held, so results keep their order.
    virtual void result(const ResultRecord& record) = 0;
    virtual void statistics(const RunStatistics& statistics) = 0;
};

// The console text; without an inventory exactly the report kivcast has always printed.
std::unique_ptr<Reporter> makeTextReporter(Console::Writer& console, const Rig::Inventory* inventory);
// JSON records on standard output, one per line.
std::unique_ptr<Reporter> makeJsonReporter(Console::Writer& console, const Rig::Inventory* inventory,
                                           std::string version);
