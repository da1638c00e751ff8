#include "platform/Log.h"
#include "platform/Task.h"
#include "platform/linux/ChildText.h"
#include "platform/linux/SdEventLoop.h"
#include "platform/linux/XdgDirectories.h"
#include "tests/support/LoopWatchdog.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <functional>
#include <optional>

namespace sollun::platform {
namespace {

using namespace std::chrono_literals;
using test::runWithWatchdog;
using Lines = std::vector<std::string>;

// The base-directory rules every lookup shares: relative values count as unset, relative and
// empty members of a list are skipped, and each variable has its own fallback.
TEST(XdgDirectories, RelativeValuesCountAsUnsetAndEachVariableFallsBackItsOwnWay) {
    using Paths = std::vector<std::filesystem::path>;
    using test::ScopedEnvironmentVariable;
    const std::optional<std::string> unset;
    EXPECT_EQ(colonSeparated("a::/b:"), (std::vector<std::string_view>{"a", "", "/b"}));
    EXPECT_EQ(colonSeparated(""), std::vector<std::string_view>{});
    const struct {
        std::optional<std::string> dataHome, configHome, home;
        std::optional<std::filesystem::path> wantDataHome, wantConfigHome;
    } homes[] = {
        {"/d", "/c", "/h", "/d", "/c"},
        {"rel", "rel", "/h", "/h/.local/share", "/h/.config"},
        {unset, unset, "/h", "/h/.local/share", "/h/.config"},
        {unset, unset, "rel", std::nullopt, std::nullopt},
    };
    for (const auto& row : homes) {
        const ScopedEnvironmentVariable dataHome("XDG_DATA_HOME", row.dataHome),
            configHome("XDG_CONFIG_HOME", row.configHome), home("HOME", row.home);
        EXPECT_EQ(xdg::dataHome(), row.wantDataHome) << row.home.value_or("-");
        // Without $HOME the user database answers for the configuration's home.
        if (row.wantConfigHome) {
            EXPECT_EQ(xdg::configHome(), row.wantConfigHome);
        }
    }
    // A list that names only relative members names none; only the data list's fallback is for an
    // empty value alone.
    const Paths usualData{"/usr/local/share/", "/usr/share/"}, usualConfig{"/etc/xdg"};
    const struct {
        std::optional<std::string> value;
        Paths wantDataDirs, wantConfigDirs;
    } lists[] = {
        {"/x:rel::/y/", {"/x", "/y/"}, {"/x", "/y/"}},
        {"", usualData, usualConfig},
        {unset, usualData, usualConfig},
        {"rel", {}, usualConfig},
    };
    for (const auto& row : lists) {
        const ScopedEnvironmentVariable dataDirs("XDG_DATA_DIRS", row.value),
            configDirs("XDG_CONFIG_DIRS", row.value);
        EXPECT_EQ(xdg::dataDirs(), row.wantDataDirs) << row.value.value_or("-");
        EXPECT_EQ(xdg::configDirs(), row.wantConfigDirs) << row.value.value_or("-");
    }
}

// Posted tasks run after the current callback, in order, and those they post after them; a deferred
// task runs in its place among them, unless its source went first. An owner's deferred tasks run in
// order; one of them may end the owner, and those left then never run.
TEST(EventLoop, PostedAndDeferredTasksRunAfterTheCurrentCallbackInOrder) {
    SdEventLoop loop;
    Lines order;
    Source kept, dropped;
    auto owner = std::make_unique<DeferredTasks>(loop);
    auto timer = loop.addWallTimer(loop.now(), [&] {
        loop.post([&] {
            order.push_back("first");
            loop.post([&] {
                order.push_back("posted by a task");
                loop.exit(0);
            });
        });
        kept = loop.defer([&] { order.push_back("kept"); });
        dropped = loop.defer([&] { order.push_back("dropped"); });
        owner->defer([&] { order.push_back("owner's first"); });
        owner->defer([&] {
            order.push_back("owner's second");
            owner.reset();
        });
        owner->defer([&] { order.push_back("owner's third"); });
        loop.post([&] { order.push_back("second"); });
        dropped.reset();
        order.push_back("callback returned");
    });
    ASSERT_EQ(runWithWatchdog(loop), 0);
    EXPECT_EQ(order, (Lines{"callback returned", "first", "kept", "owner's first", "owner's second",
                            "second", "posted by a task"}));
}

// A repeating timer every millisecond would report again well before the loop stops.
TEST(EventLoop, ASourceMayDestroyItselfInItsOwnCallback) {
    SdEventLoop loop;
    int reported = 0;
    Source tick, stop;
    tick = loop.addRepeatingTimer(1ms, [&] {
        ++reported;
        tick.reset();
        stop = loop.addWallTimer(loop.now() + 20ms, [&] { loop.exit(0); });
    });
    ASSERT_EQ(runWithWatchdog(loop), 0);
    EXPECT_EQ(reported, 1);
}

// A started task goes with its source, wherever it waits: what it waited for then resumes
// nothing, and the result goes nowhere.
TEST(Task, AStartedTaskGoesWithItsSource) {
    SdEventLoop loop;
    std::optional<Completion<int>> later;
    bool ended = false;
    auto waiting = start(
        loop,
        [](EventLoop& l, std::optional<Completion<int>>& out) -> Task<int> {
            co_return co_await awaitCompletion<int>(l,
                                                    [&out](Completion<int> done) { out = done; });
        }(loop, later),
        [&](int) { ended = true; });
    loop.post([&] {
        ASSERT_TRUE(later) << "the task has started and waits";
        waiting.reset();
        EXPECT_TRUE((*later)(1));
        loop.post([&] { loop.exit(0); });
    });
    ASSERT_EQ(runWithWatchdog(loop), 0);
    EXPECT_FALSE(ended);
}

// The text comes back, an empty one too; no text, a killed child, an oversized text and a child
// that never ends all give nothing, and none leaves a child behind. That it runs in a child at all
// is the next test's.
TEST(ChildText, GivesTheChildsTextOrNothingWhenTheChildFailsOrHangs) {
    using Text = std::optional<std::string>;
    const std::pair<std::function<Text()>, Text> cases[] = {
        {[] { return Text("made"); }, "made"},
        {[] { return Text(""); }, ""},
        {[] { return Text(); }, std::nullopt},
        {[] {
             raise(SIGKILL); // as the OOM killer would
             return Text("never");
         },
         std::nullopt},
        {[] { return Text(std::string(5000, 'x')); }, std::nullopt},
    };
    for (const auto& [make, expected] : cases)
        EXPECT_EQ(textFromChild(make, 10s), expected);
    EXPECT_EQ(textFromChild(
                  []() -> Text {
                      pause();
                      return "late";
                  },
                  200ms),
              std::nullopt);
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1) << "no child left to reap";
}

// The child holds the user's group alone (real, effective, saved, file system) and none of the
// caller's descriptors; as root, also when its parent is in the helper's state: the group kept as
// the saved one. (That it has no environment is the dates' test: ICU_DATA reaches nothing.)
TEST(ChildText, TheChildHoldsOnlyItsUsersGroupAndNoneOfTheCallersDescriptors) {
    const auto childsGroups = [] {
        return textFromChild(
            []() -> std::optional<std::string> {
                const std::string status = test::readFile("/proc/self/status");
                const auto line = status.find("\nGid:") + 1;
                return status.substr(line, status.find('\n', line) - line);
            },
            10s);
    };
    const std::string real = std::to_string(getgid());
    EXPECT_EQ(childsGroups(), "Gid:\t" + real + "\t" + real + "\t" + real + "\t" + real);
    const int descriptor = dup(2);
    EXPECT_EQ(textFromChild(
                  [descriptor]() -> std::optional<std::string> {
                      return fcntl(descriptor, F_GETFD) < 0 ? "closed" : "open";
                  },
                  10s),
              "closed");
    close(descriptor);

    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to hold a saved group other than the real one";
    const auto asTheHelper = textFromChild(
        [&]() -> std::optional<std::string> {
            if (setresgid(65534, 65534, 4242) != 0)
                return std::nullopt;
            return childsGroups();
        },
        20s);
    EXPECT_EQ(asTheHelper, "Gid:\t65534\t65534\t65534\t65534");
}

} // namespace
} // namespace sollun::platform
