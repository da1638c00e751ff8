#include "platform/Log.h"

#include <gtest/gtest.h>

#include <thread>

namespace sollun::platform {
namespace {

TEST(Log, ConcurrentWritersLoseNothing) {
    ScopedMemoryLog log;
    const Logger logger("s", "c");
    {
        std::vector<std::jthread> threads;
        for (int t = 0; t < 4; ++t)
            threads.emplace_back([&logger] {
                for (int i = 0; i < 500; ++i)
                    logger.info("line %{public}d", i);
            });
    }
    EXPECT_EQ(log->entries().size(), 2000u);
}

} // namespace
} // namespace sollun::platform
