#pragma once

// The bytes a frame sends back: broadcast-ID replies (plain or wrapped in a
// command-5 message), Acks, text replies and meter records, spoiled on purpose
// where the frame's settings say so; and what a frame answers to a request.
// Plain functions over byte buffers.

#include "apps/kivframe/FrameTable.h"

#include "Morv/Wire.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace KivFrame {

enum class AnswerKind : std::uint8_t { Discovery, Ack, Text, Meter };

// What an answer's bytes depend on besides the frame.
struct Reply {
    AnswerKind kind = AnswerKind::Ack;
    std::uint8_t meterVersion = 1;   // 1..3, for Meter
    std::uint32_t requestSequence = 0;
    std::uint32_t earlierSequence = 0; // of the request the frame heard before this one
    std::uint64_t requesterId = 0;
    std::int64_t atUs = 0; // when the answer leaves, in microseconds since the start
};

// Room that buildAnswer may fill.
constexpr std::size_t MAX_ANSWER_SIZE = Morv::MAX_MESSAGE_SIZE;

// Writes the frame's answer into `out` (MAX_ANSWER_SIZE bytes) and returns its size.
std::size_t buildAnswer(const Frame& frame, const Reply& reply, char* out);

// What a frame with these settings answers to a command-701 request with this
// text (kind and meter version; the sequence numbers and the requester are the
// caller's), or nothing when it answers no request.
std::optional<Reply> replyToText(const FrameSettings& settings, std::string_view text);

// The meter-record version a request text asks for (1..3), or 0 when it is no
// meter-data query. The first matching prefix decides.
int queriedMeterVersion(std::string_view text);

// Bytes of a meter record of a version (1..3): 48, 84 or 104.
std::size_t meterRecordSize(int version);

// Byte i of the frame's meter record at `atUs`: --meter-fill, else
// (index * 7 + i * 13 + 5) & 0xff; with meter motion that value B moves as a
// triangle wave: P = (B + 3 * (atUs / 100000)) % 512, the byte is P below 256,
// else 511 - P.
std::uint8_t meterRecordByte(const Frame& frame, std::size_t i, std::int64_t atUs);

// True when a frame with this show answers at `atUs`: it has joined and is
// outside its silent window.
bool presentAt(const Show& show, std::int64_t atUs);

// The status flag word the frame's broadcast-ID reply carries at `atUs`.
std::uint32_t statusFlagsAt(const FrameSettings& settings, std::int64_t atUs);

} // namespace KivFrame
