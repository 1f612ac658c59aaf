#pragma once

#include "Morv/MorvNetwork.h"
#include "Morv/NetworkType.h"
#include "Morv/Types.h"
#include "apps/shared/Console.h"
#include "apps/kivcast/Reporter.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

// Which frames a run addresses, and how long it discovers. The default is
// every frame and 3 s.
struct RunScope {
    std::set<std::uint64_t> only;     // empty: every frame (or the one named)
    std::set<std::uint64_t> excluded; // never sent to
    std::set<std::uint64_t> expected; // discovery ends as soon as all of them have answered
    std::chrono::milliseconds discovery{3000};
    std::string message; // the text to be sent, for the start of the report
};

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
    // engine's construction throws. `console` must outlive the application,
    // and so must `reporter` when one is given (the console text otherwise).
    Application(const std::string& networkAddress, bool dynamicPorts, std::uint64_t targetFrameId,
                Console::Writer& console, const BeforeDiscovery& beforeDiscovery = {}, RunScope scope = {},
                Reporter* reporter = nullptr);
    // Stops the engine first, so no callback runs afterwards.
    ~Application();
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    // Sends the text to each selected frame; returns how many requests the
    // engine accepted. Throws Morv::KivMessageException for a text too long
    // for one message.
    int sendMessage(const std::string& text);

    // Ends every request sent that has not ended yet as "timed out", for a run
    // whose time is up, and lets none of them print later; returns once the
    // lines of responses being handled at this moment are handed over too,
    // with how many it ended. Owner's thread, after sendMessage.
    int endUnfinishedRequests();

    void handleResponse(std::uint64_t frameId, const char* bytes, unsigned length, Morv::ErrorCode code);
    void reportResult(std::uint64_t frameId, const std::string& text);
    // Prints the title line and the decoded report as one numbered result.
    void reportMeterData(std::uint64_t frameId, int version, const std::string& report);

    Console::Writer& console() { return console_; }
    Reporter& reporter() { return reporter_; }

    // After the run: how each frame's request ended, and the expected frames
    // that did not answer discovery (in ID order).
    std::map<std::uint64_t, Outcome> outcomes();
    const std::vector<std::uint64_t>& missingFrames() const { return missing; }
    // Frames reported found during discovery.
    std::size_t framesFound();

    void frameFound(std::uint64_t frameId);
    void frameLost(std::uint64_t frameId);

    std::atomic<std::int32_t> responsesReceived{0};
    std::atomic<std::int32_t> requestsCompleted{0};
    std::atomic<std::int32_t> messagesSucceeded{0};

private:
    // A request sent and not yet ended.
    struct Pending {
        std::uint64_t frameId = 0;
        std::shared_ptr<Morv::RequestTrace> trace;
        std::uint32_t address = 0;    // where it was sent
        std::uint64_t dropsAtSend = 0; // datagrams from there dropped before it was sent
    };

    bool selected(std::uint64_t frameId) const;
    std::optional<std::uint32_t> foundAddress(std::uint64_t frameId);
    // Takes a request out of `unfinished`; nothing when it has ended already.
    std::optional<Pending> takeUnfinished(std::uint32_t request);
    void handle(const Pending* pending, std::uint64_t frameId, const char* bytes, unsigned length,
                Morv::ErrorCode code);
    // Numbers and renders one result; the pending request, when there is one, adds its trace.
    void report(std::uint64_t frameId, const ResponseReport& report, const Pending* pending,
                const char* bytes = nullptr, unsigned length = 0);

    Console::Writer& console_;
    std::unique_ptr<Reporter> ownReporter_;
    Reporter& reporter_;
    const RunScope scope_;
    std::vector<std::uint64_t> missing;
    std::map<std::uint64_t, Outcome> outcomes_; // guarded by outputMutex
    const std::uint64_t targetFrameId;
    const std::uint64_t sourceId = SOURCE_ID;
    std::uint32_t resultLineCount = 0;
    std::mutex outputMutex;
    std::string messageText;
    // Requests sent and not yet ended, by their number in sending order: each
    // ends once, by its response handler or by endUnfinishedRequests.
    std::map<std::uint32_t, Pending> unfinished;
    std::uint32_t requestsStarted = 0;
    std::int32_t requestsAccepted = 0;
    std::mutex unfinishedMutex;
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
    std::size_t expectedSeen = 0; // guarded by namedFrameMutex
};

