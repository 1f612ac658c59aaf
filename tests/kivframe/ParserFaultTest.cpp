// The faults a receiving parser must survive, as kivframe plays them: answers
// addressed to every frame, sequence numbers that are not the request's,
// Acks cut short, length fields off by one, command-5 wrappers that carry
// no reply or a cut one.

#include "Requests.h"
#include "UdpPeer.h"

#include "support/EmulatorLog.h"

#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <string>
#include <vector>

using namespace kivtest;
using namespace std::chrono_literals;

namespace {

constexpr std::uint64_t FAULTY_FRAME_ID = 0x00A0000000000002ULL;
constexpr std::uint32_t REQUEST_SEQUENCE = 321;
constexpr std::uint32_t FENCE = 0xFE0CE;

using Bytes = std::vector<unsigned char>;

struct FaultCase {
    const char* name;
    std::string frame;  // --frame keys of the faulty frame (127.0.0.3)
    bool discovery;     // asks for discovery instead of sending Dev.Power=1
    std::size_t size;   // of the answer
    std::function<void(const Bytes&)> check;
};

void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }

class KivframeParserFault : public testing::TestWithParam<FaultCase> {};

// The faulty frame's one answer to a request of sequence REQUEST_SEQUENCE; a
// well-behaved first frame answers the fence.
Bytes faultyAnswer(const FaultCase& c)
{
    Emulator emulator({"--frames", "1", "--pace", "0", "--frame", c.frame});
    UdpPeer peer("127.0.0.1", 6004);
    peer.send(c.discovery ? discoveryRequest(REQUEST_SEQUENCE)
                          : textRequest("Dev.Power=1", FAULTY_FRAME_ID, REQUEST_SEQUENCE),
              "127.0.0.3", 6015);
    peer.send(textRequest("Dev.Power=1", FIRST_FRAME_ID, FENCE), "127.0.0.2", 6015);
    const auto answers = answersBefore(peer, FENCE);
    EXPECT_EQ(answers.size(), 1U);
    if (answers.empty())
        return {};
    EXPECT_EQ(answers[0].from, "127.0.0.3");
    return answers[0].bytes;
}

std::function<void(const Bytes&)> header(std::uint64_t destination, std::uint16_t length, std::uint16_t command,
                                         std::uint32_t sequence, bool checksumValid)
{
    return [=](const Bytes& b) {
        const auto h = headerOf(b);
        EXPECT_EQ(h.sourceId, FAULTY_FRAME_ID);
        EXPECT_EQ(h.destinationId, destination);
        EXPECT_EQ(h.length, length);
        EXPECT_EQ(h.command, command);
        EXPECT_EQ(h.sequence, sequence);
        EXPECT_EQ(Morv::checksumValid(chars(b), b.size()), checksumValid);
    };
}

// An Ack of `size` bytes, cut short: the status bytes that fit, no checksum word.
std::function<void(const Bytes&)> shortAck(std::size_t size)
{
    return [size](const Bytes& b) {
        header(REQUESTER_ID, static_cast<std::uint16_t>(size), Morv::CMD_Ack, REQUEST_SEQUENCE, false)(b);
        const unsigned char status[] = {0xFE, 0xFF, 0xFF, 0xFF};
        for (std::size_t i = 28; i < size; ++i)
            EXPECT_EQ(b[i], status[i - 28]) << "byte " << i;
    };
}

// A command-5 wrapper: the size, its count word and as much of the carried
// 100-byte reply as fits.
std::function<void(const Bytes&)> wrapper(std::size_t size, std::int16_t count, bool checksumValid)
{
    return [=](const Bytes& b) {
        header(REQUESTER_ID, static_cast<std::uint16_t>(size), Morv::CMD_BroadcastIDExt, REQUEST_SEQUENCE,
               checksumValid)(b);
        if (size >= 30) {
            EXPECT_EQ(Morv::loadS16(chars(b), 28), count);
        }
        if (size >= 32 + 28) {
            const auto inner = headerOf(Bytes(b.begin() + 32, b.end()));
            EXPECT_EQ(inner.sourceId, FAULTY_FRAME_ID);
            EXPECT_EQ(inner.length, 100);
            EXPECT_EQ(inner.command, Morv::CMD_BroadcastID);
        }
        if (size >= 32 + 76) {
            EXPECT_EQ(wordAt(b, 32 + 72), 19U) << "the carried device type";
        }
    };
}

} // namespace

TEST_P(KivframeParserFault, AnswerCarriesTheFault)
{
    const FaultCase& c = GetParam();
    const Bytes bytes = faultyAnswer(c);
    ASSERT_EQ(bytes.size(), c.size);
    c.check(bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, KivframeParserFault,
    testing::Values(
        FaultCase{"AckToDiscoveryId", "to-discovery-id=1", false, 36,
                  header(Morv::DISCOVERY_ID, 36, Morv::CMD_Ack, REQUEST_SEQUENCE, true)},
        FaultCase{"DiscoveryReplyToDiscoveryId", "to-discovery-id=1", true, 100,
                  header(Morv::DISCOVERY_ID, 100, Morv::CMD_BroadcastID, REQUEST_SEQUENCE, true)},
        FaultCase{"SequenceZero", "sequence=zero", false, 36, header(REQUESTER_ID, 36, Morv::CMD_Ack, 0, true)},
        FaultCase{"SequenceNext", "sequence=next", false, 36,
                  header(REQUESTER_ID, 36, Morv::CMD_Ack, REQUEST_SEQUENCE + 1, true)},
        FaultCase{"FirstOlderSequenceIsTheRequestsLessOne", "sequence=older", false, 36,
                  header(REQUESTER_ID, 36, Morv::CMD_Ack, REQUEST_SEQUENCE - 1, true)},
        FaultCase{"Ack28", "ack-size=28", false, 28, shortAck(28)},
        FaultCase{"Ack29", "ack-size=29", false, 29, shortAck(29)},
        FaultCase{"Ack31", "ack-size=31", false, 31, shortAck(31)},
        FaultCase{"Ack32", "ack-size=32", false, 32, shortAck(32)},
        FaultCase{"LongAckIsPaddedAndChecksummed", "ack-size=60", false, 60,
                  header(REQUESTER_ID, 60, Morv::CMD_Ack, REQUEST_SEQUENCE, true)},
        FaultCase{"AckLengthPlusOne", "malformed=length+1", false, 36,
                  header(REQUESTER_ID, 37, Morv::CMD_Ack, REQUEST_SEQUENCE, false)},
        FaultCase{"AckLengthMinusOne", "malformed=length-1", false, 36,
                  header(REQUESTER_ID, 35, Morv::CMD_Ack, REQUEST_SEQUENCE, false)},
        FaultCase{"DiscoveryLengthPlusOne", "malformed-discovery=length+1", true, 100,
                  header(REQUESTER_ID, 101, Morv::CMD_BroadcastID, REQUEST_SEQUENCE, false)},
        FaultCase{"DiscoveryLengthMinusOne", "malformed-discovery=length-1", true, 100,
                  header(REQUESTER_ID, 99, Morv::CMD_BroadcastID, REQUEST_SEQUENCE, false)},
        FaultCase{"DiscoveryShort", "malformed-discovery=short", true, 20,
                  [](const Bytes& b) { EXPECT_EQ(Morv::loadId(chars(b), 0), FAULTY_FRAME_ID); }},
        FaultCase{"DiscoveryWrongCommand", "malformed-discovery=command", true, 100,
                  header(REQUESTER_ID, 100, Morv::CMD_Ack, REQUEST_SEQUENCE, true)},
        FaultCase{"WrapperCountZero", "ext=1,ext-count=0", true, 436, wrapper(436, 0, true)},
        FaultCase{"WrapperCountNegative", "ext=1,ext-count=-1", true, 436, wrapper(436, -1, true)},
        FaultCase{"Wrapper435", "ext=1,ext-size=435", true, 435, wrapper(435, 1, true)},
        FaultCase{"WrapperThatJustHoldsTheReply", "ext=1,ext-size=132", true, 132, wrapper(132, 1, false)},
        FaultCase{"WrapperCuttingTheReply", "ext=1,ext-size=100", true, 100, wrapper(100, 1, false)},
        FaultCase{"WrapperLengthMinusOne", "ext=1,malformed-discovery=length-1", true, 436,
                  [](const Bytes& b) { EXPECT_EQ(headerOf(b).length, 435); }}),
    [](const testing::TestParamInfo<FaultCase>& info) { return std::string(info.param.name); });

// An older sequence number is that of the request the frame heard before
// (discovery included); a retransmission is the same request and leaves it.
TEST(KivframeParserFault, OlderSequenceIsThatOfTheRequestHeardBefore)
{
    Emulator emulator({"--frames", "1", "--pace", "0", "--frame", "sequence=older"});
    UdpPeer peer("127.0.0.1", 6004);
    std::vector<std::uint32_t> carried;
    std::uint32_t fence = FENCE;
    const auto ask = [&](const std::vector<char>& request) {
        peer.send(request, "127.0.0.3", 6015);
        peer.send(textRequest("Dev.Power=1", FIRST_FRAME_ID, ++fence), "127.0.0.2", 6015);
        const auto answers = answersBefore(peer, fence);
        ASSERT_EQ(answers.size(), 1U);
        carried.push_back(headerOf(answers[0].bytes).sequence);
    };
    ask(discoveryRequest(100));
    ask(textRequest("Dev.Power=1", FAULTY_FRAME_ID, 200));
    ask(textRequest("Dev.Power=1", FAULTY_FRAME_ID, 200)); // retransmission
    ask(discoveryRequest(300));
    ask(textRequest("Dev.Power=1", FAULTY_FRAME_ID, 200));
    EXPECT_EQ(carried, (std::vector<std::uint32_t>{99, 100, 100, 200, 300}));
}
