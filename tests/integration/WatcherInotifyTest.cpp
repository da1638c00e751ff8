#include "SollunHelper/WakeScheduleWatcher.h"
#include "platform/Log.h"
#include "platform/linux/SdEventLoop.h"
#include "shared/AppGroup.h"
#include "shared/AtomicFile.h"
#include "tests/support/LoopWatchdog.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace sollun::helper {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// Well below the poll's 5 seconds: a call within it came from the watch.
constexpr auto beforeTheFirstTick = 2s;

// The watcher on a real loop and a real container; the loop ends at the first call.
class WatcherInotifyTest : public ::testing::Test {
protected:
    void SetUp() override { fs::create_directories(container); }

    void start() {
        watcher.emplace(loop, [this] {
            ++calls;
            loop.exit(0);
        });
        watcher->start();
        ASSERT_TRUE(watcher->watchesDirectory());
        started = std::chrono::steady_clock::now();
    }

    test::TempDir dataHome;
    test::ScopedEnvironmentVariable xdg{"XDG_DATA_HOME", dataHome.path().string()};
    fs::path container = *appGroupContainerURL();

    platform::SdEventLoop loop;
    int calls = 0;
    std::chrono::steady_clock::time_point started;
    std::optional<WakeScheduleWatcher> watcher;
};

TEST_F(WatcherInotifyTest, AddingAFileCallsBeforeTheTick) {
    start();
    test::writeFile(container / "wake-schedule.json", "{}");

    EXPECT_EQ(test::runWithWatchdog(loop, beforeTheFirstTick), 0);
}

TEST_F(WatcherInotifyTest, RemovingAFileCallsBeforeTheTick) {
    test::writeFile(container / "wake-schedule.json", "{}");
    start();
    fs::remove(container / "wake-schedule.json");

    EXPECT_EQ(test::runWithWatchdog(loop, beforeTheFirstTick), 0);
}

TEST_F(WatcherInotifyTest, RenamingAFileThereCallsBeforeTheTick) {
    test::writeFile(container / "draft", "{}");
    start();
    fs::rename(container / "draft", container / "wake-schedule.json");

    EXPECT_EQ(test::runWithWatchdog(loop, beforeTheFirstTick), 0);
}

TEST_F(WatcherInotifyTest, AnAtomicReplaceCallsBeforeTheTick) {
    ASSERT_FALSE(writeFileAtomically(container / "helper-status.json", "{}"));
    start();
    ASSERT_FALSE(writeFileAtomically(container / "helper-status.json", "{\"v\":2}"));

    EXPECT_EQ(test::runWithWatchdog(loop, beforeTheFirstTick), 0);
}

TEST_F(WatcherInotifyTest, MovingTheContainerAwayCallsBeforeTheTick) {
    start();
    fs::rename(container, dataHome / "moved");

    EXPECT_EQ(test::runWithWatchdog(loop, beforeTheFirstTick), 0);
}

// The one test that waits for the poll, about 5 seconds.
TEST_F(WatcherInotifyTest, AfterTheContainerIsDeletedThePollCarriesOn) {
    start();
    fs::remove(container);
    EXPECT_EQ(test::runWithWatchdog(loop, beforeTheFirstTick), 0);
    // The end of the watch that follows a deletion must not have counted as a second change.
    EXPECT_EQ(calls, 1);

    // A new directory in the same place is not watched: only the tick sees this.
    fs::create_directories(container);
    test::writeFile(container / "wake-schedule.json", "{}");
    EXPECT_EQ(test::runWithWatchdog(loop, WakeScheduleWatcher::pollInterval + 2s), 0);
    EXPECT_EQ(calls, 2);
    EXPECT_GE(std::chrono::steady_clock::now() - started, WakeScheduleWatcher::pollInterval - 50ms);
}

TEST_F(WatcherInotifyTest, AContainerThatIsNotADirectoryLeavesThePollAlone) {
    platform::ScopedMemoryLog log;
    fs::remove(container);
    test::writeFile(container, "");
    WakeScheduleWatcher polling(loop, [] {});
    polling.start();

    EXPECT_FALSE(polling.watchesDirectory());
    EXPECT_EQ(log->messages(),
              std::vector<std::string>{"Failed to open container for watching: Not a directory"});
}

} // namespace
} // namespace sollun::helper
