#pragma once

#include "Morv/TimeoutBehavior.h"

// For texts that make a frame busy for seconds (power, reset, preset recall):
// three transmissions, each waiting 8000 ms.
class SlowTimeoutBehavior final : public Morv::TimeoutBehavior {
public:
    int initialTimeout() const override { return 8000; }
    int retryTimeout(int) const override { return 8000; }
    int maxAttempts() const override { return 3; }
};
