#include "SollunHelper/WakeScheduleWatcher.h"

#include "platform/Log.h"
#include "shared/AppGroup.h"
#include "tests/support/FakeEventLoop.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/inotify.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace sollun::helper {
namespace {

using namespace std::chrono_literals;
using LogEntry = platform::MemoryLogSink::Entry;

LogEntry error(std::string message) {
    return {platform::LogLevel::error, "com.kestrovane.sollun.helper", "watcher",
            std::move(message)};
}

class WakeScheduleWatcherTest : public ::testing::Test {
protected:
    // The container's parent is set aside but not made: the watcher makes the whole path.
    test::TempDir home;
    test::ScopedEnvironmentVariable dataHome{"XDG_DATA_HOME", (home / "data").string()};
    std::filesystem::path container = *appGroupContainerURL();

    platform::ScopedMemoryLog log;
    test::FakeEventLoop loop;
    int calls = 0;
    std::optional<WakeScheduleWatcher> watcher{std::in_place, loop, [this] { ++calls; }};

    int emit(std::uint32_t mask) { return loop.emitDirectoryEvent(container, mask); }
};

TEST_F(WakeScheduleWatcherTest, WatchesTheContainerMadeWithItsParents) {
    watcher->start();

    EXPECT_TRUE(std::filesystem::is_directory(container));
    EXPECT_TRUE(watcher->watchesDirectory());
    EXPECT_EQ(emit(IN_CREATE), 1);
    EXPECT_TRUE(log->entries().empty());
}

TEST_F(WakeScheduleWatcherTest, NothingHappensBeforeStart) {
    loop.advance(1min);

    EXPECT_EQ(calls, 0);
    EXPECT_EQ(loop.liveWatches(), 0u);
    EXPECT_FALSE(std::filesystem::exists(container));
}

TEST_F(WakeScheduleWatcherTest, WithoutContainerSaysSoOnceAndPolls) {
    test::ScopedEnvironmentVariable noDataHome("XDG_DATA_HOME", std::nullopt);
    test::ScopedEnvironmentVariable relativeHome("HOME", "relative/home");
    watcher->start();

    EXPECT_FALSE(watcher->watchesDirectory());
    EXPECT_EQ(loop.liveWatches(), 0u);
    loop.advance(5s);
    EXPECT_EQ(calls, 1);
    loop.advance(15s);
    EXPECT_EQ(calls, 4);
    EXPECT_EQ(log->entries(), std::vector{error("No App Group container; relying on poll only")});
}

TEST_F(WakeScheduleWatcherTest, AFailedWatchIsReportedWithItsReasonAndLeavesThePoll) {
    loop.failWatch(container, std::errc::permission_denied);
    watcher->start();

    EXPECT_FALSE(watcher->watchesDirectory());
    EXPECT_EQ(emit(IN_CREATE), 0);
    loop.advance(10s);
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(log->entries(),
              std::vector{error("Failed to open container for watching: Permission denied")});
}

TEST_F(WakeScheduleWatcherTest, EachEventCallsOnceAfterItsCallbackReturned) {
    watcher->start();

    for (const std::uint32_t mask :
         {IN_CREATE, IN_DELETE, IN_MOVED_FROM, IN_MOVED_TO, IN_CREATE | IN_ISDIR, IN_MOVE_SELF,
          IN_DELETE_SELF, IN_Q_OVERFLOW}) {
        const int before = calls;
        emit(mask);
        EXPECT_EQ(calls, before) << "called inside the event's callback, mask " << mask;
        loop.runPending();
        EXPECT_EQ(calls, before + 1) << "mask " << mask;
    }
}

TEST_F(WakeScheduleWatcherTest, TheWatchEndingAfterADeletionIsNotASecondChange) {
    watcher->start();

    emit(IN_DELETE_SELF);
    emit(IN_IGNORED);
    loop.runPending();
    EXPECT_EQ(calls, 1);
}

TEST_F(WakeScheduleWatcherTest, TicksEveryFiveSecondsWhateverHappensBetween) {
    watcher->start();

    loop.advance(4999ms);
    EXPECT_EQ(calls, 0);
    loop.advance(1ms);
    EXPECT_EQ(calls, 1);

    // No debouncing, and no shift of the poll's phase by events.
    loop.advance(2s);
    emit(IN_CREATE);
    emit(IN_CREATE);
    loop.runPending();
    EXPECT_EQ(calls, 3);
    loop.advance(3s);
    EXPECT_EQ(calls, 4);
    loop.advance(10s);
    EXPECT_EQ(calls, 6);
}

TEST_F(WakeScheduleWatcherTest, AfterTheWatcherIsGoneNothingCallsIt) {
    watcher->start();
    emit(IN_CREATE);

    watcher.reset();
    loop.runPending();
    loop.advance(1min);
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(loop.liveWatches() + loop.liveRepeatingTimers(), 0u);
    EXPECT_EQ(emit(IN_CREATE), 0);
}

} // namespace
} // namespace sollun::helper
