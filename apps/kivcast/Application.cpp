#include "apps/kivcast/Application.h"

#include "Morv/Message.h"
#include "Morv/Wire.h"
#include "apps/kivcast/Report.h"
#include "apps/kivcast/SlowTimeoutBehavior.h"
#include "common/Platform.h"

#include <chrono>
#include <thread>

using namespace Morv;

namespace {
constexpr unsigned POWER_ON_PAUSE_MS = 100;

bool startsWith(const std::string& text, const char* prefix)
{
    return text.rfind(prefix, 0) == 0;
}
} // namespace

Application::Application(const std::string& networkAddress, bool dynamicPorts, std::uint64_t targetFrameId,
                         Console::Writer& console, const BeforeDiscovery& beforeDiscovery, RunScope scope,
                         Reporter* reporter)
    : console_(console),
      ownReporter_(reporter == nullptr ? makeTextReporter(console, nullptr) : nullptr),
      reporter_(reporter == nullptr ? *ownReporter_ : *reporter),
      scope_(std::move(scope)),
      targetFrameId(targetFrameId),
      kivNetworkType(dynamicPorts, &pyxNetworkType)
{
    // The heartbeat starts only once both handlers are subscribed: every frame
    // is reported by the events, in the order the frame list learnt of it, and
    // the first frame to answer at an address owns it.
    network.emplace(kivNetworkType, networkAddress, nullptr, MorvNetwork::Discovery::StartLater);
    const Network::Server& server = network->getServer();
    reporter_.discovering(server.localAddress(), server.localPort(), scope_.message);
    const auto foundToken = network->onFrameFound().subscribe([this](std::uint64_t id) { frameFound(id); });
    const auto lostToken = network->onFrameLost().subscribe([this](std::uint64_t id) { frameLost(id); });
    // Frames that answered someone else's discovery before the subscription
    // (frameFound skips a frame it has recorded already).
    for (const std::uint64_t id : network->frameIds())
        frameFound(id);
    if (beforeDiscovery)
        beforeDiscovery(*network);
    network->startDiscovery();

    if (targetFrameId != 0) {
        std::unique_lock<std::mutex> lock(namedFrameMutex);
        if (!namedFrameFound.wait_for(lock, scope_.discovery, [this] { return namedFrameSeen; }))
            console_.err("Frame discovery timed out, frame not found!\n");
    } else if (!scope_.expected.empty()) {
        // A known rig is ready as soon as every frame of it has answered.
        std::unique_lock<std::mutex> lock(namedFrameMutex);
        namedFrameFound.wait_for(lock, scope_.discovery, [this] { return expectedSeen == scope_.expected.size(); });
    } else {
        std::this_thread::sleep_for(scope_.discovery);
    }
    {
        // A "Found" line being printed right now is finished first; none follows.
        std::lock_guard<std::mutex> frames(framesMutex);
        discovering = false;
        for (const std::uint64_t id : scope_.expected)
            if (foundFrames.count(id) == 0)
                missing.push_back(id);
    }
    reporter_.discoveryOver();
    reporter_.missing(missing);
    // The subscription tokens go here: frames that appear from now on are
    // neither printed nor recorded, although the engine still sends to them.
}

Application::~Application()
{
    {
        std::lock_guard<std::mutex> lock(framesMutex);
        foundFrames.clear();
    }
    network.reset();
}

bool Application::selected(std::uint64_t frameId) const
{
    if (targetFrameId != 0 && frameId != targetFrameId)
        return false;
    if (!scope_.only.empty() && scope_.only.count(frameId) == 0)
        return false;
    return scope_.excluded.count(frameId) == 0;
}

void Application::frameFound(std::uint64_t frameId)
{
    if (!selected(frameId))
        return;
    std::lock_guard<std::mutex> frames(framesMutex);
    if (!discovering || foundFrames.count(frameId) != 0)
        return;
    foundFrames.emplace(frameId, static_cast<std::int32_t>(foundFrames.size()));

    try {
        const FrameInfo info = network->frameInfo(frameId);
        bool duplicate = false;
        {
            std::lock_guard<std::mutex> addresses(addressMutex);
            frameAddresses[frameId] = info.address;
            const auto owner = addressOwners.find(info.address);
            if (owner != addressOwners.end() && owner->second != frameId)
                duplicate = true;
            else
                addressOwners[info.address] = frameId;
        }
        reporter_.found({static_cast<int>(foundFrames.size()), frameId, info.address, duplicate});
    } catch (const UnknownFrameIdException&) {
        // Gone again before it could be looked up: counted, printed nowhere.
    }

    const bool expected = scope_.expected.count(frameId) != 0;
    if (targetFrameId != 0 || expected) {
        {
            std::lock_guard<std::mutex> named(namedFrameMutex);
            namedFrameSeen = true;
            if (expected)
                ++expectedSeen;
        }
        namedFrameFound.notify_all();
    }
}

void Application::frameLost(std::uint64_t frameId)
{
    std::lock_guard<std::mutex> frames(framesMutex);
    foundFrames.erase(frameId);
}

std::size_t Application::framesFound()
{
    std::lock_guard<std::mutex> addresses(addressMutex);
    return frameAddresses.size();
}

int Application::sendMessage(const std::string& text)
{
    messageText = text;
    if (startsWith(text, "Dev.Power") || startsWith(text, "Dev.Reset") || startsWith(text, "Dev.Preset.Recall"))
        network->setTimeoutBehavior(std::make_shared<SlowTimeoutBehavior>());
    const unsigned pauseMs = startsWith(text, "Dev.Power=1") ? POWER_ON_PAUSE_MS : 0;

    const std::vector<std::uint64_t> ids = network->frameIds();
    int accepted = 0;
    for (const std::uint64_t id : ids) {
        if (!selected(id))
            continue;
        try {
            const FrameInfo info = network->frameInfo(id);
            KivMessage message(text, sourceId, kivNetworkType.nodeType(), info.frameId, info.nodeType);
            // Registered before the send: its handler may run inside it.
            const std::uint32_t request = requestsStarted++;
            Pending pending;
            pending.frameId = info.frameId;
            pending.trace = std::make_shared<RequestTrace>();
            Destination destination;
            if (network->findDestination(info.frameId, destination))
                pending.address = destination.address;
            pending.dropsAtSend = network->droppedFrom(pending.address);
            {
                std::lock_guard<std::mutex> lock(unfinishedMutex);
                unfinished.emplace(request, pending);
            }
            const bool sent = network->send(
                info.frameId, message,
                [this, request](std::uint64_t frameId, const char* bytes, unsigned length, ErrorCode code) {
                    if (const auto taken = takeUnfinished(request))
                        handle(&*taken, frameId, bytes, length, code);
                },
                nullptr, pending.trace);
            if (sent) {
                ++accepted;
            } else {
                takeUnfinished(request);
                reportResult(info.frameId, "transmission failed");
            }
        } catch (const UnknownFrameIdException&) {
            reportResult(id, "transmission failed");
        }
        if (pauseMs != 0)
            Platform::sleepMs(pauseMs);
    }
    requestsAccepted = accepted;
    return accepted;
}

std::optional<Application::Pending> Application::takeUnfinished(std::uint32_t request)
{
    std::lock_guard<std::mutex> lock(unfinishedMutex);
    const auto it = unfinished.find(request);
    if (it == unfinished.end())
        return std::nullopt;
    Pending pending = std::move(it->second);
    unfinished.erase(it);
    return pending;
}

int Application::endUnfinishedRequests()
{
    std::map<std::uint32_t, Pending> ended;
    {
        std::lock_guard<std::mutex> lock(unfinishedMutex);
        ended.swap(unfinished);
    }
    const ResponseReport timedOut = endedWithout(Outcome::TimedOut);
    for (const auto& [request, pending] : ended) {
        report(pending.frameId, timedOut, &pending);
        ++requestsCompleted;
    }
    // A handler that took its request just before has its line still to hand
    // over; it is done when it counts its request as completed.
    constexpr int MAX_POLLS = 1000;
    for (int poll = 0; poll < MAX_POLLS && requestsCompleted < requestsAccepted; ++poll)
        Platform::sleepMs(1);
    return static_cast<int>(ended.size());
}

void Application::handleResponse(std::uint64_t frameId, const char* bytes, unsigned length, ErrorCode code)
{
    handle(nullptr, frameId, bytes, length, code);
}

void Application::handle(const Pending* pending, std::uint64_t frameId, const char* bytes, unsigned length,
                         ErrorCode code)
{
    const ResponseReport classified = classifyResponse(bytes, length, code, messageText);
    if (classified.succeeded)
        ++messagesSucceeded;
    report(frameId, classified, pending, code == Success ? bytes : nullptr, code == Success ? length : 0);
    if (classified.received)
        ++responsesReceived;
    // Last: once the run flow sees every request completed, every line is handed over.
    ++requestsCompleted;
}

std::optional<std::uint32_t> Application::foundAddress(std::uint64_t frameId)
{
    std::lock_guard<std::mutex> lock(addressMutex);
    const auto it = frameAddresses.find(frameId);
    if (it == frameAddresses.end())
        return std::nullopt;
    return it->second;
}

void Application::reportResult(std::uint64_t frameId, const std::string& text)
{
    ResponseReport plain;
    plain.outcome = text == "transmission failed" ? Outcome::TransmissionFailed
                    : text == "timed out"         ? Outcome::TimedOut
                                                  : Outcome::UnknownError;
    plain.text = text;
    report(frameId, plain, nullptr);
}

void Application::reportMeterData(std::uint64_t frameId, int version, const std::string& text)
{
    ResponseReport meter;
    meter.outcome = Outcome::Meter;
    meter.meterVersion = version;
    meter.text = text;
    report(frameId, meter, nullptr);
}

void Application::report(std::uint64_t frameId, const ResponseReport& classified, const Pending* pending,
                         const char* bytes, unsigned length)
{
    ResultRecord record;
    record.frameId = frameId;
    record.address = foundAddress(frameId);
    record.report = &classified;
    if (pending != nullptr && pending->trace) {
        record.transmissions = pending->trace->transmissions;
        const std::int64_t first = pending->trace->firstTransmissionUs;
        if (first >= 0) {
            const auto now = std::chrono::duration_cast<std::chrono::microseconds>(
                                 std::chrono::steady_clock::now().time_since_epoch())
                                 .count();
            record.ms = static_cast<double>(now - first) / 1000.0;
        }
        if (classified.outcome == Outcome::TimedOut)
            record.dropped = network->droppedFrom(pending->address) - pending->dropsAtSend;
    }
    if (bytes != nullptr && length >= HEADER_SIZE) {
        // Matching is by sequence number alone: say so when another frame's datagram completed it.
        const std::uint64_t responder = readHeader(bytes).sourceId;
        const std::uint32_t source = FrameList::responseSource();
        const bool elsewhere = pending != nullptr && source != 0 && pending->address != 0 && source != pending->address;
        if (responder != frameId || elsewhere) {
            record.answeredBy = responder;
            if (source != 0)
                record.answeredByAddress = source;
        }
    }
    std::lock_guard<std::mutex> lock(outputMutex);
    record.number = ++resultLineCount;
    outcomes_[frameId] = classified.outcome;
    reporter_.result(record);
}

std::map<std::uint64_t, Outcome> Application::outcomes()
{
    std::lock_guard<std::mutex> lock(outputMutex);
    return outcomes_;
}
