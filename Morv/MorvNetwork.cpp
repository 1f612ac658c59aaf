#include "Morv/MorvNetwork.h"

#include "common/Platform.h"

#include <chrono>

namespace Morv {

// The state of one request, carried from attempt to attempt.
struct MorvNetwork::Request {
    int attempt = 0;
    ResponseHandler handler;
    Destination destination;
    std::shared_ptr<const Message> message;
    bool windowed = false;
    const TimeoutBehavior* behavior = nullptr;
    std::shared_ptr<RequestTrace> trace;

    std::uint32_t size() const { return static_cast<std::uint32_t>(message->size()); }
};

MorvNetwork::MorvNetwork(const NetworkType& type, const std::string& localAddress,
                         Network::DatagramSender* sendThrough, Discovery discovery)
    : networkType(&type), defaultBehavior(std::make_shared<StandardTimeoutBehavior>())
{
    enumerator.load();
    running = true;
    const std::uint32_t low = Platform::tickCount();
    const std::uint32_t high = Platform::tickCount();
    ownId = (static_cast<std::uint64_t>(high) << 32) | low;
    nodeType = networkType->nodeType();

    try {
        server = std::make_shared<Network::Server>(engineRemotePort(*networkType), localAddress,
                                                   engineLocalPort(*networkType));
        // Frames are reached by IPv4 unicast and broadcast only.
        if (server->localAddress() == 0xFFFFFFFFU)
            throw Network::CouldNotCreateListenerException("Morv/MorvNetwork", __LINE__,
                                                           "Address family not supported by protocol");
        sender = sendThrough != nullptr ? sendThrough : server.get();
        frameList = std::make_shared<FrameList>(*networkType, *sender);
        server->addHandler(frameList.get());
        if (discovery == Discovery::StartNow)
            startDiscovery();
    } catch (...) {
        // The members go in reverse order after this; what is registered or
        // running must be stopped first, in the one order of a shutdown.
        stop();
        throw;
    }
}

void MorvNetwork::startDiscovery()
{
    if (!heart)
        heart = std::make_shared<Heart>(*sender, ownId, nodeType);
}

MorvNetwork::~MorvNetwork() { stop(); }

void MorvNetwork::stop()
{
    // 1. From here on no handler is called; wait for those already running.
    {
        std::unique_lock<std::shared_mutex> gate(handlerGate);
        running = false;
    }
    // 2. Queued and waiting sends are dropped.
    congestion.disable();
    // 3. Every thread that can still reach the socket stops before the server
    //    goes: the congestion controller's (waiting first transmissions) and
    //    the retransmission thread. A send in progress finishes first; queued
    //    retransmissions are discarded.
    congestion.stop();
    callbackExecutor.stop();
    // 4. No more discovery broadcasts.
    heart.reset();
    // 5. and 6. No more datagrams: unregister, then close the socket and join
    //    the workers. The frame list's own threads never send.
    if (server && frameList)
        server->removeHandler(frameList.get());
    server.reset();
    // The remaining members go in reverse order of declaration: the
    // retransmission thread and the congestion controller (both stopped
    // already), the default behaviour, the frame list (its threads stopped),
    // the adapter list.
}

void MorvNetwork::setTimeoutBehavior(std::shared_ptr<TimeoutBehavior> behavior)
{
    defaultBehavior = std::move(behavior);
}

bool MorvNetwork::send(std::uint64_t frameId, Message& message, ResponseHandler handler,
                       const TimeoutBehavior* behavior, std::shared_ptr<RequestTrace> trace)
{
    Destination destination;
    if (!running || !frameList->findDestination(frameId, destination))
        return false;
    auto& bytes = message.bytes();
    if (bytes.size() < HEADER_SIZE)
        return false;
    storeChecksum(bytes.data(), bytes.size());

    auto request = std::make_shared<Request>();
    request->handler = std::move(handler);
    request->destination = destination;
    request->message = std::make_shared<const Message>(message);
    request->windowed = loadU32(bytes.data(), OFFSET_SEQUENCE) != 0;
    request->behavior = behavior != nullptr ? behavior : defaultBehavior.get();
    request->trace = std::move(trace);

    const unsigned firstTimeout = static_cast<unsigned>(request->behavior->initialTimeout());
    if (!request->windowed) {
        transmit(request, firstTimeout);
        return true;
    }
    return congestion.submit(
        request->size(), [this, request, firstTimeout] { transmit(request, firstTimeout); },
        [this, request] { finish(*request, TimedOut); });
}

void MorvNetwork::transmit(std::shared_ptr<Request> request, unsigned timeoutMs)
{
    if (!running)
        return;
    const auto& bytes = request->message->bytes();
    auto completion = [this, request](const char* response, unsigned length, ErrorCode code) {
        attemptDone(request, response, length, code);
    };
    if (request->trace) {
        std::int64_t none = -1;
        const auto now = std::chrono::duration_cast<std::chrono::microseconds>(
                             std::chrono::steady_clock::now().time_since_epoch())
                             .count();
        request->trace->firstTransmissionUs.compare_exchange_strong(none, now);
        ++request->trace->transmissions;
    }
    if (frameList->sendRequest(request->destination, bytes.data(), bytes.data() + bytes.size(), timeoutMs,
                               std::move(completion)))
        return;
    // Never reached the network: the bytes leave the window as if answered.
    if (request->windowed)
        congestion.onAck(request->size());
    finish(*request, TransmissionFailed);
}

void MorvNetwork::attemptDone(const std::shared_ptr<Request>& request, const char* bytes, unsigned length,
                              ErrorCode code)
{
    std::shared_lock<std::shared_mutex> gate(handlerGate);
    if (!running)
        return;
    if (code == Success) {
        if (request->windowed)
            congestion.onAck(request->size());
        request->handler(request->destination.frameId, bytes, length, Success);
        return;
    }
    if (request->windowed)
        congestion.onLoss(request->size());
    const int next = request->attempt + 1;
    if (next == request->behavior->maxAttempts()) {
        request->handler(request->destination.frameId, nullptr, 0, TimedOut);
        return;
    }
    // Each attempt's completion runs once, so the state can move on in place.
    request->attempt = next;
    callbackExecutor.post([this, request] { retransmit(request); });
}

void MorvNetwork::retransmit(const std::shared_ptr<Request>& request)
{
    if (!running)
        return;
    if (request->windowed) {
        try {
            if (!congestion.tryAcquire(request->size()))
                return;
        } catch (const CongestionWaitTimeoutException&) {
            finish(*request, TimedOut);
            return;
        }
    }
    transmit(request, static_cast<unsigned>(request->behavior->retryTimeout(request->attempt)));
}

void MorvNetwork::finish(const Request& request, ErrorCode code)
{
    std::shared_lock<std::shared_mutex> gate(handlerGate);
    if (running)
        request.handler(request.destination.frameId, nullptr, 0, code);
}

} // namespace Morv
