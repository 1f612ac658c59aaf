#include "Morv/Message.h"
#include "Morv/Wire.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

using namespace Morv;

namespace {
std::vector<unsigned char> asBytes(const char* p, std::size_t n)
{
    return std::vector<unsigned char>(reinterpret_cast<const unsigned char*>(p),
                                      reinterpret_cast<const unsigned char*>(p) + n);
}
} // namespace

TEST(Wire, BroadcastIdRequestMatchesKnownBytes)
{
    std::array<char, BROADCAST_ID_SIZE> msg{};
    buildBroadcastIdRequest(msg.data(), 0x0000000100000002ULL, 6, 1);
    const std::vector<unsigned char> header = {0x01, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0xFE, 0xFF,
                                               0xFF, 0xFF, 0xFD, 0xFF, 0xFF, 0xFF, 0x06, 0x00, 0x00, 0x00,
                                               0x64, 0x00, 0x04, 0x00, 0x01, 0x00, 0x00, 0x00};
    const auto bytes = asBytes(msg.data(), msg.size());
    EXPECT_EQ(std::vector<unsigned char>(bytes.begin(), bytes.begin() + 28), header);
    for (std::size_t i = 28; i < 96; ++i)
        EXPECT_EQ(bytes[i], 0) << "body byte " << i;
    EXPECT_EQ(std::vector<unsigned char>(bytes.begin() + 96, bytes.end()),
              (std::vector<unsigned char>{0xD1, 0xC5, 0xCD, 0x1D}));
    EXPECT_EQ(computeChecksum(msg.data(), msg.size()), 0x1DCDC5D1U);
    EXPECT_TRUE(checksumValid(msg.data(), msg.size()));
}

TEST(Wire, ChecksumStepFeedsBackBits31And18)
{
    struct Case {
        std::uint32_t before;
        std::uint32_t afterShift;
    };
    for (const Case c : {Case{0x80000000U, 0x00000001U}, Case{0x00040000U, 0x00080001U},
                         Case{0x80040000U, 0x00080000U}, Case{0x00000001U, 0x00000002U}})
        EXPECT_EQ(checksumStep(c.before, 0), c.afterShift) << std::hex << c.before;
    EXPECT_EQ(checksumStep(0x80000000U, 0x1234), 0x00001235U);
}

TEST(Wire, ChecksumNeverReadsPastTheBuffer)
{
    // A length field far beyond the buffer must not make the sum read past it.
    std::array<char, 32> msg{};
    storeU16(msg.data(), OFFSET_LENGTH, 30000);
    EXPECT_FALSE(storeChecksum(msg.data(), msg.size()));
    EXPECT_FALSE(checksumValid(msg.data(), msg.size()));
    (void)computeChecksum(msg.data(), msg.size());
    storeU16(msg.data(), OFFSET_LENGTH, 0x8000); // negative
    EXPECT_EQ(computeChecksum(msg.data(), msg.size()), 0U);
}

TEST(Wire, FrameIdWireLayoutIsHighHalfFirst)
{
    std::array<char, 8> b{};
    storeId(b.data(), 0, 0x0001A2B300000004ULL);
    EXPECT_EQ(asBytes(b.data(), 8), (std::vector<unsigned char>{0xB3, 0xA2, 0x01, 0x00, 0x04, 0x00, 0x00, 0x00}));
    EXPECT_EQ(loadId(b.data(), 0), 0x0001A2B300000004ULL);
}

TEST(Wire, HeaderRoundTrips)
{
    MSG_CmdHdr h;
    h.sourceId = 0x1122334455667788ULL;
    h.destinationId = DISCOVERY_ID;
    h.senderNodeType = 0x8005;
    h.destinationNodeType = 5;
    h.length = 44;
    h.command = CMD_KivText;
    h.sequence = 0xDEADBEEF;
    std::array<char, HEADER_SIZE> b{};
    writeHeader(b.data(), h);
    const MSG_CmdHdr r = readHeader(b.data());
    EXPECT_EQ(r.sourceId, h.sourceId);
    EXPECT_EQ(r.destinationId, h.destinationId);
    EXPECT_EQ(r.senderNodeType, h.senderNodeType);
    EXPECT_EQ(r.destinationNodeType, h.destinationNodeType);
    EXPECT_EQ(r.length, h.length);
    EXPECT_EQ(r.command, h.command);
    EXPECT_EQ(r.sequence, h.sequence);
    EXPECT_FALSE(parseHeader(b.data(), 27).has_value());
    EXPECT_TRUE(parseHeader(b.data(), 28).has_value());
}

TEST(Wire, FrameStateFromFlags)
{
    struct Case {
        std::uint32_t flags;
        std::int32_t state;
    };
    for (const Case c : {Case{0x00, 0}, Case{0x01, 0}, Case{0x04, 0}, Case{0x05, 0}, Case{0x02, 2},
                         Case{0x0A, 2}, Case{0x08, 3}, Case{0x18, 3}, Case{0x10, 4}, Case{0x20, 5},
                         Case{0x40, 6}, Case{0x80, 1}, Case{0x100, 1}, Case{0x80000000U, 1}, Case{0x7E, 2}})
        EXPECT_EQ(frameStateFromFlags(c.flags), c.state) << std::hex << c.flags;
}

TEST(Wire, ChangeStampIsTheSignedMaximum)
{
    std::array<char, BROADCAST_ID_SIZE> b{};
    storeU32(b.data(), OFFSET_CHANGE_STAMP_A, 5);
    storeU32(b.data(), OFFSET_CHANGE_STAMP_B, 0xFFFFFFFF); // -1
    EXPECT_EQ(changeStamp(b.data()), 5);
    storeU32(b.data(), OFFSET_CHANGE_STAMP_B, 7);
    EXPECT_EQ(changeStamp(b.data()), 7);
}

TEST(Wire, InnerBroadcastIdOfCommand5)
{
    std::vector<char> b(436, 0);
    storeU16(b.data(), OFFSET_COMMAND, CMD_BroadcastIDExt);
    storeU16(b.data(), OFFSET_EXT_COUNT, 1);
    EXPECT_EQ(innerBroadcastIdOffset(b.data(), 436), std::optional<std::size_t>(32));
    EXPECT_FALSE(innerBroadcastIdOffset(b.data(), 435).has_value());
    storeU16(b.data(), OFFSET_EXT_COUNT, 0);
    EXPECT_FALSE(innerBroadcastIdOffset(b.data(), 436).has_value());
    storeU16(b.data(), OFFSET_EXT_COUNT, 0xFFFF); // -1
    EXPECT_FALSE(innerBroadcastIdOffset(b.data(), 436).has_value());
}

TEST(Wire, BoundedTextLengthStopsAtNulOrEnd)
{
    const char text[] = {'O', 'K', '\0', 'x', 'y', 'z'};
    EXPECT_EQ(boundedTextLength(text, sizeof text, 0), 2U);
    EXPECT_EQ(boundedTextLength(text, sizeof text, 3), 3U);
    EXPECT_EQ(boundedTextLength(text, sizeof text, 6), 0U);
    EXPECT_EQ(boundedTextLength(text, sizeof text, 99), 0U);
}

TEST(KivMessage, SizeRuleAndLimit)
{
    struct Case {
        std::size_t textLength;
        std::size_t size;
    };
    for (const Case c : {Case{0, 36}, Case{3, 36}, Case{4, 40}, Case{11, 44}, Case{32731, 32764}}) {
        const KivMessage m(std::string(c.textLength, 'a'), 1234567890, 6, 0x12, 5);
        EXPECT_EQ(m.size(), c.size) << c.textLength;
        EXPECT_EQ(loadU16(m.bytes().data(), OFFSET_LENGTH), c.size);
    }
    EXPECT_THROW(KivMessage(std::string(32732, 'a'), 1, 6, 2, 5), KivMessageException);
}

TEST(KivMessage, HeaderTextAndPadding)
{
    const KivMessage m("Dev.Power=1", 1234567890, 6, 0x0012AB3400000001ULL, 5);
    ASSERT_EQ(m.size(), 44U);
    ASSERT_TRUE(m.isCommand());
    const MSG_CmdHdr h = m.header();
    EXPECT_EQ(h.sourceId, 1234567890U);
    EXPECT_EQ(h.destinationId, 0x0012AB3400000001ULL);
    EXPECT_EQ(h.senderNodeType, 6);
    EXPECT_EQ(h.destinationNodeType, 5);
    EXPECT_EQ(h.command, CMD_KivText);
    EXPECT_EQ(std::string(m.bytes().data() + 28), "Dev.Power=1");
    for (std::size_t i = 28 + 11; i < 44; ++i)
        EXPECT_EQ(m.bytes()[i], 0) << i;
}

TEST(SequenceCounter, EveryMessageTakesTheNextNumber)
{
    const KivMessage a("x", 1, 6, 2, 5);
    const Command<MSG_BroadcastID> b(7, 6);
    const KivMessage c("x", 1, 6, 2, 5);
    EXPECT_EQ(b.header().sequence, a.header().sequence + 1);
    EXPECT_EQ(c.header().sequence, b.header().sequence + 1);
    EXPECT_EQ(b.size(), BROADCAST_ID_SIZE);
    EXPECT_TRUE(checksumValid(b.bytes().data(), b.size()));
    EXPECT_EQ(b.header().destinationId, DISCOVERY_ID);
}

TEST(Command, FromReceivedBytes)
{
    std::vector<char> datagram(48, 0);
    struct Case {
        std::int32_t lengthField;
        std::size_t count;
        bool command;
        std::size_t kept;
    };
    for (const Case c : {Case{40, 48, true, 40}, Case{48, 48, true, 48}, Case{49, 48, false, 0},
                         Case{-4, 48, false, 0}, Case{28, 27, false, 0}, Case{28, 28, true, 28},
                         Case{27, 48, false, 0}, Case{0, 48, false, 0}}) {
        storeU16(datagram.data(), OFFSET_LENGTH, static_cast<std::uint16_t>(c.lengthField));
        const Command<MSG_CmdHdr> cmd(datagram.data(), c.count);
        EXPECT_EQ(cmd.isCommand(), c.command) << c.lengthField;
        EXPECT_EQ(cmd.size(), c.kept) << c.lengthField;
        // Never reads past what it holds.
        EXPECT_EQ(cmd.header().length, c.command ? c.lengthField : 0) << c.lengthField;
    }
}
