#include "platform/Log.h"

#include "platform/linux/JournalLogSink.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <thread>

namespace sollun::platform {
namespace {

TEST(Log, RendersFormatsWithoutTheirMarkersAndIntegersInFullRange) {
    ScopedMemoryLog log;
    const Logger logger("com.kestrovane.sollun.helper", "coordinator");
    logger.error("Failed: %{public}s after %{public}f s, %d%% done", std::string("e2c1"), 1.5, 50);
    logger.info("%s|%{public}s %{public}d", "a", std::string_view("b"), INT64_MIN);
    EXPECT_EQ(log->messages(), (std::vector<std::string>{"Failed: e2c1 after 1.500000 s, 50% done",
                                                         "a|b -9223372036854775808"}));
}

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

TEST(Log, StandardErrorGetsOneLinePerRecord) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const int saved = dup(STDERR_FILENO);
    dup2(fds[1], STDERR_FILENO);
    StderrLogSink sink;
    sink.write({LogLevel::error, "com.kestrovane.sollun.helper", "watcher", "first"});
    sink.write({LogLevel::info, "com.kestrovane.sollun.helper", "coordinator", "second"});
    dup2(saved, STDERR_FILENO);
    close(saved);
    close(fds[1]);
    std::string out(4096, '\0');
    out.resize(static_cast<std::size_t>(read(fds[0], out.data(), out.size())));
    close(fds[0]);
    const std::string prefix = std::string(program_invocation_short_name) + "[" +
                               std::to_string(getpid()) + "]: com.kestrovane.sollun.helper ";
    std::string expected = prefix;
    expected += "watcher error: first\n";
    expected += prefix;
    expected += "coordinator info: second\n";
    EXPECT_EQ(out, expected);
}

} // namespace
} // namespace sollun::platform
