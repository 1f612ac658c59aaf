#pragma once

// The bytes a frame sends back: broadcast-ID replies (plain or wrapped in a
// command-5 message), Acks, text replies and meter records, spoiled on purpose
// where the frame's settings say so. Plain functions over byte buffers.

#include "apps/kivframe/FrameTable.h"

#include "Morv/Wire.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace KivFrame {

enum class AnswerKind : std::uint8_t { Discovery, Ack, Text, Meter };

// What an answer's bytes depend on besides the frame.
struct Reply {
    AnswerKind kind = AnswerKind::Ack;
    std::uint8_t meterVersion = 1;   // 1..3, for Meter
    std::uint32_t requestSequence = 0;
    std::uint64_t requesterId = 0;
};

// Room that buildAnswer may fill.
constexpr std::size_t MAX_ANSWER_SIZE = Morv::MAX_MESSAGE_SIZE;

// Size of the command-5 message that carries a broadcast-ID reply.
constexpr std::size_t EXT_REPLY_SIZE = Morv::BROADCAST_ID_EXT_MIN_SIZE;

// Writes the frame's answer into `out` (MAX_ANSWER_SIZE bytes) and returns its size.
std::size_t buildAnswer(const Frame& frame, const Reply& reply, char* out);

// Byte i of the frame's meter record: --meter-fill, else (index * 7 + i * 13 + 5) & 0xff.
std::uint8_t meterRecordByte(const Frame& frame, std::size_t i);

} // namespace KivFrame
