#pragma once

#include "Network/Server.h"

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

namespace Morv {

// Keeps discovery alive: a thread of its own broadcasts a broadcast-ID request
// at once and then about every 1000 ms, cycle start to cycle start.
// Destruction wakes the thread and joins it without waiting for the period.
class Heart {
public:
    static constexpr unsigned PERIOD_MS = 1000;

    // `server` is not owned and must outlive the Heart.
    Heart(Network::DatagramSender& server, std::uint64_t ownId, std::uint16_t nodeType);
    ~Heart();
    Heart(const Heart&) = delete;
    Heart& operator=(const Heart&) = delete;

private:
    void run();

    bool running_ = true;    // guarded by stateMutex_
    std::mutex stateMutex_; // also the mutex of the wait between broadcasts
    std::condition_variable wakeup_;
    std::shared_ptr<std::thread> thread_;
    const std::uint64_t ownId_;
    Network::DatagramSender& server_;
    const std::uint16_t nodeType_;
};

} // namespace Morv
