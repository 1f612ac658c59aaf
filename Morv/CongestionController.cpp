#include "Morv/CongestionController.h"

#include "Morv/Types.h"
#include "common/Platform.h"

#include <algorithm>
#include <utility>

namespace Morv {

namespace {
// The window's start value, its floor and the slow-start step.
constexpr std::uint32_t WINDOW_STEP = CongestionController::INITIAL_WINDOW;
// Numerator of the additive increase: the window grows by about 550 bytes per
// window's worth of answers.
constexpr std::uint32_t AVOIDANCE_NUMERATOR = WINDOW_STEP * WINDOW_STEP;
constexpr std::uint32_t MIN_THRESHOLD = 1100;
constexpr unsigned POLL_INTERVAL_MS = 1;

std::uint32_t clampedSubtract(std::uint32_t from, std::uint32_t amount)
{
    return amount > from ? 0 : from - amount;
}
} // namespace

CongestionController::CongestionController(unsigned pollLimit) : pollLimit_(pollLimit) {}

CongestionController::~CongestionController() { stop(); }

void CongestionController::stop()
{
    // A wait in progress ends at its next poll instead of holding up the join
    // (queued waits are dropped).
    disable();
    waitExecutor_.stop();
}

bool CongestionController::admit(std::uint32_t size)
{
    std::lock_guard<std::mutex> lock(mutex_);
    // A request that is alone on the network goes whatever its size: the window
    // only grows with answers, so an oversized request would otherwise wait forever.
    const bool fits = static_cast<std::uint64_t>(bytesInFlight_) + size <= window_;
    if (bytesInFlight_ != 0 && !fits)
        return false;
    bytesInFlight_ += size;
    return true;
}

bool CongestionController::submit(std::uint32_t size, std::function<void()> task,
                                  std::function<void()> onWaitTimeout)
{
    if (!enabled())
        return false;
    if (admit(size)) {
        task();
        return true;
    }
    waitExecutor_.post([this, size, task = std::move(task), onWaitTimeout = std::move(onWaitTimeout)] {
        bool admitted = false;
        try {
            admitted = tryAcquire(size);
        } catch (const CongestionWaitTimeoutException&) {
            // Reported in place of the task; this thread goes on with later waits.
            if (onWaitTimeout)
                onWaitTimeout();
            return;
        }
        if (admitted)
            task();
    });
    return true;
}

bool CongestionController::tryAcquire(std::uint32_t size)
{
    unsigned polls = 0;
    for (;;) {
        // Once admitted the size stays counted even if the controller was just disabled.
        if (admit(size))
            return enabled();
        Platform::sleepMs(POLL_INTERVAL_MS);
        if (++polls > pollLimit_)
            throw CongestionWaitTimeoutException("Morv/CongestionController", 141,
                                                 "A timeout occured when attempting to communicate on the network");
        if (!enabled())
            return false;
    }
}

void CongestionController::onAck(std::uint32_t size)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (window_ < threshold_)
        window_ += WINDOW_STEP;
    else
        window_ += AVOIDANCE_NUMERATOR / window_;
    bytesInFlight_ = clampedSubtract(bytesInFlight_, size);
}

void CongestionController::onLoss(std::uint32_t size)
{
    std::lock_guard<std::mutex> lock(mutex_);
    window_ = std::max(window_ >> 1, WINDOW_STEP);
    threshold_ = std::max(window_, MIN_THRESHOLD);
    bytesInFlight_ = clampedSubtract(bytesInFlight_, size);
}

std::uint32_t CongestionController::bytesInFlight() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return bytesInFlight_;
}

std::uint32_t CongestionController::window() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return window_;
}

std::uint32_t CongestionController::threshold() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return threshold_;
}

void CongestionController::setStateForTest(std::uint32_t bytesInFlight, std::uint32_t window,
                                           std::uint32_t threshold)
{
    std::lock_guard<std::mutex> lock(mutex_);
    bytesInFlight_ = bytesInFlight;
    window_ = window;
    threshold_ = threshold;
}

} // namespace Morv
