#include "apps/kivprobe/Session.h"

#include "common/Platform.h"

namespace Probe {

namespace {

constexpr int SOCKET_ATTEMPTS = 4;
constexpr unsigned SOCKET_RETRY_PAUSE_MS = 250;

constexpr int SEARCH_PASSES = 300;
constexpr unsigned SEARCH_PASS_MS = 5;

constexpr int MESSAGE_TRIES = 3;
constexpr int POLLS_PER_TRY = 10;
constexpr unsigned POLL_PAUSE_MS = 100;

// The limited broadcast address, host byte order.
constexpr std::uint32_t BROADCAST_ADDRESS = 0xFFFFFFFFU;

} // namespace

bool Session::openSockets(const char* addressText)
{
    const auto address = parseInterfaceAddress(addressText);
    if (!address) {
        interfaceAddress_ = 0;
        return false;
    }
    interfaceAddress_ = *address;
    sockets_.close();
    for (int attempt = 0; attempt < SOCKET_ATTEMPTS; ++attempt) {
        if (sockets_.open(interfaceAddress_)) {
            sockets_.drain();
            return true;
        }
        Platform::sleepMs(SOCKET_RETRY_PAUSE_MS);
    }
    sockets_.close();
    interfaceAddress_ = 0;
    return false;
}

std::optional<Session::Received> Session::pollOnce()
{
    const auto datagram = sockets_.receive(buffer_.data(), buffer_.size());
    if (!datagram || datagram->otherInterface)
        return std::nullopt;
    const auto header = acceptDatagram(buffer_.data(), datagram->size, datagram->sender, interfaceAddress_, ownId_);
    if (!header)
        return std::nullopt;
    // An accepted datagram fits the buffer: its length field equals its size
    // and is at most RECEIVE_BUFFER_SIZE.
    return Received{*header, datagram->size, datagram->sender};
}

bool Session::findFrame(const std::string& wantedId)
{
    // Bound to all interfaces, the probe cannot tell its own broadcasts from a
    // frame's replies: it does not search.
    if (interfaceAddress_ == 0 || !sockets_.isOpen())
        return false;
    sockets_.drain();

    std::array<char, Morv::BROADCAST_ID_SIZE> request{};
    Morv::buildBroadcastIdRequest(request.data(), ownId_, Morv::NODE_TYPE_CONTROLLER, nextSequence());
    sockets_.drain();
    if (!sockets_.send(request.data(), request.size(), BROADCAST_ADDRESS))
        print("Error from sendto\n");

    for (int pass = 0; pass < SEARCH_PASSES; ++pass) {
        Platform::sleepMs(SEARCH_PASS_MS);
        const auto reply = pollOnce();
        if (!reply)
            continue;
        const auto frame = matchDiscoveryReply(buffer_.data(), reply->size, reply->header, wantedId);
        if (!frame)
            continue;
        frameId_ = frame->id;
        frameNodeType_ = frame->nodeType;
        frameAddress_ = reply->sender;
        print("Found " + paddedIdText(frameId_) + " (IP = " + dottedAddress(frameAddress_) + ")\n");
        return true;
    }
    print(wantedId + " was not found on the network!\n");
    return false;
}

bool Session::sendMessage(const std::string& text)
{
    const std::string field = textField(text);
    print("KIV msg is \"" + field + "\"\n\n");

    std::array<char, Morv::PROBE_TEXT_MESSAGE_SIZE> message{};
    const std::uint32_t sequence = nextSequence();
    buildTextMessage(message.data(), field, ownId_, frameId_, frameNodeType_, sequence);

    for (int attempt = 0; attempt < MESSAGE_TRIES; ++attempt) {
        sockets_.drain();
        if (!sockets_.send(message.data(), message.size(), frameAddress_)) {
            print("Error from sendto\n");
            Platform::sleepMs(POLL_PAUSE_MS);
            continue;
        }
        for (int poll = 0; poll < POLLS_PER_TRY; ++poll) {
            const auto reply = pollOnce();
            if (reply && isAnswer(reply->header, reply->size, sequence)) {
                const Outcome outcome = describeAnswer(buffer_.data(), reply->size, frameId_);
                print(outcome.line);
                return outcome.succeeded;
            }
            Platform::sleepMs(POLL_PAUSE_MS);
        }
    }
    print(paddedIdText(frameId_) + " did not respond\n");
    return false;
}

} // namespace Probe
