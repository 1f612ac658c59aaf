#include "Morv/Wire.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

namespace Morv {

MSG_CmdHdr readHeader(const char* bytes)
{
    MSG_CmdHdr header;
    header.sourceId = loadId(bytes, OFFSET_SOURCE_ID);
    header.destinationId = loadId(bytes, OFFSET_DESTINATION_ID);
    header.senderNodeType = loadU16(bytes, OFFSET_SENDER_NODE_TYPE);
    header.destinationNodeType = loadU16(bytes, OFFSET_DESTINATION_NODE_TYPE);
    header.length = loadU16(bytes, OFFSET_LENGTH);
    header.command = loadU16(bytes, OFFSET_COMMAND);
    header.sequence = loadU32(bytes, OFFSET_SEQUENCE);
    return header;
}

std::optional<MSG_CmdHdr> parseHeader(const char* bytes, std::size_t size)
{
    if (bytes == nullptr || size < HEADER_SIZE)
        return std::nullopt;
    return readHeader(bytes);
}

void writeHeader(char* bytes, const MSG_CmdHdr& header)
{
    storeId(bytes, OFFSET_SOURCE_ID, header.sourceId);
    storeId(bytes, OFFSET_DESTINATION_ID, header.destinationId);
    storeU16(bytes, OFFSET_SENDER_NODE_TYPE, header.senderNodeType);
    storeU16(bytes, OFFSET_DESTINATION_NODE_TYPE, header.destinationNodeType);
    storeU16(bytes, OFFSET_LENGTH, header.length);
    storeU16(bytes, OFFSET_COMMAND, header.command);
    storeU32(bytes, OFFSET_SEQUENCE, header.sequence);
}

std::uint32_t computeChecksum(const char* bytes, std::size_t size)
{
    if (size < HEADER_SIZE)
        return 0;
    const int words = (loadS16(bytes, OFFSET_LENGTH) >> 1) - 2;
    const std::size_t available = size / 2;
    const std::size_t count = words <= 0 ? 0 : std::min<std::size_t>(static_cast<std::size_t>(words), available);
    std::uint32_t h = 0;
    for (std::size_t i = 0; i < count; ++i)
        h = checksumStep(h, loadU16(bytes, 2 * i));
    return h;
}

namespace {
// Offset of the checksum word by the length field, or nothing when the field
// is below a header or beyond the buffer.
std::optional<std::size_t> checksumOffset(const char* bytes, std::size_t size)
{
    if (size < HEADER_SIZE)
        return std::nullopt;
    const int length = loadS16(bytes, OFFSET_LENGTH);
    if (length < static_cast<int>(HEADER_SIZE) || static_cast<std::size_t>(length) > size)
        return std::nullopt;
    return static_cast<std::size_t>(length) - CHECKSUM_SIZE;
}
} // namespace

bool storeChecksum(char* bytes, std::size_t size)
{
    const auto offset = checksumOffset(bytes, size);
    if (!offset)
        return false;
    storeU32(bytes, *offset, computeChecksum(bytes, size));
    return true;
}

bool checksumValid(const char* bytes, std::size_t size)
{
    const auto offset = checksumOffset(bytes, size);
    return offset && loadU32(bytes, *offset) == computeChecksum(bytes, size);
}

void buildBroadcastIdRequest(char* out, std::uint64_t sourceId, std::uint16_t senderNodeType,
                             std::uint32_t sequence)
{
    std::memset(out, 0, BROADCAST_ID_SIZE);
    MSG_CmdHdr header;
    header.sourceId = sourceId;
    header.destinationId = DISCOVERY_ID;
    header.senderNodeType = senderNodeType;
    header.destinationNodeType = 0;
    header.length = static_cast<std::uint16_t>(BROADCAST_ID_SIZE);
    header.command = CMD_BroadcastID;
    header.sequence = sequence;
    writeHeader(out, header);
    storeChecksum(out, BROADCAST_ID_SIZE);
}

std::int32_t frameStateFromFlags(std::uint32_t flags)
{
    if (flags & 0x02U)
        return 2;
    if (flags & 0x08U)
        return 3;
    if (flags & 0x10U)
        return 4;
    if (flags & 0x20U)
        return 5;
    if (flags & 0x40U)
        return 6;
    if (flags & 0xFFFFFFFAU)
        return 1;
    return 0;
}

std::int32_t changeStamp(const char* bytes)
{
    const std::int32_t a = loadS32(bytes, OFFSET_CHANGE_STAMP_A);
    const std::int32_t b = loadS32(bytes, OFFSET_CHANGE_STAMP_B);
    return a > b ? a : b;
}

std::optional<std::size_t> innerBroadcastIdOffset(const char* bytes, std::size_t size)
{
    if (size < BROADCAST_ID_EXT_MIN_SIZE || loadU16(bytes, OFFSET_COMMAND) != CMD_BroadcastIDExt)
        return std::nullopt;
    if (loadS16(bytes, OFFSET_EXT_COUNT) <= 0)
        return std::nullopt;
    return OFFSET_EXT_INNER;
}

std::size_t boundedTextLength(const char* bytes, std::size_t size, std::size_t offset)
{
    if (offset >= size)
        return 0;
    const void* nul = std::memchr(bytes + offset, '\0', size - offset);
    return nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - (bytes + offset)) : size - offset;
}

} // namespace Morv

namespace Morv {

MSG_BroadcastID readBroadcastIdBody(const char* bytes)
{
    MSG_BroadcastID body;
    body.changeStamp = changeStamp(bytes);
    body.statusFlags = loadU32(bytes, OFFSET_STATUS_FLAGS);
    body.deviceType = loadU32(bytes, OFFSET_DEVICE_TYPE);
    body.word80 = loadU32(bytes, OFFSET_WORD80);
    return body;
}

// Prefixes of the meter-data queries and the record version each asks for.
constexpr std::array<std::pair<std::string_view, int>, 7> METER_QUERIES{{
    {"NM?", 3},
    {"M?3", 3},
    {"M?2", 2},
    {"M?", 1},
    {"Dev.MD.FullBin?3", 3},
    {"Dev.MD.FullBin?2", 2},
    {"Dev.MD.FullBin?", 1},
}};

int meterDataVersion(std::string_view text)
{
    for (const auto& [prefix, version] : METER_QUERIES)
        if (text.starts_with(prefix))
            return version;
    return 0;
}

std::size_t meterRecordSize(int version)
{
    constexpr std::array<std::size_t, 3> sizes{48, 84, 104};
    return version >= 1 && version <= 3 ? sizes[static_cast<std::size_t>(version - 1)] : 0;
}

} // namespace Morv
