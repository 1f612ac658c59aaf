#include "Morv/Heart.h"

#include "Morv/Message.h"
#include "Morv/Wire.h"
#include "common/Platform.h"

#include <array>
#include <chrono>

namespace Morv {

Heart::Heart(Network::DatagramSender& server, std::uint64_t ownId, std::uint16_t nodeType)
    : ownId_(ownId), server_(server), nodeType_(nodeType)
{
    // Started last, once every member the thread reads is in place.
    thread_ = std::make_shared<std::thread>([this] { run(); });
}

Heart::~Heart()
{
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        running_ = false;
    }
    wakeup_.notify_all();
    // Joining is enough to wait for the loop to end; the thread may not even
    // have started it yet, so no lock of its own is taken here.
    thread_->join();
    thread_.reset();
}

void Heart::run()
{
    std::unique_lock<std::mutex> lock(stateMutex_);
    while (running_) {
        const std::uint32_t cycleStart = Platform::tickCount();
        std::array<char, BROADCAST_ID_SIZE> request;
        buildBroadcastIdRequest(request.data(), ownId_, nodeType_, nextSequenceNumber());
        // A failed broadcast is not retried early: the next cycle comes on schedule.
        server_.broadcast(request.data(), static_cast<std::uint32_t>(request.size()));

        // Cycles start PERIOD_MS apart whatever the broadcast cost; a slow one
        // is followed at once by the next.
        const std::uint32_t elapsed = Platform::tickCount() - cycleStart;
        const std::uint32_t remaining = elapsed >= PERIOD_MS ? 0 : PERIOD_MS - elapsed;
        wakeup_.wait_for(lock, Platform::timedWait(std::chrono::milliseconds(remaining)), [this] { return !running_; });
    }
}

} // namespace Morv
