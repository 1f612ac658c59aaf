#pragma once

#include "Morv/CongestionController.h"
#include "Morv/FrameList.h"
#include "Morv/Heart.h"
#include "Morv/Message.h"
#include "Morv/NetworkType.h"
#include "Morv/TimeoutBehavior.h"
#include "Morv/Types.h"
#include "Network/Enumerator.h"
#include "Network/Server.h"
#include "common/Executor.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <shared_mutex>
#include <string>
#include <vector>

namespace Morv {

// The request engine: binds the UDP server on one interface, keeps discovery
// going, and delivers messages to frames with retransmissions under a
// congestion window, reporting each accepted request exactly once.
//
// Threads: send, setTimeoutBehavior, frameIds and frameInfo are called from
// the owner's thread. Response handlers run on the server's workers (Success),
// on the frame list's executor (TimedOut), on the retransmission or congestion
// threads, or inside send itself (TransmissionFailed of a first transmission).
// Once destruction has begun no handler is called any more.
class MorvNetwork {
public:
    // When the heartbeat starts: at once, or when startDiscovery is called,
    // so that a subscriber to the frame list's events misses no frame.
    enum class Discovery { StartNow, StartLater };

    // `networkType` is not owned and must outlive the engine. Throws what the
    // adapter enumeration and the server throw, and CouldNotCreateListenerException
    // for an address that is not IPv4 (frames speak IPv4 only). Requests and
    // discovery broadcasts leave through the server, or through `sendThrough`
    // when one is given (tests use it to make transmissions fail or stall); it
    // must outlive the engine.
    MorvNetwork(const NetworkType& networkType, const std::string& localAddress,
                Network::DatagramSender* sendThrough = nullptr, Discovery discovery = Discovery::StartNow);
    ~MorvNetwork();
    MorvNetwork(const MorvNetwork&) = delete;
    MorvNetwork& operator=(const MorvNetwork&) = delete;

    // Starts the heartbeat, whose first broadcast goes out at once; only with
    // Discovery::StartLater, and once.
    void startDiscovery();

    Event<void(std::uint64_t)>& onFrameFound() { return frameList->onFrameFound; }
    Event<void(std::uint64_t)>& onFrameLost() { return frameList->onFrameLost; }
    Event<void(std::uint64_t)>& onFrameChanged() { return frameList->onFrameChanged; }
    Event<void(std::uint64_t, const Command<MSG_CmdHdr>&)>& onMessage() { return frameList->onMessage; }

    // Sends `message` (its checksum is written) to a frame. False, and no
    // handler call, when the frame has no destination or the engine is
    // stopping; true promises exactly one later handler call. A null behaviour
    // means the current default. The caller may destroy the message at once.
    // A trace, when given, counts the request's transmissions and times the first.
    bool send(std::uint64_t frameId, Message& message, ResponseHandler handler,
              const TimeoutBehavior* behavior = nullptr, std::shared_ptr<RequestTrace> trace = nullptr);

    // Replaces the default behaviour; only while no request is in flight.
    void setTimeoutBehavior(std::shared_ptr<TimeoutBehavior> behavior);

    std::vector<std::uint64_t> frameIds() const { return frameList->frameIds(); }
    FrameInfo frameInfo(std::uint64_t frameId) const { return frameList->frameInfo(frameId); }
    bool findDestination(std::uint64_t frameId, Destination& destination) const
    {
        return frameList->findDestination(frameId, destination);
    }
    std::uint64_t droppedFrom(std::uint32_t address) const { return frameList->droppedFrom(address); }
    const Network::Server& getServer() const { return *server; }
    Network::Server& getServer() { return *server; }
    std::uint64_t getOwnId() const { return ownId; }

    // Window state, for tests.
    const CongestionController& congestionController() const { return congestion; }

private:
    struct Request;
    void transmit(std::shared_ptr<Request> request, unsigned timeoutMs);
    void attemptDone(const std::shared_ptr<Request>& request, const char* bytes, unsigned length, ErrorCode code);
    void retransmit(const std::shared_ptr<Request>& request);
    void finish(const Request& request, ErrorCode code);
    // The shutdown, for the destructor and for a constructor that fails half way.
    void stop();

    // Declaration order is destruction order in reverse: the threads that may
    // still run engine code (retransmissions, then waiting sends) are joined
    // before anything they use goes, and the handler gate goes last.
    const NetworkType* networkType;
    std::atomic<bool> running{false};
    // Held shared by every handler call, exclusively while `running` is
    // cleared: once the destructor has cleared it, no handler runs any more.
    std::shared_mutex handlerGate;
    Network::Enumerator enumerator;
    std::shared_ptr<Network::Server> server;
    std::shared_ptr<FrameList> frameList;
    std::shared_ptr<Heart> heart;
    Network::DatagramSender* sender = nullptr; // the server, or the tests' sendThrough
    std::uint64_t ownId = 0;
    std::uint16_t nodeType = 0;
    std::shared_ptr<TimeoutBehavior> defaultBehavior;
    CongestionController congestion;
    Executor callbackExecutor;
};

} // namespace Morv
