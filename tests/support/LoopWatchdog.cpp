#include "tests/support/LoopWatchdog.h"

#include <gtest/gtest.h>

namespace sollun::test {

int runWithWatchdog(platform::EventLoop& loop, std::chrono::milliseconds limit) {
    const auto timer = loop.addOneShotTimer(limit, [&] {
        ADD_FAILURE() << "watchdog: the loop was still running after " << limit.count() << " ms";
        loop.exit(124);
    });
    return loop.run();
}

} // namespace sollun::test
