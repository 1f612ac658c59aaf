#pragma once

// Messages that own their bytes: Message, the command classes and KivMessage.

#include "Morv/Wire.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace Morv {

// The process-wide sequence counter: seeded with the tick count at start,
// incremented atomically before each use. Safe from any thread.
std::uint32_t nextSequenceNumber();

// The bytes of one message and a flag that tells whether they hold a command.
class Message {
public:
    Message() = default;
    virtual ~Message() = default;
    Message(const Message&) = default;
    Message& operator=(const Message&) = default;
    Message(Message&&) = default;
    Message& operator=(Message&&) = default;

    std::vector<char>& bytes() { return bytes_; }
    const std::vector<char>& bytes() const { return bytes_; }
    std::size_t size() const { return bytes_.size(); }
    bool isCommand() const { return flag_ != 0; }

protected:
    std::vector<char> bytes_;
    std::uint8_t flag_ = 0;
};

template <class Layout>
class Command;

// A message whose bytes begin with a command header.
template <>
class Command<MSG_CmdHdr> : public Message {
public:
    Command() = default;
    // Takes in received bytes: keeps exactly `length field` bytes when that field,
    // read as signed, is at least a header and not more than `count`; otherwise
    // holds no bytes and is not a command.
    Command(const char* bytes, std::size_t count);

    // The decoded header; all zero when the bytes hold no whole header.
    MSG_CmdHdr header() const
    {
        return bytes_.size() >= HEADER_SIZE ? readHeader(bytes_.data()) : MSG_CmdHdr{};
    }

protected:
    // Sizes the bytes to `size` zeros and writes the header with the next
    // sequence number and length = size.
    void writeHeader(std::uint64_t sourceId, std::uint64_t destinationId, std::uint16_t senderNodeType,
                     std::uint16_t destinationNodeType, std::uint16_t command, std::size_t size);
};

// The 100-byte broadcast-ID request to DISCOVERY_ID, checksum included.
template <>
class Command<MSG_BroadcastID> : public Command<MSG_CmdHdr> {
public:
    Command(std::uint64_t sourceId, std::uint16_t senderNodeType);
};

// Thrown when a text would make a message longer than MAX_MESSAGE_SIZE.
class KivMessageException {};

// A KIV text message (command 701). The checksum word is left 0; the request
// engine fills it in when the message is sent.
class KivMessage : public Command<MSG_CmdHdr> {
public:
    KivMessage(const std::string& text, std::uint64_t sourceId, std::uint16_t senderNodeType,
               std::uint64_t destinationId, std::uint16_t destinationNodeType);
};

} // namespace Morv
