#include "Morv/Message.h"

#include "common/Platform.h"

#include <atomic>
#include <cstring>

namespace Morv {

namespace {
std::atomic<std::uint32_t>& sequenceCounter()
{
    static std::atomic<std::uint32_t> counter{Platform::tickCount()};
    return counter;
}
// Seed the counter at program start rather than at the first message.
const bool counterSeeded = (sequenceCounter(), true);
} // namespace

std::uint32_t nextSequenceNumber()
{
    (void)counterSeeded;
    return sequenceCounter().fetch_add(1, std::memory_order_relaxed) + 1;
}

Command<MSG_CmdHdr>::Command(const char* bytes, std::size_t count)
{
    if (bytes == nullptr || count < HEADER_SIZE)
        return;
    // A length field shorter than a header leaves no header to read.
    const int length = loadS16(bytes, OFFSET_LENGTH);
    if (length < static_cast<int>(HEADER_SIZE) || static_cast<std::size_t>(length) > count)
        return;
    bytes_.assign(bytes, bytes + length);
    flag_ = 1;
}

void Command<MSG_CmdHdr>::writeHeader(std::uint64_t sourceId, std::uint64_t destinationId,
                                      std::uint16_t senderNodeType, std::uint16_t destinationNodeType,
                                      std::uint16_t command, std::size_t size)
{
    bytes_.assign(size, 0);
    MSG_CmdHdr header;
    header.sourceId = sourceId;
    header.destinationId = destinationId;
    header.senderNodeType = senderNodeType;
    header.destinationNodeType = destinationNodeType;
    header.length = static_cast<std::uint16_t>(size);
    header.command = command;
    header.sequence = nextSequenceNumber();
    Morv::writeHeader(bytes_.data(), header);
    flag_ = 1;
}

Command<MSG_BroadcastID>::Command(std::uint64_t sourceId, std::uint16_t senderNodeType)
{
    writeHeader(sourceId, DISCOVERY_ID, senderNodeType, 0, CMD_BroadcastID, BROADCAST_ID_SIZE);
    storeChecksum(bytes_.data(), bytes_.size());
}

KivMessage::KivMessage(const std::string& text, std::uint64_t sourceId, std::uint16_t senderNodeType,
                       std::uint64_t destinationId, std::uint16_t destinationNodeType)
{
    const std::size_t size = kivMessageSize(text.size());
    if (size > MAX_MESSAGE_SIZE)
        throw KivMessageException();
    writeHeader(sourceId, destinationId, senderNodeType, destinationNodeType, CMD_KivText, size);
    std::memcpy(bytes_.data() + OFFSET_BODY, text.data(), text.size());
}

} // namespace Morv
