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
constexpr auto DISCOVERY_TIME = std::chrono::milliseconds(3000);
constexpr unsigned POWER_ON_PAUSE_MS = 100;

bool startsWith(const std::string& text, const char* prefix)
{
    return text.rfind(prefix, 0) == 0;
}
} // namespace

Application::Application(const std::string& networkAddress, bool dynamicPorts, std::uint64_t targetFrameId,
                         Console::Writer& console, const BeforeDiscovery& beforeDiscovery)
    : console_(console), targetFrameId(targetFrameId), kivNetworkType(dynamicPorts, &pyxNetworkType)
{
    // The heartbeat starts only once both handlers are subscribed: every frame
    // is reported by the events, in the order the frame list learnt of it, and
    // the first frame to answer at an address owns it.
    network.emplace(kivNetworkType, networkAddress, nullptr, MorvNetwork::Discovery::StartLater);
    const Network::Server& server = network->getServer();
    console_.out(boost::format("Discovering frames on %s:%u...\n\n") % dottedAddress(server.localAddress()) %
                 server.localPort());
    const auto foundToken = network->onFrameFound().subscribe([this](std::uint64_t id) { frameFound(id); });
    const auto lostToken = network->onFrameLost().subscribe([this](std::uint64_t id) { frameLost(id); });
    // Frames that answered someone else's discovery before the subscription
    // (frameFound skips a frame it has recorded already).
    for (const std::uint64_t id : network->frameIds())
        frameFound(id);
    if (beforeDiscovery)
        beforeDiscovery(*network);
    network->startDiscovery();

    if (targetFrameId == 0) {
        std::this_thread::sleep_for(DISCOVERY_TIME);
    } else {
        std::unique_lock<std::mutex> lock(namedFrameMutex);
        if (!namedFrameFound.wait_for(lock, DISCOVERY_TIME, [this] { return namedFrameSeen; }))
            console_.err("Frame discovery timed out, frame not found!\n");
    }
    {
        // A "Found" line being printed right now is finished first; none follows.
        std::lock_guard<std::mutex> frames(framesMutex);
        discovering = false;
    }
    console_.out("\n");
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

void Application::frameFound(std::uint64_t frameId)
{
    if (targetFrameId != 0 && frameId != targetFrameId)
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
        const int n = static_cast<int>(foundFrames.size());
        if (duplicate)
            console_.out(boost::format("    %3i. Found %08x:%08x @ %s  %s\n") % n % idHigh(frameId) % idLow(frameId) %
                         dottedAddress(info.address) % "DUPLICATE IP FOUND!");
        else
            console_.out(boost::format("    %3i. Found %08x:%08x @ %s\n") % n % idHigh(frameId) % idLow(frameId) %
                         dottedAddress(info.address));
    } catch (const UnknownFrameIdException&) {
        // Gone again before it could be looked up: counted, printed nowhere.
    }

    if (targetFrameId != 0) {
        {
            std::lock_guard<std::mutex> named(namedFrameMutex);
            namedFrameSeen = true;
        }
        namedFrameFound.notify_all();
    }
}

void Application::frameLost(std::uint64_t frameId)
{
    std::lock_guard<std::mutex> frames(framesMutex);
    foundFrames.erase(frameId);
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
        if (targetFrameId != 0 && id != targetFrameId)
            continue;
        try {
            const FrameInfo info = network->frameInfo(id);
            KivMessage message(text, sourceId, kivNetworkType.nodeType(), info.frameId, info.nodeType);
            const bool sent = network->send(
                info.frameId, message,
                [this](std::uint64_t frameId, const char* bytes, unsigned length, ErrorCode code) {
                    handleResponse(frameId, bytes, length, code);
                });
            if (sent)
                ++accepted;
            else
                reportResult(info.frameId, "transmission failed");
        } catch (const UnknownFrameIdException&) {
            reportResult(id, "transmission failed");
        }
        if (pauseMs != 0)
            Platform::sleepMs(pauseMs);
    }
    return accepted;
}

void Application::handleResponse(std::uint64_t frameId, const char* bytes, unsigned length, ErrorCode code)
{
    const ResponseReport report = classifyResponse(bytes, length, code, messageText);
    if (report.succeeded)
        ++messagesSucceeded;
    if (report.meterVersion != 0)
        reportMeterData(frameId, report.meterVersion, report.text);
    else
        reportResult(frameId, report.text);
    if (report.received)
        ++responsesReceived;
    // Last: once the run flow sees every request completed, every line is handed over.
    ++requestsCompleted;
}

std::string Application::addressText(std::uint64_t frameId)
{
    std::lock_guard<std::mutex> lock(addressMutex);
    const auto it = frameAddresses.find(frameId);
    return it == frameAddresses.end() ? std::string("unknown") : dottedAddress(it->second);
}

void Application::reportResult(std::uint64_t frameId, const std::string& text)
{
    const std::string address = addressText(frameId);
    std::lock_guard<std::mutex> lock(outputMutex);
    ++resultLineCount;
    console_.out(resultLine(resultLineCount, frameId, address, text));
}

void Application::reportMeterData(std::uint64_t frameId, int version, const std::string& report)
{
    const std::string address = addressText(frameId);
    std::lock_guard<std::mutex> lock(outputMutex);
    ++resultLineCount;
    console_.out(meterTitleLine(resultLineCount, frameId, address, version) + report);
}
