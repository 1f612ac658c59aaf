#pragma once

#include "common/Executor.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>

namespace Morv {

// Limits the bytes of windowed requests in flight: a byte window that grows on
// answers (slow start, then additive) and halves on losses.
//
// Threads: submit runs on the sender's thread; waits run on the controller's
// own executor and on the engine's retransmission thread; onAck and onLoss on
// receive threads, the frame list's executor or wherever a send failed.
class CongestionController {
public:
    static constexpr std::uint32_t INITIAL_WINDOW = 550;
    static constexpr std::uint32_t INITIAL_THRESHOLD = 65536;
    static constexpr unsigned DEFAULT_POLL_LIMIT = 600000;

    // pollLimit: number of 1 ms polls after which a wait gives up (tests lower it).
    explicit CongestionController(unsigned pollLimit = DEFAULT_POLL_LIMIT);
    ~CongestionController();
    CongestionController(const CongestionController&) = delete;
    CongestionController& operator=(const CongestionController&) = delete;

    // Runs `task` at once on this thread when the window has room, otherwise
    // queues it to wait for room on the controller's thread. A request is also
    // admitted, whatever its size, when nothing else is in flight. False (task
    // destroyed unrun) once disabled. If a queued wait times out, `onWaitTimeout`
    // runs on the controller's thread instead of the task (once).
    bool submit(std::uint32_t size, std::function<void()> task, std::function<void()> onWaitTimeout);

    // Blocks, polling every 1 ms, until `size` is admitted (true) or the
    // controller is disabled (false). Throws CongestionWaitTimeoutException
    // after the poll limit.
    bool tryAcquire(std::uint32_t size);

    // The request was answered, or its transmission failed before reaching the network.
    void onAck(std::uint32_t size);
    // One attempt of the request expired.
    void onLoss(std::uint32_t size);

    // Once disabled, submit refuses and waits return false at their next poll.
    void disable() { enabled_.store(false); }
    // Disables, then stops and joins the controller's thread: once this
    // returns, no waiting send runs any more, nor ever will.
    void stop();
    bool enabled() const { return enabled_.load(); }

    std::uint32_t bytesInFlight() const;
    std::uint32_t window() const;
    std::uint32_t threshold() const;

    // Puts the counters in a given state, so tests can start from any window.
    void setStateForTest(std::uint32_t bytesInFlight, std::uint32_t window, std::uint32_t threshold);

private:
    bool admit(std::uint32_t size);

    std::uint32_t bytesInFlight_ = 0;
    std::uint32_t threshold_ = INITIAL_THRESHOLD;
    std::uint32_t window_ = INITIAL_WINDOW;
    const unsigned pollLimit_;
    mutable std::mutex mutex_;
    std::atomic<bool> enabled_{true};
    Executor waitExecutor_; // last: destroyed (and joined) first
};

} // namespace Morv
