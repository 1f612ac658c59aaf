#pragma once

#include "Morv/MorvNetwork.h"
#include "Morv/NetworkType.h"
#include "Morv/Types.h"
#include "apps/kivcast/Console.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>

// One run of kivcast: binds through the request engine, discovers the frames
// (in the constructor), sends the message to every frame or to the named one,
// and prints one numbered result line or meter-data report per request.
// Everything it prints is handed to the console writer it is given, so that
// no engine thread ever waits for the console.
//
// Threads: the owner's thread constructs, calls sendMessage and destroys;
// frameFound and frameLost run on the frame list's event thread during
// discovery; handleResponse runs on the engine's threads, several at once.
// Lock order: event mutex, framesMutex, then addressMutex or namedFrameMutex;
// addressMutex is released before outputMutex is taken.
class Application {
public:
    static constexpr std::uint64_t SOURCE_ID = 1234567890;

    // Runs with the engine once the application has subscribed to its events
    // and before the first discovery broadcast (tests watch the events with it).
    using BeforeDiscovery = std::function<void(Morv::MorvNetwork&)>;

    // Performs the whole discovery phase before it returns. Throws what the
    // engine's construction throws. `console` must outlive the application.
    Application(const std::string& networkAddress, bool dynamicPorts, std::uint64_t targetFrameId,
                Console::Writer& console, const BeforeDiscovery& beforeDiscovery = {});
    // Stops the engine first, so no callback runs afterwards.
    ~Application();
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    // Sends the text to each selected frame; returns how many requests the
    // engine accepted. Throws Morv::KivMessageException for a text too long
    // for one message.
    int sendMessage(const std::string& text);

    void handleResponse(std::uint64_t frameId, const char* bytes, unsigned length, Morv::ErrorCode code);
    void reportResult(std::uint64_t frameId, const std::string& text);
    // Prints the title line and the decoded report as one numbered result.
    void reportMeterData(std::uint64_t frameId, int version, const std::string& report);

    Console::Writer& console() { return console_; }

    void frameFound(std::uint64_t frameId);
    void frameLost(std::uint64_t frameId);

    std::atomic<std::int32_t> responsesReceived{0};
    std::atomic<std::int32_t> requestsCompleted{0};
    std::atomic<std::int32_t> messagesSucceeded{0};

private:
    std::string addressText(std::uint64_t frameId);

    Console::Writer& console_;
    const std::uint64_t targetFrameId;
    const std::uint64_t sourceId = SOURCE_ID;
    std::uint32_t resultLineCount = 0;
    std::mutex outputMutex;
    std::string messageText;
    Morv::PyxNetworkType pyxNetworkType;
    Morv::KivNetworkType kivNetworkType;
    std::optional<Morv::MorvNetwork> network;
    std::map<std::uint64_t, std::int32_t> foundFrames;
    bool discovering = true; // guarded by framesMutex: "Found" lines only while it is set
    std::mutex framesMutex;
    std::map<std::uint64_t, std::uint32_t> frameAddresses;
    std::map<std::uint32_t, std::uint64_t> addressOwners;
    std::mutex addressMutex;
    std::mutex namedFrameMutex;
    std::condition_variable namedFrameFound;
    bool namedFrameSeen = false;
};

