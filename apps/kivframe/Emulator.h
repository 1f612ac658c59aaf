#pragma once

// The emulator's single thread: it receives requests on ports 6015 and 6016,
// lets every addressed frame answer after its faults, and sends the answers
// at once, after their delay, or paced (discovery answers), logging each
// datagram. Everything here runs on the thread that calls run().

#include "apps/kivframe/Answers.h"
#include "apps/kivframe/FrameTable.h"
#include "apps/kivframe/JsonLog.h"
#include "apps/kivframe/Pcap.h"
#include "apps/kivframe/Settings.h"
#include "apps/kivframe/UdpSocket.h"

#include <array>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <deque>
#include <memory>
#include <queue>
#include <string>
#include <string_view>
#include <vector>

namespace KivFrame {

struct Counters {
    std::uint64_t received = 0;
    std::uint64_t sent = 0;
    std::uint64_t dropped = 0;     // answers dropped by a fault
    std::uint64_t duplicated = 0;  // extra copies sent
    std::uint64_t sendErrors = 0;  // answers the kernel did not take
    std::uint64_t discarded = 0;   // answers not queued because the queue was full
    std::uint64_t silenced = 0;    // answers due while their frame was silent
};

class Emulator {
public:
    using Clock = std::chrono::steady_clock;

    // Binds both sockets. `options`, `frames` and `log` (may be null) must
    // outlive the emulator. Throws SetupError.
    Emulator(const Options& options, FrameTable& frames, JsonLog* log, Clock::time_point start);

    // Serves until `stopRequested` is set (checked whenever a signal interrupts
    // the wait; signals are delivered only during the wait, with `waitMask`) or
    // the duration has passed. Returns false when the log could not be written.
    bool run(const volatile std::sig_atomic_t& stopRequested, const sigset_t& waitMask);

    const Counters& counters() const { return counters_; }

    // Records every datagram received and sent in `pcap` (may be null; must
    // outlive the emulator).
    void capture(PcapWriter* pcap) { pcap_ = pcap; }

private:
    // One answer on its way: which frame sends what, where, through which socket.
    struct Answer {
        std::uint32_t frame = 0;
        Reply reply;
        std::uint32_t destination = 0;
        std::uint16_t destinationPort = 0;
        std::uint8_t socket = 0;
        bool copy = false; // a duplicate
    };
    struct Delayed {
        Clock::time_point due;
        std::uint64_t order; // keeps answers due at the same time in scheduling order
        Answer answer;
        bool paced;
        bool operator>(const Delayed& other) const
        {
            return due != other.due ? due > other.due : order > other.order;
        }
    };

    void receiveAll(std::size_t socket);
    void handle(std::size_t socket, const UdpSocket::Datagram& d);
    // A frame that is absent at `atUs` (not joined yet, or silent) does not hear the request.
    void answerDiscovery(Frame& frame, const Morv::MSG_CmdHdr& request, std::size_t socket,
                         const UdpSocket::Datagram& d, std::int64_t atUs);
    void answerRequest(Frame& frame, const Morv::MSG_CmdHdr& request, std::string_view text, std::size_t socket,
                       const UdpSocket::Datagram& d, std::int64_t atUs);
    // Notes that the frame heard a request; returns the sequence number of the
    // different one it heard before (the request's - 1 when there was none).
    static std::uint32_t hear(Frame& frame, std::uint32_t sequence);
    void schedule(Frame& frame, const Reply& reply, std::size_t socket, const UdpSocket::Datagram& d, bool paced);
    void releaseDue(Clock::time_point now);
    void sendPaced(Clock::time_point now);
    void send(const Answer& answer);
    Clock::time_point nextWake(Clock::time_point deadline) const;
    std::size_t queued() const { return delayed_.size() + paced_.size(); }
    std::int64_t elapsedUs() const;

    const Options& options_;
    FrameTable& frames_;
    JsonLog* log_;
    PcapWriter* pcap_ = nullptr;
    const Clock::time_point start_;
    const std::chrono::microseconds pace_;

    std::array<std::unique_ptr<UdpSocket>, 2> sockets_; // ports 6015 and 6016, in that order
    std::priority_queue<Delayed, std::vector<Delayed>, std::greater<>> delayed_;
    std::uint64_t delayedOrder_ = 0;
    std::deque<Answer> paced_;
    Clock::time_point nextPaced_;
    Clock::time_point lastFlush_;

    std::vector<char> receiveBuffer_;
    std::vector<char> sendBuffer_;
    Counters counters_;
};

} // namespace KivFrame
