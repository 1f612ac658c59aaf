#pragma once

#include "Morv/Types.h"
#include "apps/kivcast/MeterData.h"
#include "apps/kivcast/Report.h"
#include "apps/shared/Inventory.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

// What a watch knows of the rig: the frames (found, lost, changed), their
// last meter record and a bounded history, and the poll rounds. Every change
// also queues one event for the renderers, in the order the changes were made.
//
// Threads: any; one mutex guards everything. Found, lost and changed come
// from the frame list's event thread, poll ends from the engine's threads,
// rounds and takeEvents from the owner's loop.
class WatchState {
public:
    using Clock = std::chrono::steady_clock;
    using WallClock = std::chrono::system_clock;

    // Samples of the meters kept per frame: the last HISTORY answers.
    static constexpr std::size_t HISTORY = 60;

    struct Sample {
        std::int64_t tMs = 0; // wall clock, ms since 1970
        std::int16_t psuVoltage = 0;
        float hottestTemp = 0;  // dB below the limit; 0 without Temp
        float largestGainRed = 0;
        std::array<float, 4> peaks{};
    };

    // Figures a table row shows, drawn from one record.
    static Sample sampleOf(const MeterRecord& record, WallClock::time_point t);

    struct RoundSummary {
        std::uint64_t round = 0;
        int sent = 0;
        int answered = 0; // meter records received
        int timedOut = 0;
        int late = 0;     // skipped: the previous poll still open
        int invalid = 0;  // a reply that is no meter record of the version asked for
        int failed = 0;   // not sent (frame gone, engine stopping, transmission failed)
        double ms = 0;    // from the round's start to its last answer
    };

    struct Event {
        enum class Kind { Found, Lost, Changed, NeverSeen, Meter, Poll };
        Kind kind = Kind::Found;
        WallClock::time_point t;
        std::uint64_t frameId = 0;
        std::uint32_t address = 0;
        std::vector<std::string> what;   // Changed: "address", "node type", "device type", "state" or "stamp"
        Morv::FrameInfo info;            // Found, Changed: the frame's record now
        std::optional<MeterRecord> meter; // Meter
        RoundSummary round;              // Poll
    };

    enum class State { Ok, Late, Lost, NeverSeen };

    struct Row {
        std::uint64_t frameId = 0;
        std::string name; // empty: not in the inventory
        std::uint32_t address = 0;
        State state = State::NeverSeen;
        std::optional<Clock::time_point> lastAnswer;
        std::optional<Sample> last;
    };

    struct Snapshot {
        std::vector<Row> rows;
        std::optional<RoundSummary> lastRound;
        std::uint64_t rounds = 0;
    };

    explicit WatchState(const Rig::Inventory* inventory);

    void frameFound(const Morv::FrameInfo& info);
    void frameLost(std::uint64_t frameId);
    // The frame's record as the frame list holds it now, after the list reported a change.
    void frameChanged(const Morv::FrameInfo& info);
    // Inventory frames not seen since the start, each reported once.
    void reportNeverSeen();

    // Starts a round: the present frames whose previous poll has ended, now
    // marked open; those still open are counted late. Returns the round number.
    std::uint64_t startRound(std::vector<std::uint64_t>& toPoll);
    // The engine refused the send (no handler call follows).
    void pollNotSent(std::uint64_t round, std::uint64_t frameId);
    // Every send of the round has been made: it may end.
    void sealRound(std::uint64_t round);
    // One poll ended, as classified.
    void pollEnded(std::uint64_t round, std::uint64_t frameId, const ResponseReport& report);

    std::vector<Event> takeEvents();
    Snapshot snapshot() const;
    std::vector<Sample> history(std::uint64_t frameId) const;

private:
    struct Frame {
        Morv::FrameInfo info;
        bool present = false;
        bool seen = false;
        bool late = false;
        bool pollOpen = false;
        bool neverSeenReported = false;
        std::optional<Clock::time_point> lastAnswer;
        std::optional<Sample> last;
        std::array<Sample, HISTORY> history{}; // a ring: `samples` of them, the oldest at `oldest`
        std::size_t samples = 0;
        std::size_t oldest = 0;
    };
    struct Round {
        RoundSummary summary;
        Clock::time_point start;
        int open = 0;
        bool sealed = false;
    };

    Frame& frame(std::uint64_t frameId);
    void push(Event event);
    void endRoundIfDone(std::map<std::uint64_t, Round>::iterator round);

    const Rig::Inventory* inventory_;
    mutable std::mutex mutex_;
    std::map<std::uint64_t, Frame> frames_;
    std::map<std::uint64_t, Round> rounds_; // open rounds
    std::uint64_t roundCount_ = 0;
    std::optional<RoundSummary> lastRound_;
    std::vector<Event> events_;
};
