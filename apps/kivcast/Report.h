#pragma once

// What kivcast prints for one request and what it counts: plain functions
// over the bytes of a reply, no threads, no sockets.

#include "Morv/Types.h"

#include <cstdint>
#include <string>

// The meaning of one completed request.
struct ResponseReport {
    // The text of the result line ("succeeded", "replied ...", ...), or, for a
    // meter-data record, the report lines that follow its title line.
    std::string text;
    int meterVersion = 0;   // 1, 2 or 3 when `text` is a meter-data report
    bool succeeded = false; // counts as a message that succeeded
    bool received = false;  // counts as a response received
};

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
