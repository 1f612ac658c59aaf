#pragma once

// The KIV message layout: a 28-byte command header, a body chosen by the command
// code and a trailing 32-bit checksum word. Every multi-byte field is
// little-endian; 64-bit identifiers are two 32-bit words, high half first.
// Plain functions over byte buffers: no threads, no sockets.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace Morv {

constexpr std::size_t HEADER_SIZE = 28;
constexpr std::size_t CHECKSUM_SIZE = 4;

// Header field offsets.
constexpr std::size_t OFFSET_SOURCE_ID = 0;
constexpr std::size_t OFFSET_DESTINATION_ID = 8;
constexpr std::size_t OFFSET_SENDER_NODE_TYPE = 16;
constexpr std::size_t OFFSET_DESTINATION_NODE_TYPE = 18;
constexpr std::size_t OFFSET_LENGTH = 20;
constexpr std::size_t OFFSET_COMMAND = 22;
constexpr std::size_t OFFSET_SEQUENCE = 24;
constexpr std::size_t OFFSET_BODY = 28;

// Command codes.
constexpr std::uint16_t CMD_Ack = 2;
constexpr std::uint16_t CMD_BroadcastID = 4;
constexpr std::uint16_t CMD_BroadcastIDExt = 5;
constexpr std::uint16_t CMD_KivText = 701;

// Status of a successful Ack (offset 28 of a CMD_Ack message).
constexpr std::uint32_t ACK_SUCCESS = 0xFFFFFFFE;
constexpr std::size_t OFFSET_ACK_STATUS = 28;

// Addressee of a broadcast-ID request: every frame that hears it.
constexpr std::uint64_t DISCOVERY_ID = 0xFFFFFFFEFFFFFFFDULL;

// Node types. Bit 15 of a received sender node type is a flag, not part of the type.
constexpr std::uint16_t NODE_TYPE_CONTROLLER = 6;
constexpr std::uint16_t NODE_TYPE_FRAME = 5;
constexpr std::uint16_t NODE_TYPE_FLAG_BIT = 0x8000;

// Broadcast-ID message (command 4): 100 bytes, checksum at 96.
constexpr std::size_t BROADCAST_ID_SIZE = 100;
constexpr std::size_t OFFSET_CHANGE_STAMP_A = 48;
constexpr std::size_t OFFSET_CHANGE_STAMP_B = 60;
constexpr std::size_t OFFSET_STATUS_FLAGS = 64;
constexpr std::size_t OFFSET_DEVICE_TYPE = 72;
constexpr std::size_t OFFSET_WORD80 = 80;

// Extended broadcast-ID message (command 5): a count at 28 and, when the count
// is positive and the datagram holds at least 436 bytes, a whole command-4
// message at 32.
constexpr std::size_t BROADCAST_ID_EXT_MIN_SIZE = 436;
constexpr std::size_t OFFSET_EXT_COUNT = 28;
constexpr std::size_t OFFSET_EXT_INNER = 32;

// KIV text messages (command 701) never exceed this size.
constexpr std::size_t MAX_MESSAGE_SIZE = 32767;
// The probe's fixed-size text message: header, 120-byte text field, checksum word.
constexpr std::size_t PROBE_TEXT_FIELD_SIZE = 120;
constexpr std::size_t PROBE_TEXT_MESSAGE_SIZE = HEADER_SIZE + PROBE_TEXT_FIELD_SIZE + CHECKSUM_SIZE;

// Little-endian access. The caller guarantees offset + width <= buffer size.
inline std::uint16_t loadU16(const char* p, std::size_t offset)
{
    const auto* b = reinterpret_cast<const unsigned char*>(p) + offset;
    return static_cast<std::uint16_t>(b[0] | (b[1] << 8));
}

inline std::uint32_t loadU32(const char* p, std::size_t offset)
{
    const auto* b = reinterpret_cast<const unsigned char*>(p) + offset;
    return static_cast<std::uint32_t>(b[0]) | (static_cast<std::uint32_t>(b[1]) << 8) |
           (static_cast<std::uint32_t>(b[2]) << 16) | (static_cast<std::uint32_t>(b[3]) << 24);
}

inline std::int16_t loadS16(const char* p, std::size_t offset)
{
    return static_cast<std::int16_t>(loadU16(p, offset));
}

inline std::int32_t loadS32(const char* p, std::size_t offset)
{
    return static_cast<std::int32_t>(loadU32(p, offset));
}

// A 64-bit identifier: high half at offset, low half at offset + 4.
inline std::uint64_t loadId(const char* p, std::size_t offset)
{
    return (static_cast<std::uint64_t>(loadU32(p, offset)) << 32) | loadU32(p, offset + 4);
}

inline void storeU16(char* p, std::size_t offset, std::uint16_t value)
{
    auto* b = reinterpret_cast<unsigned char*>(p) + offset;
    b[0] = static_cast<unsigned char>(value);
    b[1] = static_cast<unsigned char>(value >> 8);
}

inline void storeU32(char* p, std::size_t offset, std::uint32_t value)
{
    auto* b = reinterpret_cast<unsigned char*>(p) + offset;
    b[0] = static_cast<unsigned char>(value);
    b[1] = static_cast<unsigned char>(value >> 8);
    b[2] = static_cast<unsigned char>(value >> 16);
    b[3] = static_cast<unsigned char>(value >> 24);
}

inline void storeId(char* p, std::size_t offset, std::uint64_t id)
{
    storeU32(p, offset, static_cast<std::uint32_t>(id >> 32));
    storeU32(p, offset + 4, static_cast<std::uint32_t>(id));
}

inline std::uint32_t idHigh(std::uint64_t id) { return static_cast<std::uint32_t>(id >> 32); }
inline std::uint32_t idLow(std::uint64_t id) { return static_cast<std::uint32_t>(id); }

// The command header, decoded. Not a view of the bytes: read it with
// readHeader, write it back with writeHeader.
struct MSG_CmdHdr {
    std::uint64_t sourceId = 0;
    std::uint64_t destinationId = 0;
    std::uint16_t senderNodeType = 0;
    std::uint16_t destinationNodeType = 0;
    std::uint16_t length = 0;
    std::uint16_t command = 0;
    std::uint32_t sequence = 0;

    // The length field as the tools compare it with sizes.
    std::int16_t signedLength() const { return static_cast<std::int16_t>(length); }
};

// Decodes the header of a buffer of at least HEADER_SIZE bytes.
MSG_CmdHdr readHeader(const char* bytes);
// The header of a received datagram, or nothing when it is shorter than a header.
std::optional<MSG_CmdHdr> parseHeader(const char* bytes, std::size_t size);
// Encodes the header into the first HEADER_SIZE bytes of the buffer.
void writeHeader(char* bytes, const MSG_CmdHdr& header);

// The checksum of a message: a 32-bit shift register with feedback from bits
// 31 and 18, fed the 16-bit words before the checksum word. The word count
// comes from the length field, bounded by `size` so a bad field never reads
// past the buffer.
std::uint32_t computeChecksum(const char* bytes, std::size_t size);
// Writes the checksum at offset length - 4. False (nothing written) when the
// length field is below 4 or above `size`.
bool storeChecksum(char* bytes, std::size_t size);
// True when the stored checksum word matches the computed one.
bool checksumValid(const char* bytes, std::size_t size);

// One step of the checksum register: shift in the feedback bit, then add the word.
inline std::uint32_t checksumStep(std::uint32_t h, std::uint16_t word)
{
    const std::uint32_t feedback = ((h >> 31) ^ (h >> 18)) & 1U;
    return ((h << 1) | feedback) ^ word;
}

// Fills `out` (BROADCAST_ID_SIZE bytes) with a broadcast-ID request from
// `sourceId` to DISCOVERY_ID, zero body and a valid checksum.
void buildBroadcastIdRequest(char* out, std::uint64_t sourceId, std::uint16_t senderNodeType,
                             std::uint32_t sequence);

// Size of a KIV text message for a text of `textLength` characters: the text
// and its NUL rounded up to a multiple of 4, plus header and checksum word.
inline std::size_t kivMessageSize(std::size_t textLength)
{
    return ((textLength + 1 + 3) & ~static_cast<std::size_t>(3)) + HEADER_SIZE + CHECKSUM_SIZE;
}

// The longest text that fits one KIV text message: 32731 characters (its NUL
// rounded up to a multiple of 4 must leave room for header and checksum word).
constexpr std::size_t MAX_KIV_TEXT_LENGTH =
    ((MAX_MESSAGE_SIZE - HEADER_SIZE - CHECKSUM_SIZE) & ~static_cast<std::size_t>(3)) - 1;

// The frame state from the status flag word of a broadcast-ID message (0..6).
std::int32_t frameStateFromFlags(std::uint32_t flags);

// The change stamp of a broadcast-ID message: the larger of the words at 48
// and 60, compared as signed. `bytes` holds at least BROADCAST_ID_SIZE bytes.
std::int32_t changeStamp(const char* bytes);

// For a command-5 datagram that carries a broadcast-ID message, the offset of
// that inner message; nothing otherwise.
std::optional<std::size_t> innerBroadcastIdOffset(const char* bytes, std::size_t size);

// Length of the NUL-terminated text at `offset`, never reaching past `size`.
std::size_t boundedTextLength(const char* bytes, std::size_t size, std::size_t offset);

// The meter-data version a text asks for (1, 2 or 3), or 0 when the text is
// no meter-data query. The first matching prefix decides ("M?3" before "M?").
int meterDataVersion(std::string_view text);

// Bytes a meter-data record of the version holds: 48, 84 or 104; 0 for
// another version.
std::size_t meterRecordSize(int version);

} // namespace Morv

namespace Morv {

// The body fields of a broadcast-ID message that the tools read.
struct MSG_BroadcastID {
    std::int32_t changeStamp = 0;
    std::uint32_t statusFlags = 0;
    std::uint32_t deviceType = 0;
    std::uint32_t word80 = 0;
};

// Decodes the body of a broadcast-ID message of at least BROADCAST_ID_SIZE bytes.
MSG_BroadcastID readBroadcastIdBody(const char* bytes);

} // namespace Morv
