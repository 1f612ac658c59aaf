#include "apps/kivframe/RequestParser.h"

namespace KivFrame {

namespace {

using namespace Morv;

constexpr std::uint32_t LIMITED_BROADCAST = 0xFFFFFFFF;
constexpr std::uint32_t LOOPBACK_BROADCAST = 0x7FFFFFFF; // 127.255.255.255

bool isBroadcast(std::uint32_t address) { return address == LIMITED_BROADCAST || address == LOOPBACK_BROADCAST; }

} // namespace

ParsedRequest parseRequest(const FrameTable& frames, const char* bytes, std::size_t size, std::uint32_t peer,
                           std::uint32_t local)
{
    ParsedRequest request;
    const auto header = parseHeader(bytes, size);
    if (!header)
        return request;
    request.header = *header;

    // Our own answers come back when they are broadcast: a message from one of
    // our frames, sent from that frame's address, is no request.
    for (const auto index : frames.withId(header->sourceId))
        if (frames[index].address == peer) {
            request.kind = ParsedRequest::Kind::OwnAnswer;
            return request;
        }

    const bool broadcast = isBroadcast(local);
    if (header->command == CMD_BroadcastID && header->destinationId == DISCOVERY_ID) {
        request.kind = ParsedRequest::Kind::Discovery;
        if (broadcast) {
            request.frames.reserve(frames.size());
            for (std::size_t i = 0; i < frames.size(); ++i)
                request.frames.push_back(static_cast<std::uint32_t>(i));
            if (frames.size() > 0)
                request.logFrame = "*";
        } else {
            request.frames = frames.atAddress(local);
            if (request.frames.size() == 1)
                request.logFrame = idText(frames[request.frames.front()].id);
            else if (!request.frames.empty())
                request.logFrame = "*";
        }
        return request;
    }

    // Anything else is meant for the frames with its destination ID: among
    // those of the address it was sent to, or among all for a broadcast.
    for (const auto index : frames.withId(header->destinationId))
        if (broadcast || frames[index].address == local)
            request.frames.push_back(index);
    if (!request.frames.empty())
        request.logFrame = idText(frames[request.frames.front()].id);
    if (header->command != CMD_KivText) {
        request.kind = ParsedRequest::Kind::Other;
        request.frames.clear();
        return request;
    }
    request.kind = ParsedRequest::Kind::Text;
    request.text = std::string_view(bytes + OFFSET_BODY, boundedTextLength(bytes, size, OFFSET_BODY));
    return request;
}

} // namespace KivFrame
