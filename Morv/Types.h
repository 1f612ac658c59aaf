#pragma once

#include "common/Exception.h"

#include <atomic>
#include <cstdint>
#include <functional>

namespace Morv {

// Outcome of one request.
enum ErrorCode : int {
    Success = 0,            // a response arrived; its bytes come with the completion
    TimedOut = 1,           // the last permitted attempt expired
    TransmissionFailed = 2, // the datagram could not be handed to the network
};

// Where requests to one frame go.
struct Destination {
    std::uint64_t frameId = 0;
    std::uint32_t address = 0; // IPv4, host byte order
    bool useBroadcast = false; // broadcast instead of sending to address
};

// The record of one live frame.
struct FrameInfo {
    std::uint64_t frameId = 0;
    std::uint16_t nodeType = 0;   // sender node type with bit 15 cleared
    std::uint32_t deviceType = 0; // low byte of the word at 72
    std::int64_t lastSeen = 0;    // calendar seconds of the last accepted message
    std::int32_t state = 0;       // 0..6 from the status flags
    std::uint32_t address = 0;    // IPv4, host byte order
    std::uint32_t word80 = 0;
};

// Called exactly once per accepted request: (frame ID, response bytes or null,
// length, code). The bytes are valid only during the call. Any thread.
using ResponseHandler = std::function<void(std::uint64_t, const char*, unsigned, ErrorCode)>;

// Completion of one attempt, as the frame list reports it: (bytes, length, code).
using Completion = std::function<void(const char*, unsigned, ErrorCode)>;

// What the engine tells of one request's transmissions, for a caller that asks:
// written before each transmission leaves, so a response handler reads it complete.
struct RequestTrace {
    std::atomic<unsigned> transmissions{0};
    // Steady-clock time of the first transmission, in microseconds; -1 before it.
    std::atomic<std::int64_t> firstTransmissionUs{-1};
};

KIV_DECLARE_EXCEPTION(UnknownFrameIdException);
KIV_DECLARE_EXCEPTION(CongestionWaitTimeoutException);

} // namespace Morv
