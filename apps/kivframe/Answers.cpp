#include "apps/kivframe/Answers.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

namespace KivFrame {

namespace {

using namespace Morv;

// The emulated frames address their answers to controllers.
constexpr std::uint16_t REQUESTER_NODE_TYPE = NODE_TYPE_CONTROLLER;

// Spoiled answers: a short datagram holds only this many bytes.
constexpr std::size_t SHORT_ANSWER_SIZE = 20;

// An Ack as frames send it: the header, the status word and the checksum word.
constexpr std::size_t ACK_SIZE = OFFSET_ACK_STATUS + 4 + CHECKSUM_SIZE;

// The smallest command-5 message that carries a whole broadcast-ID message.
constexpr std::size_t EXT_CARRIED_END = OFFSET_EXT_INNER + BROADCAST_ID_SIZE;

// Meter-data queries as the frames know them, and the record version each
// asks for. The first matching prefix decides ("M?3" before "M?").
constexpr std::array<std::pair<std::string_view, int>, 7> METER_QUERIES{{
    {"NM?", 3},
    {"M?3", 3},
    {"M?2", 2},
    {"M?", 1},
    {"Dev.MD.FullBin?3", 3},
    {"Dev.MD.FullBin?2", 2},
    {"Dev.MD.FullBin?", 1},
}};

constexpr std::array<std::size_t, 3> METER_RECORD_SIZES{48, 84, 104};

// Meter motion: every byte moves this many steps per period, up and down
// between 0 and 255 (a triangle wave with a period of 512 steps).
constexpr std::int64_t METER_STEP_US = 100000;
constexpr unsigned METER_STEP = 3;

std::uint32_t answerSequence(const FrameSettings& s, const Reply& reply)
{
    switch (s.faults.sequence) {
    case AnswerSequence::Request:
        break;
    case AnswerSequence::Next:
        return reply.requestSequence + 1;
    case AnswerSequence::Older:
        return reply.earlierSequence;
    case AnswerSequence::Zero:
        return 0;
    }
    return reply.requestSequence;
}

// Zeroes `room` bytes and writes the header of a `size`-byte answer.
void writeAnswerHeader(char* out, const Frame& frame, const Reply& reply, std::uint16_t command, std::size_t size,
                       std::size_t room)
{
    const FrameSettings& s = *frame.settings;
    std::memset(out, 0, std::max(size, room));
    MSG_CmdHdr header;
    header.sourceId = frame.id;
    header.destinationId = s.faults.toDiscoveryId ? DISCOVERY_ID : reply.requesterId;
    header.senderNodeType = s.nodeType;
    header.destinationNodeType = REQUESTER_NODE_TYPE;
    header.length = static_cast<std::uint16_t>(size);
    header.command = command;
    header.sequence = answerSequence(s, reply);
    writeHeader(out, header);
}

// Spoils a finished answer of `size` bytes and returns the size to send.
// `hasChecksum`: the answer ends in a checksum word (kept valid where the
// fault leaves the length field alone).
std::size_t spoil(char* out, std::size_t size, bool hasChecksum, Malformed kind, std::uint16_t wrongCommand)
{
    switch (kind) {
    case Malformed::None:
        break;
    case Malformed::Length:
        // The checksum stays that of the true length: only the length field lies.
        storeU16(out, OFFSET_LENGTH, static_cast<std::uint16_t>(size + 4));
        break;
    case Malformed::LengthPlusOne:
        storeU16(out, OFFSET_LENGTH, static_cast<std::uint16_t>(size + 1));
        break;
    case Malformed::LengthMinusOne:
        storeU16(out, OFFSET_LENGTH, static_cast<std::uint16_t>(size - 1));
        break;
    case Malformed::Long:
        // Four more bytes than the length field says (zero padding).
        if (size + 4 <= MAX_ANSWER_SIZE) {
            std::memset(out + size, 0, 4);
            size += 4;
        }
        break;
    case Malformed::Short:
        size = SHORT_ANSWER_SIZE;
        break;
    case Malformed::Command:
        storeU16(out, OFFSET_COMMAND, wrongCommand);
        if (hasChecksum)
            storeChecksum(out, size);
        break;
    }
    return size;
}

std::size_t buildBroadcastIdReply(const Frame& frame, const Reply& reply, char* out)
{
    const FrameSettings& s = *frame.settings;
    writeAnswerHeader(out, frame, reply, CMD_BroadcastID, BROADCAST_ID_SIZE, BROADCAST_ID_SIZE);
    storeU32(out, OFFSET_CHANGE_STAMP_A, s.stamp48);
    storeU32(out, OFFSET_CHANGE_STAMP_B, s.stamp60);
    storeU32(out, OFFSET_STATUS_FLAGS, statusFlagsAt(s, reply.atUs));
    storeU32(out, OFFSET_DEVICE_TYPE, s.deviceType);
    storeU32(out, OFFSET_WORD80, s.word80);
    storeChecksum(out, BROADCAST_ID_SIZE);
    return BROADCAST_ID_SIZE;
}

std::size_t buildDiscoveryAnswer(const Frame& frame, const Reply& reply, char* out)
{
    const FrameSettings& s = *frame.settings;
    if (!s.ext) {
        const std::size_t size = buildBroadcastIdReply(frame, reply, out);
        return spoil(out, size, true, s.faults.malformedDiscovery, CMD_Ack);
    }
    // The carried reply is built whole; a wrapper shorter than it cuts it off.
    const std::size_t size = s.extSize;
    writeAnswerHeader(out, frame, reply, CMD_BroadcastIDExt, size, EXT_CARRIED_END);
    storeU16(out, OFFSET_EXT_COUNT, static_cast<std::uint16_t>(s.extCount));
    buildBroadcastIdReply(frame, reply, out + OFFSET_EXT_INNER);
    const bool hasChecksum = size >= EXT_CARRIED_END + CHECKSUM_SIZE;
    if (hasChecksum)
        storeChecksum(out, size);
    return spoil(out, size, hasChecksum, s.faults.malformedDiscovery, CMD_Ack);
}

std::size_t buildRequestAnswer(const Frame& frame, const Reply& reply, char* out)
{
    const FrameSettings& s = *frame.settings;
    std::size_t size = 0;
    bool hasChecksum = true;
    switch (reply.kind) {
    case AnswerKind::Ack:
        // A short Ack is cut off after the header: no checksum word, and
        // below 32 bytes no whole status word.
        size = s.ackSize;
        hasChecksum = size >= ACK_SIZE;
        writeAnswerHeader(out, frame, reply, CMD_Ack, size, ACK_SIZE);
        storeU32(out, OFFSET_ACK_STATUS, s.ackStatus);
        break;
    case AnswerKind::Text:
        size = kivMessageSize(s.replyText.size());
        writeAnswerHeader(out, frame, reply, CMD_KivText, size, size);
        std::memcpy(out + OFFSET_BODY, s.replyText.data(), s.replyText.size());
        break;
    case AnswerKind::Meter: {
        const std::size_t recordSize = meterRecordSize(reply.meterVersion);
        size = OFFSET_BODY + recordSize + CHECKSUM_SIZE;
        writeAnswerHeader(out, frame, reply, CMD_KivText, size, size);
        for (std::size_t i = 0; i < recordSize; ++i)
            out[OFFSET_BODY + i] = static_cast<char>(meterRecordByte(frame, i, reply.atUs));
        break;
    }
    case AnswerKind::Discovery:
        break;
    }
    if (hasChecksum)
        storeChecksum(out, size);
    return spoil(out, size, hasChecksum, s.faults.malformed, CMD_BroadcastID);
}

} // namespace

std::size_t buildAnswer(const Frame& frame, const Reply& reply, char* out)
{
    if (reply.kind == AnswerKind::Discovery)
        return buildDiscoveryAnswer(frame, reply, out);
    return buildRequestAnswer(frame, reply, out);
}

std::optional<Reply> replyToText(const FrameSettings& settings, std::string_view text)
{
    const int queried = queriedMeterVersion(text);
    Reply reply;
    switch (settings.reply) {
    case ReplyKind::Auto:
        reply.kind = queried != 0 ? AnswerKind::Meter : AnswerKind::Ack;
        break;
    case ReplyKind::Ack:
        reply.kind = AnswerKind::Ack;
        break;
    case ReplyKind::Text:
        reply.kind = AnswerKind::Text;
        break;
    case ReplyKind::Meter:
        reply.kind = AnswerKind::Meter;
        break;
    case ReplyKind::None:
        return std::nullopt;
    }
    const int version = settings.meterVersion != 0 ? settings.meterVersion : (queried != 0 ? queried : 1);
    reply.meterVersion = static_cast<std::uint8_t>(version);
    return reply;
}

int queriedMeterVersion(std::string_view text)
{
    for (const auto& [prefix, version] : METER_QUERIES)
        if (text.substr(0, prefix.size()) == prefix)
            return version;
    return 0;
}

std::size_t meterRecordSize(int version)
{
    return METER_RECORD_SIZES.at(static_cast<std::size_t>(version - 1));
}

std::uint8_t meterRecordByte(const Frame& frame, std::size_t i, std::int64_t atUs)
{
    const FrameSettings& s = *frame.settings;
    const unsigned still =
        s.meterFill ? *s.meterFill : static_cast<unsigned>((frame.index * 7U + i * 13U + 5U) & 0xFFU);
    if (!s.show.meterMotion)
        return static_cast<std::uint8_t>(still);
    const auto steps = static_cast<std::uint64_t>(std::max<std::int64_t>(atUs, 0) / METER_STEP_US);
    const auto phase = static_cast<unsigned>((still + METER_STEP * steps) % 512U);
    return static_cast<std::uint8_t>(phase < 256U ? phase : 511U - phase);
}

bool presentAt(const Show& show, std::int64_t atUs)
{
    if (atUs < show.joinAfterUs)
        return false;
    if (show.silentFromUs && atUs >= *show.silentFromUs &&
        (!show.silentForUs || atUs - *show.silentFromUs < *show.silentForUs))
        return false;
    return true;
}

std::uint32_t statusFlagsAt(const FrameSettings& settings, std::int64_t atUs)
{
    const Show& show = settings.show;
    if (show.changeAtUs && show.changedFlags && atUs >= *show.changeAtUs)
        return *show.changedFlags;
    return settings.flags;
}

} // namespace KivFrame
