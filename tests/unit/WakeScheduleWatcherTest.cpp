#include "SollunHelper/WakeScheduleWatcher.h"

#include "platform/Log.h"
#include "shared/AppGroup.h"
#include "tests/support/FakeEventLoop.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/inotify.h>

namespace sollun::helper {
namespace {

using namespace std::chrono_literals;

// The real events of a real directory are the integration suite's; here, what the watcher makes
// of them, its poll, and the poll alone when there is nothing to watch.
class WakeScheduleWatcherTest : public ::testing::Test {
protected:
    int emit(std::uint32_t mask) { return loop.emitDirectoryEvent(container, mask); }

    // The container's parent is set aside but not made: the watcher makes the whole path.
    test::TempDir home;
    test::ScopedEnvironmentVariable dataHome{"XDG_DATA_HOME", (home / "data").string()};
    std::filesystem::path container = *appGroupContainerURL();
    platform::ScopedMemoryLog log;
    test::FakeEventLoop loop;
    int calls = 0;
    std::optional<WakeScheduleWatcher> watcher{std::in_place, loop, [this] { ++calls; }};
};

TEST_F(WakeScheduleWatcherTest, AnEventCallsOnceAfterItsCallbackAndThePollKeepsItsPhase) {
    loop.advance(1min);
    watcher->start();
    EXPECT_TRUE(watcher->watchesDirectory());
    emit(IN_MOVED_TO);
    EXPECT_EQ(calls, 0) << "called inside the event's callback";
    loop.runPending();
    EXPECT_EQ(calls, 1);
    emit(IN_DELETE_SELF);
    emit(IN_IGNORED); // the watch ending after a deletion is not a second change
    loop.advance(4999ms);
    EXPECT_EQ(calls, 2);
    loop.advance(1ms); // five seconds after start, whatever came between
    EXPECT_EQ(calls, 3);
}

TEST_F(WakeScheduleWatcherTest, WithoutAWatchItPolls) {
    for (const bool hasContainer : {false, true}) {
        std::optional<test::ScopedEnvironmentVariable> noDataHome;
        if (!hasContainer)
            noDataHome.emplace("XDG_DATA_HOME", std::nullopt);
        test::ScopedEnvironmentVariable relativeHome("HOME", "relative/home");
        calls = 0;
        loop.failWatch(container, std::errc::permission_denied);
        watcher.emplace(loop, [this] { ++calls; });
        watcher->start();
        EXPECT_FALSE(watcher->watchesDirectory());
        EXPECT_EQ(emit(IN_CREATE), 0);
        loop.advance(20s);
        EXPECT_EQ(calls, 4);
    }
}

} // namespace
} // namespace sollun::helper
