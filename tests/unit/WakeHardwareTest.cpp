#include "SollunWakeDaemon/PowerEventStore.h"
#include "SollunWakeDaemon/RtcWakeAlarm.h"
#include "SollunWakeDaemon/ShutdownArming.h"
#include "shared/AtomicFile.h"
#include "tests/support/FakeEventLoop.h"
#include "tests/support/LoopWatchdog.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/inotify.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <string>

namespace sollun::daemon {
namespace {

using namespace std::chrono_literals;
using test::FakeEventLoop;

const Instant start = FakeEventLoop::defaultStart;
const std::int64_t startSeconds = 1'772'403'005;

std::string seconds(std::chrono::seconds fromStart) {
    return std::to_string(startSeconds + fromStart.count());
}

// How many writers closed `path` since the last call: one per value written. Opens are watched
// too, since inotify merges identical events that follow each other.
class CloseCounter {
public:
    explicit CloseCounter(const std::filesystem::path& path)
        : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
        ::inotify_add_watch(fd_, path.c_str(), IN_OPEN | IN_CLOSE_WRITE);
    }
    ~CloseCounter() { ::close(fd_); }
    int take() {
        int count = 0;
        alignas(inotify_event) char buffer[4096];
        for (ssize_t length = 0; (length = ::read(fd_, buffer, sizeof buffer)) > 0;) {
            for (ssize_t offset = 0; offset < length;) {
                inotify_event event{};
                std::memcpy(&event, buffer + offset, sizeof event);
                count += (event.mask & IN_CLOSE_WRITE) != 0 ? 1 : 0;
                offset += static_cast<ssize_t>(sizeof event + event.len);
            }
        }
        return count;
    }

private:
    int fd_;
};

TEST(RtcWakeAlarm, ClearsTheSlotBeforeEveryValueAndRoundsUp) {
    test::TempDir dir;
    const auto path = dir / "wakealarm";
    EXPECT_EQ(RtcWakeAlarm::create(path), nullptr);
    EXPECT_EQ(RtcWakeAlarm(path).arm(start + 1h), powerIOError);
    EXPECT_EQ(test::directoryEntries(dir.path()), std::vector<std::string>{});

    test::writeFile(path, "1772400000\n");
    auto rtc = RtcWakeAlarm::create(path);
    ASSERT_NE(rtc, nullptr);
    CloseCounter closes(path);
    const struct {
        std::optional<Instant> earliest;
        std::string written;
        int writes;
    } cases[] = {
        {start + 1h, seconds(1h), 2},
        // A second early could be the RTC's current one, which it takes as "disarm".
        {start + 1h + 1ns, seconds(1h + 1s), 2},
        {std::nullopt, "0", 1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(rtc->arm(c.earliest), powerSuccess) << c.written;
        EXPECT_EQ(readSmallFile(path, 64), c.written);
        EXPECT_EQ(closes.take(), c.writes) << c.written;
    }
}

class ShutdownArmingTest : public ::testing::Test {
protected:
    ShutdownArmingTest() {
        test::writeFile(rtcPath, "");
        test::writeFile(store.path(), R"([
            {"time":"2026-03-02T00:10:05Z","scheduledby":"a","eventtype":"wakepoweron"},
            {"time":"2026-03-01T23:40:05Z","scheduledby":"com.other","eventtype":"poweron"},
            {"time":"2026-03-01T22:40:05Z","scheduledby":"com.other","eventtype":"wake"},
            {"time":"2026-03-01T21:10:05Z","scheduledby":"com.other","eventtype":"poweron"}
        ])");
    }

    // SIGTERM while the loop runs.
    void terminate() {
        loop.post([this] { EXPECT_EQ(loop.emitSignal(SIGTERM), 1); });
        EXPECT_EQ(test::runWithWatchdog(loop), 0);
    }

    test::TempDir dir;
    const std::filesystem::path rtcPath = dir / "wakealarm";
    FakeEventLoop loop;
    PowerEventStore store{dir.path(), nullptr, [] { return start; }};
    ShutdownArming arming{loop, store, rtcPath};
};

TEST_F(ShutdownArmingTest, ArmsTheEarliestPowerOnUnlessAnotherProgramsAlarmComesFirst) {
    const std::string ours = seconds(90min);
    const std::pair<std::string, std::string> heldAndAfter[] = {
        {"", ours},
        {seconds(10min), seconds(10min)}, // another program's, earlier: left alone
        {seconds(-10min), ours},          // spent
        {seconds(30min), ours},           // the schedule's own wake event
        {"soon", ours},
    };
    for (const auto& [held, after] : heldAndAfter) {
        test::writeFile(rtcPath, held);
        arming.armForPowerOn();
        EXPECT_EQ(readSmallFile(rtcPath, 64), after) << held;
    }
}

TEST_F(ShutdownArmingTest, KnowsItsOwnEarlierArmingAndLeavesTheRtcWithNothingToDo) {
    terminate();
    ASSERT_EQ(readSmallFile(rtcPath, 64), seconds(90min));
    // The event it armed for moves later; the RTC still holds the old value, which is ours.
    ASSERT_EQ(store.cancelScheduledPowerEvent(start + 90min, "com.other", "poweron"), powerSuccess);
    terminate();
    EXPECT_EQ(readSmallFile(rtcPath, 64), seconds(2h));

    ASSERT_EQ(store.cancelScheduledPowerEvent(start + 2h, "a", "wakepoweron"), powerSuccess);
    test::writeFile(rtcPath, "1772400000");
    terminate();
    EXPECT_EQ(readSmallFile(rtcPath, 64), "1772400000");
}

} // namespace
} // namespace sollun::daemon
