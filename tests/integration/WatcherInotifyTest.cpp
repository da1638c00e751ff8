#include "SollunHelper/WakeScheduleWatcher.h"
#include "platform/linux/SdEventLoop.h"
#include "shared/AppGroup.h"
#include "tests/support/LoopWatchdog.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <functional>

namespace sollun::helper {
namespace {

namespace fs = std::filesystem;

// Each kind of change is seen through the kernel's watch, well before the poll's first tick (5 s).
TEST(WatcherInotifyTest, EveryKindOfChangeInTheContainerIsSeenBeforeThePoll) {
    const test::TempDir dataHome;
    const test::ScopedEnvironmentVariable xdg{"XDG_DATA_HOME", dataHome.path().string()};
    const fs::path container = *appGroupContainerURL();
    const auto file = container / "wake-schedule.json";
    const struct {
        const char* what;
        std::function<void()> before, change;
    } cases[] = {
        {"a file added", [] {}, [&] { test::writeFile(file, "{}"); }},
        {"a file removed", [&] { test::writeFile(file, "{}"); }, [&] { fs::remove(file); }},
        {"a file renamed into place", [&] { test::writeFile(container / "draft", "{}"); },
         [&] { fs::rename(container / "draft", file); }},
        {"the container moved away", [] {}, [&] { fs::rename(container, dataHome / "moved"); }},
        {"the container deleted", [] {}, [&] { fs::remove(container); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(dataHome / "moved");
        fs::remove_all(container);
        fs::create_directories(container);
        c.before();
        platform::SdEventLoop loop;
        WakeScheduleWatcher watcher(loop, [&] { loop.exit(0); });
        watcher.start();
        ASSERT_TRUE(watcher.watchesDirectory());
        c.change();
        EXPECT_EQ(test::runWithWatchdog(loop, std::chrono::seconds(2)), 0);
    }
}

} // namespace
} // namespace sollun::helper
