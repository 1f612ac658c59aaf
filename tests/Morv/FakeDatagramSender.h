#pragma once

#include "Network/Server.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

namespace kivtest {

// A DatagramSender without sockets: records every datagram with the time its
// send started, and answers with `result`. An optional hook runs inside the
// send call, after the datagram is recorded (to answer synchronously, or to be slow).
class FakeDatagramSender : public Network::DatagramSender {
public:
    struct Sent {
        std::vector<char> bytes;
        bool broadcast = false;
        std::uint32_t address = 0;
        std::uint16_t port = 0;
        std::chrono::steady_clock::time_point at;
    };

    bool broadcast(const char* bytes, std::uint32_t length) override { return record(bytes, length, true, 0, 0); }

    bool sendTo(const char* bytes, std::uint32_t length, std::uint32_t address, std::uint16_t port) override
    {
        return record(bytes, length, false, address, port);
    }

    // Set before the object under test may send.
    bool result = true;
    std::function<void(const Sent&)> hook;

    std::vector<Sent> sent() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return sent_;
    }

    bool waitForCount(std::size_t count, std::chrono::milliseconds limit) const
    {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return sent_.size() >= count; });
    }

private:
    bool record(const char* bytes, std::uint32_t length, bool isBroadcast, std::uint32_t address, std::uint16_t port)
    {
        Sent s{std::vector<char>(bytes, bytes + length), isBroadcast, address, port, std::chrono::steady_clock::now()};
        {
            // Notified under the lock: a woken waiter may destroy the sender at once.
            std::lock_guard<std::mutex> lock(mutex_);
            sent_.push_back(s);
            changed_.notify_all();
        }
        if (hook)
            hook(s);
        return result;
    }

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<Sent> sent_;
};

} // namespace kivtest
