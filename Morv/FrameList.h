#pragma once

#include "Morv/Message.h"
#include "Morv/NetworkType.h"
#include "Morv/Types.h"
#include "Network/Server.h"
#include "common/Event.h"
#include "common/Executor.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

namespace Morv {

// The receiving half of the frame library. Learns frames from broadcast-ID
// replies (frame table, aged after 10 s of silence), keeps where to send
// requests to every frame ever seen (destination book, never aged), and
// matches responses to pending requests by sequence number (pending table,
// expired by a thread of its own).
//
// Threads: onDatagram runs on the server's workers (several at once); matched
// completions and onMessage run there too. Found, lost and changed events and
// expired completions run one at a time on the list's own executor. No table
// lock is held while a completion or an event handler runs.
class FrameList : public Network::ServerEventHandler {
public:
    using CalendarClock = std::function<std::int64_t()>;

    // `type` and `sender` are not owned and must outlive the list. The
    // calendar clock (whole seconds) drives ageing; tests hand in their own.
    FrameList(const NetworkType& type, Network::DatagramSender& sender, CalendarClock calendarClock = {});
    ~FrameList() override;
    FrameList(const FrameList&) = delete;
    FrameList& operator=(const FrameList&) = delete;

    Event<void(std::uint64_t)> onFrameFound;
    Event<void(std::uint64_t)> onFrameLost;
    Event<void(std::uint64_t)> onFrameChanged;
    Event<void(std::uint64_t, const Command<MSG_CmdHdr>&)> onMessage;

    void onDatagram(const char* bytes, std::uint32_t length, std::uint32_t sourceAddress) override;

    // Copy of a live frame's record; throws UnknownFrameIdException
    // ("Morv/FrameList", line 157) for an ID not in the frame table.
    FrameInfo frameInfo(std::uint64_t frameId) const;
    // Where requests to a frame go; also for frames that have aged out.
    bool findDestination(std::uint64_t frameId, Destination& destination) const;
    // IDs of the frames in the frame table.
    std::vector<std::uint64_t> frameIds() const;
    // Datagrams from an IPv4 address (host byte order) dropped as malformed so far.
    std::uint64_t droppedFrom(std::uint32_t address) const;
    // The source address of the datagram whose completion runs on the calling
    // thread (inside a Success completion); 0 elsewhere.
    static std::uint32_t responseSource();

    // Registers `completion` under the message's sequence number with a
    // deadline `timeoutMs` from now, then transmits (broadcast or to the
    // frame's address). When the transmission fails the entry is withdrawn and
    // false returned; the completion is then never called. Otherwise the
    // completion is called once: Success with the response, or TimedOut. (If a
    // response or the deadline takes the entry while a failing transmission is
    // still in progress, that outcome stands and the result is true.)
    // A later request under the same number replaces this one, which then
    // ends without a call.
    bool sendRequest(const Destination& destination, const char* begin, const char* end, unsigned timeoutMs,
                     Completion completion);

    // One ageing pass and one expiry pass, as the threads run them; for tests.
    void agePass();
    void expiryPass();

private:
    using SteadyClock = std::chrono::steady_clock;

    struct FrameEntry {
        FrameInfo info;
        std::int32_t changeStamp = 0; // larger of the words at 48 and 60, as signed
    };

    struct PendingEntry {
        Completion completion;
        SteadyClock::time_point deadline;
        std::uint64_t ticket = 0; // tells this registration apart from a later one under the same number
    };

    void countDrop(std::uint32_t sourceAddress);
    // Admission of a received message; false when it is dropped.
    bool admitBroadcastId(const char* message, std::uint32_t length, const MSG_CmdHdr& header,
                          std::uint32_t sourceAddress);
    bool admitOther(std::uint32_t length, const MSG_CmdHdr& header, std::uint32_t sourceAddress);
    bool isValid(std::uint32_t length, const MSG_CmdHdr& header, bool nodeTypeWaived) const;
    // Calls and removes the pending entry for `sequence`, if any (on this thread).
    bool completeRequest(std::uint32_t sequence, const char* message, std::uint32_t length);
    // Removes the entry registered with `ticket`; false when it is no longer there.
    bool withdraw(std::uint32_t sequence, std::uint64_t ticket);

    // Thread bodies and their passes; a pass runs with its thread's state mutex held.
    void runAgeing();
    void runExpiry();
    void stopAgeing();
    void stopExpiry();
    void ageLocked();
    void expireLocked();

    std::unordered_map<std::uint64_t, FrameEntry> frames_;
    mutable std::mutex framesMutex_;
    std::unordered_map<std::uint64_t, Destination> destinations_;
    mutable std::mutex destinationsMutex_;
    std::unordered_map<std::uint32_t, std::uint64_t> drops_; // by source address
    mutable std::mutex dropsMutex_;
    std::unordered_map<std::uint32_t, PendingEntry> pending_;
    std::uint64_t nextTicket_ = 0; // guarded by pendingMutex_
    std::mutex pendingMutex_;

    const NetworkType& type_;
    Network::DatagramSender& sender_;
    const CalendarClock calendarClock_;

    bool ageingRunning_ = true; // guarded by ageingStateMutex_
    std::mutex ageingStateMutex_;
    std::condition_variable ageingWakeup_;
    std::thread ageingThread_;

    bool expiryRunning_ = true;               // guarded by expiryStateMutex_
    SteadyClock::time_point earliestDeadline_; // guarded by expiryStateMutex_; epoch: none
    std::mutex expiryStateMutex_;
    std::condition_variable expiryWakeup_;
    std::thread expiryThread_;

    // Last, so that it is destroyed (stopped and joined) before the tables and
    // the events its tasks use.
    Executor executor_;
};

} // namespace Morv
