#include "apps/kivframe/Answers.h"

#include "apps/kivcast/MeterData.h"

#include <cstring>
#include <utility>

namespace KivFrame {

namespace {

using namespace Morv;

// The emulated frames address their answers to controllers.
constexpr std::uint16_t REQUESTER_NODE_TYPE = NODE_TYPE_CONTROLLER;

// Spoiled answers: a short datagram holds only this many bytes.
constexpr std::size_t SHORT_ANSWER_SIZE = 20;

void writeAnswerHeader(char* out, const Frame& frame, const Reply& reply, std::uint16_t command, std::size_t size)
{
    std::memset(out, 0, size);
    MSG_CmdHdr header;
    header.sourceId = frame.id;
    header.destinationId = reply.requesterId;
    header.senderNodeType = frame.settings->nodeType;
    header.destinationNodeType = REQUESTER_NODE_TYPE;
    header.length = static_cast<std::uint16_t>(size);
    header.command = command;
    header.sequence = reply.requestSequence + (frame.settings->wrongSequence ? 1U : 0U);
    writeHeader(out, header);
}

std::size_t buildBroadcastIdReply(const Frame& frame, const Reply& reply, char* out)
{
    const FrameSettings& s = *frame.settings;
    writeAnswerHeader(out, frame, reply, CMD_BroadcastID, BROADCAST_ID_SIZE);
    storeU32(out, OFFSET_CHANGE_STAMP_A, s.stamp48);
    storeU32(out, OFFSET_CHANGE_STAMP_B, s.stamp60);
    storeU32(out, OFFSET_STATUS_FLAGS, s.flags);
    storeU32(out, OFFSET_DEVICE_TYPE, s.deviceType);
    storeU32(out, OFFSET_WORD80, s.word80);
    storeChecksum(out, BROADCAST_ID_SIZE);
    return BROADCAST_ID_SIZE;
}

std::size_t buildDiscoveryAnswer(const Frame& frame, const Reply& reply, char* out)
{
    if (!frame.settings->ext)
        return buildBroadcastIdReply(frame, reply, out);
    writeAnswerHeader(out, frame, reply, CMD_BroadcastIDExt, EXT_REPLY_SIZE);
    storeU16(out, OFFSET_EXT_COUNT, 1);
    buildBroadcastIdReply(frame, reply, out + OFFSET_EXT_INNER);
    storeChecksum(out, EXT_REPLY_SIZE);
    return EXT_REPLY_SIZE;
}

std::size_t buildRequestAnswer(const Frame& frame, const Reply& reply, char* out)
{
    const FrameSettings& s = *frame.settings;
    std::size_t size = 0;
    switch (reply.kind) {
    case AnswerKind::Ack:
        size = OFFSET_ACK_STATUS + 4 + CHECKSUM_SIZE;
        writeAnswerHeader(out, frame, reply, CMD_Ack, size);
        storeU32(out, OFFSET_ACK_STATUS, s.ackStatus);
        break;
    case AnswerKind::Text:
        size = kivMessageSize(s.replyText.size());
        writeAnswerHeader(out, frame, reply, CMD_KivText, size);
        std::memcpy(out + OFFSET_BODY, s.replyText.data(), s.replyText.size());
        break;
    case AnswerKind::Meter: {
        const std::size_t recordSize = ::meterRecordSize(reply.meterVersion);
        size = OFFSET_BODY + recordSize + CHECKSUM_SIZE;
        writeAnswerHeader(out, frame, reply, CMD_KivText, size);
        for (std::size_t i = 0; i < recordSize; ++i)
            out[OFFSET_BODY + i] = static_cast<char>(meterRecordByte(frame, i));
        break;
    }
    case AnswerKind::Discovery:
        break;
    }
    storeChecksum(out, size);

    switch (s.malformed) {
    case Malformed::None:
        break;
    case Malformed::Length:
        // The checksum stays that of the true length: only the length field lies.
        storeU16(out, OFFSET_LENGTH, static_cast<std::uint16_t>(size + 4));
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
        storeU16(out, OFFSET_COMMAND, CMD_BroadcastID);
        storeChecksum(out, size);
        break;
    }
    return size;
}

} // namespace

std::size_t buildAnswer(const Frame& frame, const Reply& reply, char* out)
{
    if (reply.kind == AnswerKind::Discovery)
        return buildDiscoveryAnswer(frame, reply, out);
    return buildRequestAnswer(frame, reply, out);
}

std::uint8_t meterRecordByte(const Frame& frame, std::size_t i)
{
    if (frame.settings->meterFill)
        return *frame.settings->meterFill;
    return static_cast<std::uint8_t>((frame.index * 7U + i * 13U + 5U) & 0xFFU);
}

} // namespace KivFrame
