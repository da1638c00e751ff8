#include "platform/Log.h"

#include "platform/linux/JournalLogSink.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

namespace sollun::platform {
namespace {

TEST(Log, RendersFormatsWithoutTheirMarkers) {
    ScopedMemoryLog log;
    const Logger logger("com.kestrovane.sollun.helper", "coordinator");
    const std::string text = "e00002c1";
    logger.info("Daemon version %{public}d", 1);
    logger.error("Failed: %{public}s after %{public}f s, %d%% done", text, 1.5, 50);
    logger.info("Nothing to fill in");
    logger.info("%s|%{public}s", "a", std::string_view("b"));

    EXPECT_EQ(
        log->messages(),
        (std::vector<std::string>{"Daemon version 1", "Failed: e00002c1 after 1.500000 s, 50% done",
                                  "Nothing to fill in", "a|b"}));
}

TEST(Log, RecordsCarryTheirLoggerAndLevel) {
    ScopedMemoryLog log;
    const Logger daemon("com.kestrovane.sollun.wakedaemon", "daemon");
    daemon.error("Cancel failed");
    daemon.info("Scheduled");
    using Entry = MemoryLogSink::Entry;
    EXPECT_EQ(log->entries(),
              (std::vector<Entry>{
                  {LogLevel::error, "com.kestrovane.sollun.wakedaemon", "daemon", "Cancel failed"},
                  {LogLevel::info, "com.kestrovane.sollun.wakedaemon", "daemon", "Scheduled"}}));
}

TEST(Log, IntegersKeepTheirFullRange) {
    ScopedMemoryLog log;
    const Logger logger("s", "c");
    logger.info("%{public}d %{public}d", INT64_MIN, -1);
    EXPECT_EQ(log->messages().at(0), "-9223372036854775808 -1");
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
    sink.write({LogLevel::error, "com.kestrovane.sollun.helper", "watcher",
                "No App Group container; relying on poll only"});
    sink.write({LogLevel::info, "com.kestrovane.sollun.helper", "coordinator", "second"});
    dup2(saved, STDERR_FILENO);
    close(saved);
    close(fds[1]);
    std::string out(4096, '\0');
    out.resize(static_cast<std::size_t>(read(fds[0], out.data(), out.size())));
    close(fds[0]);

    const std::string prefix =
        std::string(program_invocation_short_name) + "[" + std::to_string(getpid()) + "]: ";
    EXPECT_EQ(out, prefix +
                       "com.kestrovane.sollun.helper watcher error: No App Group container; "
                       "relying on poll only\n" +
                       prefix + "com.kestrovane.sollun.helper coordinator info: second\n");
}

} // namespace
} // namespace sollun::platform
