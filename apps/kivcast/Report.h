#pragma once

// What kivcast prints for one request and what it counts: plain functions
// over the bytes of a reply, no threads, no sockets.

#include "Morv/Types.h"
#include "apps/kivcast/MeterData.h"

#include <cstdint>
#include <optional>
#include <string>

// How one request ended.
enum class Outcome { Succeeded, Failed, Replied, Meter, TimedOut, TransmissionFailed, InvalidResponse, UnknownError };

// The outcome's name in records: "succeeded", "timed out", ...
const char* outcomeName(Outcome outcome);

// The meaning of one completed request: what both the console text and the
// JSON record are rendered from.
struct ResponseReport {
    Outcome outcome = Outcome::InvalidResponse;
    // The text of the result line ("succeeded", "replied ...", ...), or, for a
    // meter-data record, the report lines that follow its title line.
    std::string text;
    int meterVersion = 0;   // 1, 2 or 3 for Outcome::Meter
    bool succeeded = false; // counts as a message that succeeded
    bool received = false;  // counts as a response received
    std::int32_t code = 0;  // the frame's status for Failed; the error code for UnknownError
    std::string reply;      // Replied: the frame's text, as received
    std::optional<MeterRecord> meter; // Meter: the decoded record
};

// The report of a request that ended without a reply.
ResponseReport endedWithout(Outcome outcome);

// Classifies the outcome of one request: `bytes` and `length` are the reply
// datagram for Success (read only within `length`), `messageText` the text
// that was sent (it picks the meter-data version).
ResponseReport classifyResponse(const char* bytes, unsigned length, Morv::ErrorCode code,
                                const std::string& messageText);

// "    %3d. %08x:%08x @ %-15s %s\n": one numbered result line.
std::string resultLine(std::uint32_t number, std::uint64_t frameId, const std::string& address,
                       const std::string& text);

// The title line of a numbered meter-data report.
std::string meterTitleLine(std::uint32_t number, std::uint64_t frameId, const std::string& address, int version);

// Dotted form of an IPv4 address held in host byte order.
std::string dottedAddress(std::uint32_t address);
