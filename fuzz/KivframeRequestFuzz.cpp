// kivframe's request parser and answer builder, fed what any program on
// loopback may send. Input: one byte that picks the address the datagram was
// sent to, one that picks its sender, then the datagram.

#include "FuzzCheck.h"

#include "apps/kivframe/Answers.h"
#include "apps/kivframe/FrameTable.h"
#include "apps/kivframe/RequestParser.h"
#include "apps/kivframe/Settings.h"

#include <cstring>
#include <memory>
#include <string>
#include <vector>

using namespace KivFrame;

namespace {

// Frames that share addresses, and frames whose answers take every builder
// path: wrappers cut or empty, short and long Acks, texts up to the largest
// message, meter records, spoiled lengths and commands, odd sequence numbers.
const std::vector<std::string>& frameArguments()
{
    static const std::vector<std::string> args = {
        "kivframe", "--frames", "4", "--per-address", "2",
        "--frame", "id=00a00000:00000001,address=127.0.0.9,ext=1,ext-size=100,sequence=older",
        "--frame", "ext=1,ext-count=-1,malformed-discovery=length+1,to-discovery-id=1",
        "--frame", "reply=text,reply-text=" + std::string(32731, 't') + ",malformed=long",
        "--frame", "reply=meter,meter-version=3,malformed=length-1,sequence=zero",
        "--frame", "ack-size=29,malformed=command,malformed-discovery=short",
        "--frame", "reply=text,reply-text=,ack-size=32767,malformed=short",
        "--frame", "reply=none,ext=1,ext-size=32767,sequence=next",
    };
    return args;
}

struct Fixture {
    Options options;
    std::unique_ptr<FrameTable> frames;

    Fixture()
    {
        std::vector<const char*> argv;
        for (const auto& arg : frameArguments())
            argv.push_back(arg.c_str());
        options = parseCommandLine(static_cast<int>(argv.size()), argv.data());
        frames = std::make_unique<FrameTable>(options);
    }
};

// 127.255.255.255, 255.255.255.255, or 127.0.0.x.
std::uint32_t address(std::uint8_t pick)
{
    if (pick == 0xFF)
        return 0xFFFFFFFFU;
    if (pick == 0xFE)
        return 0x7FFFFFFFU;
    return 0x7F000000U | pick;
}

void checkAnswer(const Frame& frame, const Reply& reply, std::vector<char>& out)
{
    const std::size_t size = buildAnswer(frame, reply, out.data());
    FUZZ_CHECK(size >= 20 && size <= MAX_ANSWER_SIZE);
    FUZZ_CHECK(Morv::loadId(out.data(), Morv::OFFSET_SOURCE_ID) == frame.id);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const Fixture fixture;
    if (size < 2)
        return 0;
    const std::uint32_t local = address(data[0]);
    const std::uint32_t peer = address(data[1]);
    // The datagram in a buffer of its own size, so a read past it is caught.
    const std::vector<char> datagram(data + 2, data + size);
    const char* bytes = datagram.data();
    const std::size_t length = datagram.size();
    const FrameTable& frames = *fixture.frames;

    const ParsedRequest request = parseRequest(frames, bytes, length, peer, local);
    FUZZ_CHECK((request.kind == ParsedRequest::Kind::NotAMessage) == (length < Morv::HEADER_SIZE));
    FUZZ_CHECK(request.logFrame == "?" || request.logFrame == "*" || request.logFrame.size() == 17);
    for (const auto index : request.frames)
        FUZZ_CHECK(index < frames.size());
    const bool broadcast = local == 0xFFFFFFFFU || local == 0x7FFFFFFFU;

    std::vector<char> out(MAX_ANSWER_SIZE);
    switch (request.kind) {
    case ParsedRequest::Kind::NotAMessage:
    case ParsedRequest::Kind::OwnAnswer:
    case ParsedRequest::Kind::Other:
        FUZZ_CHECK(request.frames.empty());
        break;
    case ParsedRequest::Kind::Discovery:
        FUZZ_CHECK(request.header.destinationId == Morv::DISCOVERY_ID);
        FUZZ_CHECK(request.frames.size() == (broadcast ? frames.size() : frames.atAddress(local).size()));
        for (const auto index : request.frames) {
            Reply reply;
            reply.kind = AnswerKind::Discovery;
            reply.requestSequence = request.header.sequence;
            reply.earlierSequence = request.header.sequence - 1;
            reply.requesterId = request.header.sourceId;
            checkAnswer(frames[index], reply, out);
        }
        break;
    case ParsedRequest::Kind::Text: {
        // The text lies within the datagram's body and stops at its NUL.
        FUZZ_CHECK(request.text.data() == bytes + Morv::OFFSET_BODY);
        FUZZ_CHECK(Morv::OFFSET_BODY + request.text.size() <= length);
        FUZZ_CHECK(request.text.find('\0') == std::string_view::npos);
        for (const auto index : request.frames) {
            const Frame& frame = frames[index];
            FUZZ_CHECK(frame.id == request.header.destinationId);
            FUZZ_CHECK(broadcast || frame.address == local);
            if (auto reply = replyToText(*frame.settings, request.text)) {
                FUZZ_CHECK(reply->meterVersion >= 1 && reply->meterVersion <= 3);
                reply->requestSequence = request.header.sequence;
                reply->requesterId = request.header.sourceId;
                checkAnswer(frame, *reply, out);
            }
        }
        break;
    }
    }
    return 0;
}
