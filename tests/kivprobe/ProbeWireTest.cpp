#include "apps/kivprobe/ProbeWire.h"
#include "support/Messages.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

using namespace Probe;

namespace {

constexpr std::uint64_t OWN_ID = 0x01DB2C3D4E5F6071ULL;
constexpr std::uint64_t FRAME_ID = 0x0012AB3400000001ULL;
constexpr std::uint32_t INTERFACE = 0x7F000001; // 127.0.0.1
constexpr std::uint32_t FRAME_ADDRESS = 0x7F000002;

using Bytes = std::vector<char>;

// A datagram from the frame to the probe: header filled, length = size.
Bytes datagram(std::size_t size, std::uint16_t command, std::uint32_t sequence = 1,
               std::uint64_t destination = OWN_ID)
{
    return kivtest::frameMessage(size, command, sequence, FRAME_ID, destination);
}

Bytes discoveryReply(std::uint32_t deviceType = 19)
{
    Bytes b = datagram(Morv::BROADCAST_ID_SIZE, Morv::CMD_BroadcastID);
    Morv::storeU32(b.data(), Morv::OFFSET_DEVICE_TYPE, deviceType);
    return b;
}

Bytes textReply(const std::string& text, std::size_t size)
{
    Bytes b = datagram(size, Morv::CMD_KivText, 2);
    std::memcpy(b.data() + Morv::OFFSET_BODY, text.data(), std::min(text.size(), size - Morv::OFFSET_BODY));
    return b;
}

Bytes ack(std::uint32_t status)
{
    Bytes b = datagram(36, Morv::CMD_Ack, 2);
    Morv::storeU32(b.data(), Morv::OFFSET_ACK_STATUS, status);
    return b;
}

Bytes changed(Bytes b, const std::function<void(Bytes&)>& change)
{
    change(b);
    return b;
}

} // namespace

TEST(ProbeWire, InterfaceAddressIsFourDottedParts)
{
    struct Case {
        const char* text;
        std::optional<std::uint32_t> address;
    };
    const Case cases[] = {
        {"127.0.0.1", 0x7F000001},    {"0.0.0.0", 0},           {"10.1.2.254", 0x0A0102FE},
        {"255.255.255.255", {}},     {"127.0.0", {}},          {"256.0.0.1", {}},
        {"127.0.0.1 ", {}},          {"localhost", {}},        {"", {}},
        {"0x7f.0.0.1", {}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(parseInterfaceAddress(c.text), c.address) << '"' << c.text << '"';
    EXPECT_EQ(parseInterfaceAddress(nullptr), std::nullopt);
    EXPECT_EQ(dottedAddress(0x7F000002), "127.0.0.2");
}

TEST(ProbeWire, FrameIdTexts)
{
    EXPECT_EQ(idText(0x0001A2B300000004ULL), "1a2b3:4");
    EXPECT_EQ(idText(0), "0:0");
    EXPECT_EQ(idText(0xFFFFFFFFFFFFFFFFULL), "ffffffff:ffffffff");
    EXPECT_EQ(paddedIdText(0x0001A2B300000004ULL), "0001a2b3:00000004");
}

TEST(ProbeWire, DatagramChecks)
{
    struct Case {
        const char* what;
        Bytes bytes;
        std::uint32_t sender;
        bool accepted;
    };
    const Case cases[] = {
        {"a frame's reply to the probe", discoveryReply(), FRAME_ADDRESS, true},
        {"a reply to every frame", datagram(100, 4, 1, Morv::DISCOVERY_ID), FRAME_ADDRESS, true},
        {"largest datagram", datagram(RECEIVE_BUFFER_SIZE, 701), FRAME_ADDRESS, true},
        {"shorter than a header", Bytes(27), FRAME_ADDRESS, false},
        {"empty", Bytes(), FRAME_ADDRESS, false},
        {"from the probe's own address", discoveryReply(), INTERFACE, false},
        {"with the probe's own source ID",
         changed(discoveryReply(), [](Bytes& b) { Morv::storeId(b.data(), Morv::OFFSET_SOURCE_ID, OWN_ID); }),
         FRAME_ADDRESS, false},
        {"header only", datagram(28, 2), FRAME_ADDRESS, false},
        {"length field one more than the size",
         changed(discoveryReply(), [](Bytes& b) { Morv::storeU16(b.data(), Morv::OFFSET_LENGTH, 101); }),
         FRAME_ADDRESS, false},
        {"length field one less than the size",
         changed(discoveryReply(), [](Bytes& b) { Morv::storeU16(b.data(), Morv::OFFSET_LENGTH, 99); }),
         FRAME_ADDRESS, false},
        {"larger than the receive buffer", datagram(RECEIVE_BUFFER_SIZE + 4, 701), FRAME_ADDRESS, false},
        // Unsigned, the length field 0x9000 equals the size; signed it is -28,672.
        {"36,864 bytes with the length field 0x9000", datagram(0x9000, 701, 2), FRAME_ADDRESS, false},
        {"negative length field",
         changed(discoveryReply(), [](Bytes& b) { Morv::storeU16(b.data(), Morv::OFFSET_LENGTH, 0x8064); }),
         FRAME_ADDRESS, false},
        {"addressed to someone else", datagram(100, 4, 1, OWN_ID + 1), FRAME_ADDRESS, false},
    };
    for (const Case& c : cases) {
        const auto header = acceptDatagram(c.bytes.data(), c.bytes.size(), c.sender, INTERFACE, OWN_ID);
        EXPECT_EQ(header.has_value(), c.accepted) << c.what;
    }
}

TEST(ProbeWire, DiscoveryReplyMatching)
{
    const auto withNodeType = [](std::uint16_t type) {
        return changed(discoveryReply(), [=](Bytes& b) { Morv::storeU16(b.data(), Morv::OFFSET_SENDER_NODE_TYPE, type); });
    };
    const auto extended = [](std::size_t size, std::uint32_t deviceType) {
        Bytes b = datagram(size, Morv::CMD_BroadcastIDExt);
        Morv::storeU16(b.data(), Morv::OFFSET_EXT_COUNT, 1);
        if (size >= 108)
            Morv::storeU32(b.data(), 104, deviceType);
        return b;
    };
    struct Case {
        const char* what;
        Bytes bytes;
        std::string wanted;
        bool found;
    };
    const Case cases[] = {
        {"the frame", discoveryReply(), "12ab34:1", true},
        {"leading zeros", discoveryReply(), "0012ab34:00000001", false},
        {"upper case", discoveryReply(), "12AB34:1", false},
        {"another frame", discoveryReply(), "12ab34:2", false},
        {"device type 4", discoveryReply(4), "12ab34:1", true},
        {"device type 23", discoveryReply(23), "12ab34:1", true},
        {"device type 5", discoveryReply(5), "12ab34:1", false},
        {"device type 8", discoveryReply(8), "12ab34:1", false},
        {"device type 24", discoveryReply(24), "12ab34:1", false},
        {"flag bits on the node type", withNodeType(0xE005), "12ab34:1", true},
        {"node type 8", withNodeType(8), "12ab34:1", false},
        {"node type 6", withNodeType(6), "12ab34:1", false},
        {"command 5", extended(436, 19), "12ab34:1", true},
        {"command 5 with a device type of 24", extended(436, 24), "12ab34:1", false},
        {"command 5 of 108 bytes", extended(108, 19), "12ab34:1", true},
        {"command 5 without a device type", extended(107, 19), "12ab34:1", false},
        {"command 4 without a device type", datagram(75, Morv::CMD_BroadcastID), "12ab34:1", false},
        {"a text reply", changed(discoveryReply(), [](Bytes& b) { Morv::storeU16(b.data(), Morv::OFFSET_COMMAND, 701); }),
         "12ab34:1", false},
    };
    for (const Case& c : cases) {
        const auto header = Morv::readHeader(c.bytes.data());
        const auto frame = matchDiscoveryReply(c.bytes.data(), c.bytes.size(), header, c.wanted);
        ASSERT_EQ(frame.has_value(), c.found) << c.what;
        if (frame) {
            EXPECT_EQ(frame->id, FRAME_ID) << c.what;
            EXPECT_EQ(frame->nodeType, Morv::NODE_TYPE_FRAME) << c.what;
        }
    }
}

TEST(ProbeWire, TextMessageIs152BytesWithTheTextCutTo119)
{
    const std::string text(200, 'x');
    const std::string field = textField(text);
    ASSERT_EQ(field, text.substr(0, 119));
    EXPECT_EQ(textField("Dev.Reset"), "Dev.Reset");

    std::vector<char> message(Morv::PROBE_TEXT_MESSAGE_SIZE, '\x55');
    buildTextMessage(message.data(), field, OWN_ID, FRAME_ID, 5, 2);
    const auto h = Morv::readHeader(message.data());
    EXPECT_EQ(h.sourceId, OWN_ID);
    EXPECT_EQ(h.destinationId, FRAME_ID);
    EXPECT_EQ(h.senderNodeType, 6);
    EXPECT_EQ(h.destinationNodeType, 5);
    EXPECT_EQ(h.length, 152);
    EXPECT_EQ(h.command, 701);
    EXPECT_EQ(h.sequence, 2U);
    EXPECT_EQ(std::string(message.data() + 28, 119), field);
    for (std::size_t i = 28 + 119; i < message.size(); ++i)
        EXPECT_EQ(message[i], 0) << "byte " << i << ": the NUL, then the checksum word left 0";
}

TEST(ProbeWire, WhatAnswersTheTextMessage)
{
    struct Case {
        const char* what;
        Bytes bytes;
        bool answer;
    };
    const Case cases[] = {
        {"an Ack", ack(Morv::ACK_SUCCESS), true},
        {"a text reply", textReply("OK", 36), true},
        {"an Ack of an older request", datagram(36, Morv::CMD_Ack, 1), false},
        {"a text reply to every frame", datagram(36, Morv::CMD_KivText, 2, Morv::DISCOVERY_ID), false},
        {"a discovery reply", datagram(100, Morv::CMD_BroadcastID, 2), false},
        {"an Ack without a whole status word", datagram(31, Morv::CMD_Ack, 2), false},
        {"an Ack that just holds its status word", datagram(32, Morv::CMD_Ack, 2), true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(isAnswer(Morv::readHeader(c.bytes.data()), c.bytes.size(), 2), c.answer) << c.what;
}

TEST(ProbeWire, AnswerLines)
{
    struct Case {
        Bytes bytes;
        bool succeeded;
        std::string line;
    };
    const Case cases[] = {
        {ack(Morv::ACK_SUCCESS), true, "0012ab34:00000001 command succeeded\n"},
        {ack(0xFFFFFFFF), false, "0012ab34:00000001 returned unsuccessful Ack (-1)\n"},
        {ack(3), false, "0012ab34:00000001 returned unsuccessful Ack (3)\n"},
        {textReply("OK", 36), true, "0012ab34:00000001 returned \"OK\"\n"},
        {textReply("", 32), true, "0012ab34:00000001 returned \"\"\n"},
        {textReply("", 29), true, "0012ab34:00000001 returned \"\"\n"},
        // Text from the network cannot move the cursor or colour the terminal.
        {textReply("A\x1b[2JB\n", 40), true, "0012ab34:00000001 returned \"A\\x1b[2JB\\x0a\"\n"},
        // A preset name in UTF-8 prints as it is; a backslash is doubled.
        {textReply("B\xc3\xbchne \\1", 40), true, "0012ab34:00000001 returned \"B\xc3\xbchne \\\\1\"\n"},
        // No NUL: the text ends with the datagram, checksum bytes included.
        {textReply("ABCDEFGH", 36), true, "0012ab34:00000001 returned \"ABCDEFGH\"\n"},
    };
    for (const Case& c : cases) {
        // Exactly as large as the datagram, so a read past it trips AddressSanitizer.
        const Outcome outcome = describeAnswer(c.bytes.data(), c.bytes.size(), FRAME_ID);
        EXPECT_EQ(outcome.line, c.line);
        EXPECT_EQ(outcome.succeeded, c.succeeded) << c.line;
    }
}
