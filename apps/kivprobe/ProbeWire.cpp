#include "apps/kivprobe/ProbeWire.h"

#include "common/TextEscape.h"

#ifdef _WIN32
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#endif

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace Probe {

namespace {

// Offset of the device type in a command-5 reply: the device-type field of
// the broadcast-ID message carried at OFFSET_EXT_INNER.
constexpr std::size_t OFFSET_EXT_DEVICE_TYPE = Morv::OFFSET_EXT_INNER + Morv::OFFSET_DEVICE_TYPE;

std::optional<std::uint32_t> deviceTypeOf(const char* bytes, std::size_t size, std::uint16_t command)
{
    std::size_t offset = 0;
    if (command == Morv::CMD_BroadcastID)
        offset = Morv::OFFSET_DEVICE_TYPE;
    else if (command == Morv::CMD_BroadcastIDExt)
        offset = OFFSET_EXT_DEVICE_TYPE;
    else
        return std::nullopt;
    // A reply too short to hold the field carries no device type.
    if (size < offset + 4)
        return std::nullopt;
    return Morv::loadU32(bytes, offset);
}

} // namespace

std::optional<std::uint32_t> parseInterfaceAddress(const char* text)
{
    in_addr address{};
    if (text == nullptr || inet_pton(AF_INET, text, &address) != 1)
        return std::nullopt;
    const std::uint32_t value = ntohl(address.s_addr);
    if (value == 0xFFFFFFFFU)
        return std::nullopt;
    return value;
}

std::string dottedAddress(std::uint32_t address)
{
    in_addr a{};
    a.s_addr = htonl(address);
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

std::string idText(std::uint64_t id)
{
    char text[24];
    std::snprintf(text, sizeof text, "%x:%x", Morv::idHigh(id), Morv::idLow(id));
    return text;
}

std::string paddedIdText(std::uint64_t id)
{
    char text[24];
    std::snprintf(text, sizeof text, "%08x:%08x", Morv::idHigh(id), Morv::idLow(id));
    return text;
}

bool isAcceptedDeviceType(std::uint32_t deviceType)
{
    static constexpr std::uint32_t accepted[] = {4, 6, 9, 10, 11, 12, 13, 19, 20, 21, 22, 23};
    return std::find(std::begin(accepted), std::end(accepted), deviceType) != std::end(accepted);
}

std::optional<Morv::MSG_CmdHdr> acceptDatagram(const char* bytes, std::size_t size, std::uint32_t senderAddress,
                                               std::uint32_t interfaceAddress, std::uint64_t ownId)
{
    const auto header = Morv::parseHeader(bytes, size);
    if (!header)
        return std::nullopt;
    // Our own broadcasts, and anything else sent from our own address.
    if (senderAddress == interfaceAddress)
        return std::nullopt;
    if (header->sourceId == ownId)
        return std::nullopt;
    // The size is the datagram's real size, which may exceed the buffer; the
    // length field is compared signed, so 0x9000 never matches a 36,864-byte datagram.
    const int length = header->signedLength();
    if (size > RECEIVE_BUFFER_SIZE || header->length <= Morv::HEADER_SIZE ||
        length > static_cast<int>(RECEIVE_BUFFER_SIZE) || length != static_cast<int>(size))
        return std::nullopt;
    if (header->destinationId != Morv::DISCOVERY_ID && header->destinationId != ownId)
        return std::nullopt;
    return header;
}

std::optional<FoundFrame> matchDiscoveryReply(const char* bytes, std::size_t size, const Morv::MSG_CmdHdr& header,
                                              std::string_view wantedId)
{
    const std::uint16_t nodeType = header.senderNodeType & NODE_TYPE_MASK;
    if (nodeType != Morv::NODE_TYPE_FRAME)
        return std::nullopt;
    const auto deviceType = deviceTypeOf(bytes, size, header.command);
    if (!deviceType || !isAcceptedDeviceType(*deviceType))
        return std::nullopt;
    // The ID is compared as text, so 0001a2b3:00000004 never names 1a2b3:4.
    if (idText(header.sourceId) != wantedId)
        return std::nullopt;
    return FoundFrame{header.sourceId, nodeType};
}

std::string textField(std::string_view text)
{
    return std::string(text.substr(0, MAX_TEXT_LENGTH));
}

void buildTextMessage(char* out, std::string_view field, std::uint64_t ownId, std::uint64_t frameId,
                      std::uint16_t frameNodeType, std::uint32_t sequence)
{
    std::memset(out, 0, Morv::PROBE_TEXT_MESSAGE_SIZE);
    Morv::MSG_CmdHdr header;
    header.sourceId = ownId;
    header.destinationId = frameId;
    header.senderNodeType = Morv::NODE_TYPE_CONTROLLER;
    header.destinationNodeType = frameNodeType;
    header.length = static_cast<std::uint16_t>(Morv::PROBE_TEXT_MESSAGE_SIZE);
    header.command = Morv::CMD_KivText;
    header.sequence = sequence;
    Morv::writeHeader(out, header);
    const std::size_t length = std::min(field.size(), MAX_TEXT_LENGTH);
    std::memcpy(out + Morv::OFFSET_BODY, field.data(), length);
}

bool isAnswer(const Morv::MSG_CmdHdr& header, std::size_t size, std::uint32_t sequence)
{
    if (header.sequence != sequence || header.destinationId == Morv::DISCOVERY_ID)
        return false;
    if (header.command == Morv::CMD_KivText)
        return true;
    return header.command == Morv::CMD_Ack && size >= Morv::OFFSET_ACK_STATUS + 4;
}

Outcome describeAnswer(const char* bytes, std::size_t size, std::uint64_t frameId)
{
    const std::string id = paddedIdText(frameId);
    if (Morv::loadU16(bytes, Morv::OFFSET_COMMAND) == Morv::CMD_KivText) {
        const std::size_t length = Morv::boundedTextLength(bytes, size, Morv::OFFSET_BODY);
        const std::string text = length == 0 ? std::string() : std::string(bytes + Morv::OFFSET_BODY, length);
        return {true, id + " returned \"" + escapeForConsole(text) + "\"\n"};
    }
    const std::uint32_t status = Morv::loadU32(bytes, Morv::OFFSET_ACK_STATUS);
    if (status == Morv::ACK_SUCCESS)
        return {true, id + " command succeeded\n"};
    return {false, id + " returned unsuccessful Ack (" + std::to_string(static_cast<std::int32_t>(status)) + ")\n"};
}

} // namespace Probe
