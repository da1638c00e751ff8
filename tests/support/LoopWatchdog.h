#pragma once

#include "platform/EventLoop.h"

#include <chrono>

namespace sollun::test {

// Fails the running test and stops the loop when it is still running after `limit`, so that a
// test waiting for an event that never comes ends instead of hanging.
class LoopWatchdog {
public:
    static constexpr int expiredExitCode = 124;

    LoopWatchdog(platform::EventLoop& loop, std::chrono::milliseconds limit);

    bool expired() const { return expired_; }

private:
    platform::Source timer_;
    bool expired_ = false;
};

// Runs `loop` under a watchdog; returns the loop's exit code (expiredExitCode when it hung).
int runWithWatchdog(platform::EventLoop& loop,
                    std::chrono::milliseconds limit = std::chrono::seconds(10));

} // namespace sollun::test
