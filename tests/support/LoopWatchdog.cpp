#include "tests/support/LoopWatchdog.h"

#include <gtest/gtest.h>

namespace sollun::test {

LoopWatchdog::LoopWatchdog(platform::EventLoop& loop, std::chrono::milliseconds limit)
    : timer_(loop.addRepeatingTimer(limit, [this, &loop, limit] {
        if (expired_)
            return;
        expired_ = true;
        ADD_FAILURE() << "watchdog: the loop was still running after " << limit.count() << " ms";
        loop.exit(expiredExitCode);
    })) {}

int runWithWatchdog(platform::EventLoop& loop, std::chrono::milliseconds limit) {
    LoopWatchdog watchdog(loop, limit);
    return loop.run();
}

} // namespace sollun::test
