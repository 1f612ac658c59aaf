// Command-701 requests: which frame answers, each kind of reply, and each
// fault a frame can be told to show.

#include "Requests.h"
#include "UdpPeer.h"

#include "support/EmulatorLog.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <ostream>
#include <string>
#include <vector>

using namespace kivtest;
using namespace std::chrono_literals;

namespace {

constexpr std::uint64_t SECOND_FRAME_ID = 0x00A0000000000002ULL;
constexpr std::uint32_t FENCE = 0xFE0CE;

// The expected meter record of frame number `index`, by the documented rule.
std::vector<unsigned char> meterRecord(unsigned index, std::size_t size)
{
    std::vector<unsigned char> record(size);
    for (std::size_t i = 0; i < size; ++i)
        record[i] = static_cast<unsigned char>((index * 7 + i * 13 + 5) & 0xFF);
    return record;
}

std::vector<unsigned char> body(const std::vector<unsigned char>& bytes, std::size_t size)
{
    if (bytes.size() < Morv::OFFSET_BODY + size)
        return {};
    return std::vector<unsigned char>(bytes.begin() + Morv::OFFSET_BODY, bytes.begin() + Morv::OFFSET_BODY + size);
}

struct ReplyCase {
    const char* name;
    std::vector<std::string> options; // for both frames
    std::string text;
    std::uint16_t command;
    std::size_t size;
    std::function<void(const std::vector<unsigned char>&)> checkBody;
};

void PrintTo(const ReplyCase& c, std::ostream* os) { *os << c.name; }

class KivframeReply : public testing::TestWithParam<ReplyCase> {};

std::function<void(const std::vector<unsigned char>&)> ackStatus(std::uint32_t status)
{
    return [status](const std::vector<unsigned char>& b) { EXPECT_EQ(wordAt(b, 28), status); };
}

std::function<void(const std::vector<unsigned char>&)> meter(std::size_t size)
{
    return [size](const std::vector<unsigned char>& b) { EXPECT_EQ(body(b, size), meterRecord(1, size)); };
}

// Sends `request` to the second frame (127.0.0.3) and returns its one answer.
std::vector<unsigned char> askSecondFrame(const std::vector<std::string>& options, const std::string& text)
{
    std::vector<std::string> args{"--frames", "2"};
    args.insert(args.end(), options.begin(), options.end());
    Emulator emulator(args);
    UdpPeer peer("127.0.0.1", 6004);
    peer.send(textRequest(text, SECOND_FRAME_ID, 321), "127.0.0.3", 6015);
    peer.send(textRequest("Dev.Power=1", FIRST_FRAME_ID, FENCE), "127.0.0.2", 6015);
    const auto answers = answersBefore(peer, FENCE);
    EXPECT_EQ(answers.size(), 1U);
    if (answers.empty())
        return {};
    EXPECT_EQ(answers[0].from, "127.0.0.3");
    EXPECT_EQ(answers[0].fromPort, 6015);
    return answers[0].bytes;
}

} // namespace

TEST_P(KivframeReply, AnswersWithTheConfiguredKind)
{
    const ReplyCase& c = GetParam();
    const auto bytes = askSecondFrame(c.options, c.text);
    ASSERT_EQ(bytes.size(), c.size);
    const auto h = headerOf(bytes);
    EXPECT_EQ(h.sourceId, SECOND_FRAME_ID);
    EXPECT_EQ(h.destinationId, REQUESTER_ID);
    EXPECT_EQ(h.senderNodeType, Morv::NODE_TYPE_FRAME);
    EXPECT_EQ(h.destinationNodeType, Morv::NODE_TYPE_CONTROLLER);
    EXPECT_EQ(h.length, c.size);
    EXPECT_EQ(h.command, c.command);
    EXPECT_EQ(h.sequence, 321U);
    EXPECT_TRUE(Morv::checksumValid(chars(bytes), bytes.size()));
    c.checkBody(bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, KivframeReply,
    testing::Values(
        ReplyCase{"AutoAcksACommand", {}, "Dev.Power=1", Morv::CMD_Ack, 36, ackStatus(0xFFFFFFFEU)},
        ReplyCase{"AutoMeterV1", {}, "Dev.MD.FullBin?", Morv::CMD_KivText, 28 + 48 + 4, meter(48)},
        ReplyCase{"AutoMeterV2", {}, "M?2", Morv::CMD_KivText, 28 + 84 + 4, meter(84)},
        ReplyCase{"AutoMeterV3", {}, "NM?", Morv::CMD_KivText, 28 + 104 + 4, meter(104)},
        ReplyCase{"AutoMeterV3FromLongPrefix", {}, "Dev.MD.FullBin?3", Morv::CMD_KivText, 28 + 104 + 4, meter(104)},
        ReplyCase{"AckEvenForAMeterQuery", {"--reply", "ack", "--ack-status", "-1"}, "M?", Morv::CMD_Ack, 36,
                  ackStatus(0xFFFFFFFFU)},
        ReplyCase{"Text", {"--reply", "text", "--reply-text", "Preset 4"}, "Dev.Preset?", Morv::CMD_KivText, 44,
                  [](const std::vector<unsigned char>& b) {
                      const std::vector<unsigned char> expected = {'P', 'r', 'e', 's', 'e', 't', ' ', '4', 0, 0, 0, 0};
                      EXPECT_EQ(body(b, 8 + 4), expected);
                  }},
        ReplyCase{"EmptyText", {"--reply", "text", "--reply-text", ""}, "Dev.Name?", Morv::CMD_KivText, 36,
                  [](const std::vector<unsigned char>& b) { EXPECT_EQ(wordAt(b, 28), 0U); }},
        ReplyCase{"MeterForcedVersion", {"--reply", "meter", "--meter-version", "2"}, "Dev.MD.FullBin?3",
                  Morv::CMD_KivText, 28 + 84 + 4, meter(84)},
        ReplyCase{"MeterAutoForAPlainText", {"--reply", "meter"}, "Dev.Power=1", Morv::CMD_KivText, 28 + 48 + 4,
                  meter(48)},
        ReplyCase{"MeterFill", {"--meter-fill", "0xaa"}, "M?3", Morv::CMD_KivText, 28 + 104 + 4,
                  [](const std::vector<unsigned char>& b) {
                      EXPECT_EQ(body(b, 104), std::vector<unsigned char>(104, 0xAA));
                  }}),
    [](const testing::TestParamInfo<ReplyCase>& info) { return std::string(info.param.name); });

TEST(KivframeRequest, OnlyTheAddressedFrameAnswers)
{
    Emulator emulator({"--frames", "4", "--per-address", "2", "--reply", "text", "--pace", "0", "--frame",
                       "id=0012ab34:00000001,address=127.0.0.9,reply=ack"});
    UdpPeer peer("127.0.0.1", 6004);
    // The second frame of 127.0.0.2, by its ID.
    peer.send(textRequest("a", SECOND_FRAME_ID, 1), "127.0.0.2", 6015);
    // A frame's ID sent to another frame's address: nobody.
    peer.send(textRequest("b", 0x00A0000000000003ULL, 2), "127.0.0.2", 6015);
    // An ID nobody has.
    peer.send(textRequest("c", 0x00A0000000000099ULL, 3), "127.0.0.2", 6015);
    // By broadcast, the frame is found by its ID among all frames.
    peer.send(textRequest("d", 0x0012AB3400000001ULL, 4), "255.255.255.255", 6015);
    peer.send(textRequest("e", FIRST_FRAME_ID, FENCE), "127.0.0.2", 6015);
    const auto answers = answersBefore(peer, FENCE);
    ASSERT_EQ(answers.size(), 2U);
    EXPECT_EQ(headerOf(answers[0].bytes).sequence, 1U);
    EXPECT_EQ(headerOf(answers[0].bytes).sourceId, SECOND_FRAME_ID);
    EXPECT_EQ(answers[0].from, "127.0.0.2");
    EXPECT_EQ(headerOf(answers[1].bytes).sequence, 4U);
    EXPECT_EQ(headerOf(answers[1].bytes).command, Morv::CMD_Ack);
    EXPECT_EQ(answers[1].from, "127.0.0.9");
}

TEST(KivframeFault, ReplyNoneAnswersDiscoveryButNoRequest)
{
    Emulator emulator({"--frames", "1", "--pace", "0", "--frame", "reply=none"});
    UdpPeer peer("127.0.0.1", 6004);
    peer.send(textRequest("Dev.Power=1", SECOND_FRAME_ID, 1), "127.0.0.3", 6015);
    peer.send(textRequest("M?", SECOND_FRAME_ID, 2), "127.0.0.3", 6015);
    peer.send(discoveryRequest(3), "127.0.0.3", 6015);
    peer.send(textRequest("Dev.Power=1", FIRST_FRAME_ID, FENCE), "127.0.0.2", 6015);
    const auto answers = answersBefore(peer, FENCE);
    ASSERT_EQ(answers.size(), 1U);
    EXPECT_EQ(headerOf(answers[0].bytes).command, Morv::CMD_BroadcastID);
}

namespace {
// The sequence numbers of the requests 1..count that the dropping frame answered.
std::vector<std::uint32_t> answeredWithDrop(const std::string& seed)
{
    Emulator emulator({"--frames", "1", "--seed", seed, "--frame", "drop=0.5"});
    UdpPeer peer("127.0.0.1", 6004);
    for (std::uint32_t seq = 1; seq <= 40; ++seq)
        peer.send(textRequest("Dev.Power=1", SECOND_FRAME_ID, seq), "127.0.0.3", 6015);
    peer.send(textRequest("Dev.Power=1", FIRST_FRAME_ID, FENCE), "127.0.0.2", 6015);
    std::vector<std::uint32_t> answered;
    for (const auto& a : answersBefore(peer, FENCE))
        answered.push_back(headerOf(a.bytes).sequence);
    return answered;
}
} // namespace

TEST(KivframeFault, DropFollowsTheSeedRepeatably)
{
    const auto first = answeredWithDrop("7");
    EXPECT_GT(first.size(), 5U);
    EXPECT_LT(first.size(), 35U);
    EXPECT_EQ(answeredWithDrop("7"), first);
    EXPECT_NE(answeredWithDrop("8"), first);
}

TEST(KivframeFault, DropOneAndDropDiscoveryOneSilenceTheirKindOfAnswer)
{
    Emulator emulator({"--frames", "1", "--pace", "0", "--frame", "drop=1", "--frame", "drop-discovery=1"});
    UdpPeer peer("127.0.0.1", 6004);
    for (const char* address : {"127.0.0.3", "127.0.0.4"})
        peer.send(discoveryRequest(1), address, 6015);
    peer.send(textRequest("Dev.Power=1", SECOND_FRAME_ID, 2), "127.0.0.3", 6015);
    peer.send(textRequest("Dev.Power=1", 0x00A0000000000003ULL, 3), "127.0.0.4", 6015);
    peer.send(textRequest("Dev.Power=1", FIRST_FRAME_ID, FENCE), "127.0.0.2", 6015);
    const auto answers = answersBefore(peer, FENCE);
    ASSERT_EQ(answers.size(), 2U);
    EXPECT_EQ(answers[0].from, "127.0.0.3");
    EXPECT_EQ(headerOf(answers[0].bytes).command, Morv::CMD_BroadcastID);
    EXPECT_EQ(answers[1].from, "127.0.0.4");
    EXPECT_EQ(headerOf(answers[1].bytes).command, Morv::CMD_Ack);
    const auto summary = emulator.stop().err;
    EXPECT_NE(summary.find("2 dropped"), std::string::npos) << summary;
}

TEST(KivframeFault, DuplicateSendsEveryAnswerNMoreTimes)
{
    Emulator emulator({"--frames", "1", "--pace", "0", "--frame", "duplicate=2"});
    UdpPeer peer("127.0.0.1", 6004);
    peer.send(discoveryRequest(1), "127.0.0.3", 6015);
    peer.send(textRequest("Dev.Power=1", SECOND_FRAME_ID, 2), "127.0.0.3", 6015);
    peer.send(textRequest("Dev.Power=1", FIRST_FRAME_ID, FENCE), "127.0.0.2", 6015);
    const auto answers = answersBefore(peer, FENCE);
    ASSERT_EQ(answers.size(), 6U);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(answers[i].bytes, answers[0].bytes);
        EXPECT_EQ(answers[3 + i].bytes, answers[3].bytes);
    }
    EXPECT_EQ(headerOf(answers[0].bytes).command, Morv::CMD_BroadcastID);
    EXPECT_EQ(headerOf(answers[3].bytes).command, Morv::CMD_Ack);
    const auto summary = emulator.stop().err;
    EXPECT_NE(summary.find("7 answers sent, 0 dropped, 4 duplicated"), std::string::npos) << summary;
}

// Transmissions are counted per sequence number: a retransmission with the
// same number counts, a new number starts again at one.
TEST(KivframeFault, AnswerFromAnswersOnlyFromTheNthTransmission)
{
    Emulator emulator({"--frames", "1", "--frame", "answer-from=3"});
    UdpPeer peer("127.0.0.1", 6004);
    std::vector<std::size_t> answersPerTransmission;
    std::uint32_t fence = FENCE;
    const auto transmit = [&](std::uint32_t seq) {
        peer.send(textRequest("Dev.Power=1", SECOND_FRAME_ID, seq), "127.0.0.3", 6015);
        peer.send(textRequest("Dev.Power=1", FIRST_FRAME_ID, ++fence), "127.0.0.2", 6015);
        answersPerTransmission.push_back(answersBefore(peer, fence).size());
    };
    for (int i = 0; i < 4; ++i)
        transmit(50);
    transmit(51);
    transmit(51);
    transmit(50);
    EXPECT_EQ(answersPerTransmission, (std::vector<std::size_t>{0, 0, 1, 1, 0, 0, 1}));
}

TEST(KivframeFault, DiscoveryFromAnswersOnlyFromTheNthRequestHeard)
{
    Emulator emulator({"--frames", "1", "--pace", "0", "--frame", "discovery-from=3"});
    UdpPeer peer("127.0.0.1", 6004);
    std::vector<std::size_t> fromTarget;
    for (std::uint32_t round = 1; round <= 4; ++round) {
        peer.send(discoveryRequest(round), "255.255.255.255", 6015);
        peer.send(textRequest("Dev.Power=1", FIRST_FRAME_ID, FENCE + round), "127.0.0.2", 6015);
        std::size_t count = 0;
        for (const auto& a : answersBefore(peer, FENCE + round))
            count += a.from == "127.0.0.3" ? 1 : 0;
        fromTarget.push_back(count);
    }
    EXPECT_EQ(fromTarget, (std::vector<std::size_t>{0, 0, 1, 1}));
}

TEST(KivframeFault, WrongSequenceAddsOneToEveryAnswer)
{
    Emulator emulator({"--frames", "1", "--pace", "0", "--frame", "wrong-sequence=1"});
    UdpPeer peer("127.0.0.1", 6004);
    peer.send(discoveryRequest(100), "127.0.0.3", 6015);
    peer.send(textRequest("Dev.Power=1", SECOND_FRAME_ID, 200), "127.0.0.3", 6015);
    peer.send(textRequest("Dev.Power=1", FIRST_FRAME_ID, FENCE), "127.0.0.2", 6015);
    const auto answers = answersBefore(peer, FENCE);
    ASSERT_EQ(answers.size(), 2U);
    EXPECT_EQ(headerOf(answers[0].bytes).sequence, 101U);
    EXPECT_EQ(headerOf(answers[1].bytes).sequence, 201U);
    for (const auto& a : answers)
        EXPECT_TRUE(Morv::checksumValid(chars(a.bytes), a.bytes.size()));
}

namespace {
struct MalformedCase {
    const char* kind;
    std::size_t size;
    std::function<void(const std::vector<unsigned char>&)> check;
};
void PrintTo(const MalformedCase& c, std::ostream* os) { *os << c.kind; }
class KivframeMalformed : public testing::TestWithParam<MalformedCase> {};
} // namespace

TEST_P(KivframeMalformed, SpoilsAnswersToRequestsButNotDiscovery)
{
    const MalformedCase& c = GetParam();
    Emulator emulator({"--frames", "1", "--pace", "0", "--frame", std::string("malformed=") + c.kind});
    UdpPeer peer("127.0.0.1", 6004);
    peer.send(discoveryRequest(1), "127.0.0.3", 6015);
    peer.send(textRequest("Dev.Power=1", SECOND_FRAME_ID, 2), "127.0.0.3", 6015);
    peer.send(textRequest("Dev.Power=1", FIRST_FRAME_ID, FENCE), "127.0.0.2", 6015);
    const auto answers = answersBefore(peer, FENCE);
    ASSERT_EQ(answers.size(), 2U);
    EXPECT_EQ(answers[0].bytes.size(), 100U);
    EXPECT_TRUE(Morv::checksumValid(chars(answers[0].bytes), 100));
    ASSERT_EQ(answers[1].bytes.size(), c.size);
    c.check(answers[1].bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, KivframeMalformed,
    testing::Values(MalformedCase{"length", 36,
                                  [](const std::vector<unsigned char>& b) {
                                      EXPECT_EQ(headerOf(b).length, 40);
                                      EXPECT_EQ(headerOf(b).command, Morv::CMD_Ack);
                                  }},
                    MalformedCase{"short", 20,
                                  [](const std::vector<unsigned char>& b) {
                                      EXPECT_EQ(Morv::loadId(chars(b), 0), SECOND_FRAME_ID);
                                      EXPECT_EQ(Morv::loadU16(chars(b), 16), Morv::NODE_TYPE_FRAME);
                                  }},
                    MalformedCase{"command", 36,
                                  [](const std::vector<unsigned char>& b) {
                                      EXPECT_EQ(headerOf(b).command, Morv::CMD_BroadcastID);
                                      EXPECT_EQ(headerOf(b).sequence, 2U);
                                      EXPECT_TRUE(Morv::checksumValid(chars(b), b.size()));
                                  }}),
    [](const testing::TestParamInfo<MalformedCase>& info) { return std::string(info.param.kind); });

TEST(KivframeFault, BroadcastRepliesGoToTheLimitedBroadcastAddress)
{
    Emulator emulator({"--frames", "1", "--pace", "0", "--broadcast-replies"});
    // Only sockets bound to the wildcard address receive broadcasts.
    UdpPeer controllerPort("0.0.0.0", 6004);
    UdpPeer dynamic("0.0.0.0", 0);
    UdpPeer sender("127.0.0.1", 0);
    sender.send(discoveryRequest(1), "255.255.255.255", 6015);
    sender.send(textRequest("Dev.Power=1", FIRST_FRAME_ID, 2), "127.0.0.2", 6015);
    dynamic.send(textRequest("Dev.Power=1", FIRST_FRAME_ID, 3), "127.0.0.2", 6016);

    const auto fixed = controllerPort.receive(2, 5s);
    ASSERT_EQ(fixed.size(), 2U);
    const auto toDynamic = dynamic.receive(3s);
    ASSERT_TRUE(toDynamic);
    for (const auto& d : {fixed[0], fixed[1], *toDynamic}) {
        EXPECT_EQ(d.to, "255.255.255.255");
        EXPECT_EQ(d.from, "127.0.0.2");
    }
    EXPECT_EQ(toDynamic->fromPort, 6016);
    EXPECT_EQ(headerOf(toDynamic->bytes).sequence, 3U);
}

// Timing is read from the emulator's own log and only bounded from below:
// an answer may be late on a busy machine, never early.
TEST(KivframeFault, DelayAndJitterHoldAnswersBack)
{
    Emulator emulator({"--frames", "1", "--delay", "120", "--jitter", "50", "--pace", "0"});
    UdpPeer peer("127.0.0.1", 6004);
    for (std::uint32_t seq = 1; seq <= 5; ++seq)
        peer.send(textRequest("Dev.Power=1", FIRST_FRAME_ID, seq), "127.0.0.2", 6015);
    ASSERT_EQ(peer.receive(5, 10s).size(), 5U);
    emulator.stop();
    std::map<long long, std::int64_t> received;
    std::size_t sent = 0;
    for (const auto& e : emulator.log()) {
        if (e.dir == "rx")
            received[e.seq] = e.tUs;
        if (e.dir == "tx") {
            ++sent;
            ASSERT_TRUE(received.count(e.seq));
            EXPECT_GE(e.tUs - received[e.seq], 120000) << "seq " << e.seq;
        }
    }
    EXPECT_EQ(sent, 5U);
}

TEST(KivframeFault, PacingSpacesDiscoveryAnswersInFrameOrder)
{
    constexpr int FRAMES = 30;
    constexpr int PACE_US = 2000;
    Emulator emulator({"--frames", std::to_string(FRAMES), "--pace", std::to_string(PACE_US)});
    UdpPeer peer("127.0.0.1", 6004);
    peer.send(discoveryRequest(1), "255.255.255.255", 6015);
    ASSERT_EQ(peer.receive(FRAMES, 10s).size(), static_cast<std::size_t>(FRAMES));
    emulator.stop();
    std::vector<kivtest::LogEntry> sent;
    for (const auto& e : emulator.log())
        if (e.dir == "tx")
            sent.push_back(e);
    ASSERT_EQ(sent.size(), static_cast<std::size_t>(FRAMES));
    for (int i = 0; i < FRAMES; ++i)
        EXPECT_EQ(sent[i].frame, idText(FIRST_FRAME_ID + i));
    // Up to four answers may leave together after a late wake-up, never more;
    // one pace more of slack covers the time the first send itself takes.
    EXPECT_GE(sent.back().tUs - sent.front().tUs, (FRAMES - 5) * PACE_US);
}
