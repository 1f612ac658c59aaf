#include "apps/kivcast/Application.h"

#include "Morv/Message.h"
#include "Morv/Wire.h"
#include "apps/kivcast/Console.h"
#include "apps/kivcast/MeterData.h"
#include "apps/kivcast/SlowTimeoutBehavior.h"
#include "common/Platform.h"
#include "common/TextEscape.h"

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

std::string dottedAddress(std::uint32_t address)
{
    return (boost::format("%u.%u.%u.%u") % (address >> 24) % ((address >> 16) & 0xFF) % ((address >> 8) & 0xFF) %
            (address & 0xFF))
        .str();
}

Application::Application(const std::string& networkAddress, bool dynamicPorts, std::uint64_t targetFrameId)
    : targetFrameId(targetFrameId), kivNetworkType(dynamicPorts, &pyxNetworkType)
{
    network.emplace(kivNetworkType, networkAddress);
    const Network::Server& server = network->getServer();
    Console::out(boost::format("Discovering frames on %s:%u...\n\n") % dottedAddress(server.localAddress()) %
                 server.localPort());

    const auto foundToken = network->onFrameFound().subscribe([this](std::uint64_t id) { frameFound(id); });
    const auto lostToken = network->onFrameLost().subscribe([this](std::uint64_t id) { frameLost(id); });
    // The heartbeat started with the engine: frames reported before the
    // subscription are taken from the frame table (frameFound ignores a
    // frame it has already recorded).
    for (const std::uint64_t id : network->frameIds())
        frameFound(id);

    if (targetFrameId == 0) {
        std::this_thread::sleep_for(DISCOVERY_TIME);
    } else {
        std::unique_lock<std::mutex> lock(namedFrameMutex);
        if (!namedFrameFound.wait_for(lock, DISCOVERY_TIME, [this] { return namedFrameSeen; }))
            Console::err("Frame discovery timed out, frame not found!\n");
    }
    Console::out("\n");
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
    if (foundFrames.count(frameId) != 0)
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
            Console::out(boost::format("    %3i. Found %08x:%08x @ %s  %s\n") % n % idHigh(frameId) % idLow(frameId) %
                         dottedAddress(info.address) % "DUPLICATE IP FOUND!");
        else
            Console::out(boost::format("    %3i. Found %08x:%08x @ %s\n") % n % idHigh(frameId) % idLow(frameId) %
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
    switch (code) {
    case TimedOut:
        reportResult(frameId, "timed out");
        break;
    case TransmissionFailed:
        reportResult(frameId, "transmission failed");
        break;
    case Success: {
        const std::int16_t lengthField = length >= HEADER_SIZE ? loadS16(bytes, OFFSET_LENGTH) : 0;
        const std::uint16_t command = length >= HEADER_SIZE ? loadU16(bytes, OFFSET_COMMAND) : 0;
        if (length < HEADER_SIZE || lengthField <= 0 || static_cast<unsigned>(lengthField) != length) {
            reportResult(frameId, "invalid response");
        } else if (command == CMD_Ack) {
            // An Ack too short for its status word is malformed like any other.
            if (length < OFFSET_ACK_STATUS + 4) {
                reportResult(frameId, "invalid response");
            } else {
                const std::uint32_t status = loadU32(bytes, OFFSET_ACK_STATUS);
                if (status == ACK_SUCCESS) {
                    ++messagesSucceeded;
                    reportResult(frameId, "succeeded");
                } else {
                    reportResult(frameId, (boost::format("failed (%d)") % static_cast<std::int32_t>(status)).str());
                }
            }
        } else if (command == CMD_KivText) {
            const int version = meterDataVersion(messageText);
            if (version == 0) {
                ++messagesSucceeded;
                const std::size_t textLength = boundedTextLength(bytes, length, OFFSET_BODY);
                const std::string text = escapeForConsole(std::string_view(bytes + OFFSET_BODY, textLength));
                reportResult(frameId, (boost::format("replied %s") % text).str());
            } else if (const auto report = formatMeterData(bytes + OFFSET_BODY, length - OFFSET_BODY, version)) {
                ++messagesSucceeded;
                reportMeterData(frameId, version, *report);
            } else {
                // Shorter than its version's record: never read past its end.
                reportResult(frameId, "invalid response");
            }
        } else {
            reportResult(frameId, "invalid response");
        }
        ++responsesReceived;
        break;
    }
    default:
        reportResult(frameId, (boost::format("unknown error (%d)") % static_cast<int>(code)).str());
        break;
    }
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
    Console::out(boost::format("    %3d. %08x:%08x @ %-15s %s\n") % resultLineCount % idHigh(frameId) %
                 idLow(frameId) % address % text);
}

void Application::reportMeterData(std::uint64_t frameId, int version, const std::string& report)
{
    const std::string address = addressText(frameId);
    std::lock_guard<std::mutex> lock(outputMutex);
    ++resultLineCount;
    Console::out((boost::format("    %3d. %08x:%08x @ %-15s replied with meter data v%d:\n") % resultLineCount %
                  idHigh(frameId) % idLow(frameId) % address % version)
                     .str() +
                 report);
}
