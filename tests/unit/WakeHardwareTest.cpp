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

// How many writers closed the watched file since the last call: one per value written. Opens are
// watched too, since inotify merges identical events that follow each other.
struct CloseCounter {
    int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ~CloseCounter() { ::close(fd); }
    int take() {
        int count = 0;
        alignas(inotify_event) char buffer[4096];
        for (ssize_t length = 0; (length = ::read(fd, buffer, sizeof buffer)) > 0;)
            for (ssize_t offset = 0; offset < length;) {
                inotify_event event{};
                std::memcpy(&event, buffer + offset, sizeof event);
                count += (event.mask & IN_CLOSE_WRITE) != 0 ? 1 : 0;
                offset += static_cast<ssize_t>(sizeof event + event.len);
            }
        return count;
    }
};

TEST(RtcWakeAlarm, ClearsTheSlotBeforeEveryValueAndRoundsUp) {
    test::TempDir dir;
    const auto path = dir / "wakealarm";
    test::writeFile(path, "1772400000\n");
    auto rtc = RtcWakeAlarm::create(path);
    ASSERT_NE(rtc, nullptr);
    CloseCounter closes;
    ::inotify_add_watch(closes.fd, path.c_str(), IN_OPEN | IN_CLOSE_WRITE);
    const std::tuple<std::optional<Instant>, std::string, int> cases[] = {
        {start + 1h, seconds(1h), 2},
        // A second early could be the RTC's current one, which it takes as "disarm".
        {start + 1h + 1ns, seconds(1h + 1s), 2},
        {std::nullopt, "0", 1},
    };
    for (const auto& [earliest, written, writes] : cases) {
        EXPECT_EQ(rtc->arm(earliest), powerSuccess) << written;
        EXPECT_EQ(readSmallFile(path, 64), written);
        EXPECT_EQ(closes.take(), writes) << written;
    }
}

TEST(ShutdownArming, ArmsTheEarliestPowerOnUnlessAnotherProgramHoldsAnEarlierAlarm) {
    test::TempDir dir;
    const auto rtc = dir / "wakealarm";
    FakeEventLoop loop;
    PowerEventStore store{dir.path(), nullptr, [] { return start; }};
    test::writeFile(store.path(), R"([
        {"time":"2026-03-02T00:10:05Z","scheduledby":"a","eventtype":"wakepoweron"},
        {"time":"2026-03-01T23:40:05Z","scheduledby":"com.other","eventtype":"poweron"},
        {"time":"2026-03-01T22:40:05Z","scheduledby":"com.other","eventtype":"wake"},
        {"time":"2026-03-01T21:10:05Z","scheduledby":"com.other","eventtype":"poweron"}])");
    ShutdownArming arming{loop, store, rtc};
    const std::string ours = seconds(90min);
    const std::pair<std::string, std::string> heldAndAfter[] = {
        {"", ours},
        {seconds(10min), seconds(10min)}, // another program's, earlier: left alone
        {seconds(-10min), ours},          // spent
        {seconds(30min), ours},           // the schedule's own wake event
        {"soon", ours},
    };
    for (const auto& [held, after] : heldAndAfter) {
        test::writeFile(rtc, held);
        arming.armForPowerOn();
        EXPECT_EQ(readSmallFile(rtc, 64), after) << held;
    }
    // On SIGTERM; the earlier value still in the RTC is its own, and gives way.
    ASSERT_EQ(store.cancelScheduledPowerEvent(start + 90min, "com.other", "poweron"), powerSuccess);
    loop.post([&] { EXPECT_EQ(loop.emitSignal(SIGTERM), 1); });
    EXPECT_EQ(test::runWithWatchdog(loop), 0);
    EXPECT_EQ(readSmallFile(rtc, 64), seconds(2h));
}

} // namespace
} // namespace sollun::daemon
