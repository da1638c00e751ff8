#pragma once

#include "platform/EventLoop.h"

#include <chrono>

namespace sollun::test {

// Runs `loop` and returns its exit code; when it still runs after `limit`, the test fails and
// the loop is stopped with 124, so that a wait for an event that never comes ends.
int runWithWatchdog(platform::EventLoop& loop,
                    std::chrono::milliseconds limit = std::chrono::seconds(10));

} // namespace sollun::test
