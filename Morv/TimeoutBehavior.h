#pragma once

namespace Morv {

// How long the engine waits for each transmission's response and how many
// transmissions it makes. Stateless; any thread. Held through shared ownership
// created from the concrete class, hence no virtual destructor.
class TimeoutBehavior {
public:
    virtual int initialTimeout() const = 0;
    // Attempt 1 is the first retransmission.
    virtual int retryTimeout(int attempt) const = 0;
    // Total number of transmissions.
    virtual int maxAttempts() const = 0;

protected:
    ~TimeoutBehavior() = default;
};

// 125, 250, 500, 1000, 2000, 4000 ms: six transmissions, 7875 ms in all.
class StandardTimeoutBehavior final : public TimeoutBehavior {
public:
    int initialTimeout() const override { return 125; }
    int retryTimeout(int attempt) const override { return 125 << attempt; }
    int maxAttempts() const override { return 6; }
};

} // namespace Morv
