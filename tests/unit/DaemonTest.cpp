#include "SollunWakeDaemon/PowerEventStore.h"
#include "SollunWakeDaemon/RequestLimit.h"
#include "SollunWakeDaemon/RtcReach.h"
#include "SollunWakeDaemon/RtcSlot.h"
#include "SollunWakeDaemon/RtcWakeAlarm.h"
#include "SollunWakeDaemon/ShutdownArming.h"
#include "SollunWakeDaemon/SleepArming.h"
#include "SollunWakeDaemon/WakeDaemonService.h"
#include "shared/AtomicFile.h"
#include "tests/support/FakeEventLoop.h"
#include "tests/support/LoopWatchdog.h"
#include "tests/support/TempDir.h"
#include "tests/support/Texts.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <csignal>

namespace sollun::daemon {
namespace {

using namespace std::chrono_literals;
using test::FakeEventLoop;
using Names = std::vector<std::string>;

constexpr auto ours = "com.kestrovane.sollun";
constexpr auto wakePowerOn = "wakepoweron";
const Instant start{1'772'403'005s}; // 2026-03-01T22:10:05Z
const std::string aside = "power-events.json.corrupt-20260301T221005Z";

struct FakeWakeAlarm final : WakeAlarm {
    PowerStatus arm(std::optional<Instant> earliest) override {
        armed.push_back(earliest);
        return std::exchange(status, powerSuccess);
    }
    std::string_view name() const override { return "fake"; }
    void setFiredHandler(std::function<void()> handler) override { fired = std::move(handler); }
    std::vector<std::optional<Instant>> armed;
    PowerStatus status = powerSuccess;
    std::function<void()> fired;
};

class PowerEventStoreTest : public ::testing::Test {
protected:
    PowerEventStoreTest() { reopen(); }
    // A new store over the same directory, as the daemon's next run would have.
    void reopen() {
        auto fake = std::make_unique<FakeWakeAlarm>();
        alarm = fake.get();
        store =
            std::make_unique<PowerEventStore>(dir.path(), std::move(fake), [this] { return now; });
    }
    std::string text() const { return readSmallFile(store->path(), 8 << 20).value_or("<absent>"); }
    PowerStatus add(Instant at, const char* owner = ours, const char* type = wakePowerOn) {
        return store->schedulePowerEvent(at, owner, type);
    }
    PowerStatus cancel(Instant at, const char* owner = ours, const char* type = wakePowerOn) {
        return store->cancelScheduledPowerEvent(at, owner, type);
    }

    test::TempDir dir;
    Instant now = start;
    FakeWakeAlarm* alarm = nullptr;
    std::unique_ptr<PowerEventStore> store;
};

TEST_F(PowerEventStoreTest, KeepsMicrosecondsAndCancelsOnlyTheExactMatch) {
    const Instant at = start + 1h + 123'456us;
    ASSERT_EQ(add(at), powerSuccess);
    ASSERT_EQ(add(at, "COM.KESTROVANE.SOLLUN"), powerSuccess);
    EXPECT_TRUE(text().starts_with("[\n  {\"time\":\"2026-03-01T23:10:05.123456Z\","
                                   "\"scheduledby\":\"com.kestrovane.sollun\","
                                   "\"eventtype\":\"wakepoweron\"},\n"))
        << text();
    EXPECT_EQ(cancel(at + 1us), powerNotFound);
    EXPECT_EQ(cancel(at), powerSuccess);
    EXPECT_EQ(store->eventTimes({}), std::vector{at}) << "the other owner's is kept";
}

TEST_F(PowerEventStoreTest, AnUnreadableFileIsMovedAsideNeverOverwritten) {
    std::string tooLarge(PowerEventStore::fileSizeLimit + 2, ' ');
    tooLarge.front() = '[';
    tooLarge.back() = ']';
    using namespace std::string_literals;
    const std::string bad[] = {"[{\"time\": ", std::string(100, '[') + std::string(100, ']'),
                               tooLarge, "[1]\0,2]\n"s};
    for (const auto& text : bad) {
        test::writeFile(store->path(), text);
        EXPECT_EQ(store->copyScheduledPowerEvents(), std::nullopt);
    }
    // Each in the same second, none replacing the one before.
    EXPECT_EQ(test::directoryEntries(dir.path()),
              (Names{aside, aside + ".1", aside + ".2", aside + ".3"}));
    EXPECT_EQ(readSmallFile(dir / aside, 64), bad[0]);
    EXPECT_EQ(readSmallFile(dir / (aside + ".2"), 8 << 20), bad[2]);
    EXPECT_EQ(readSmallFile(dir / (aside + ".3"), 64), bad[3]);
    EXPECT_EQ(add(start + 1h), powerSuccess);
    EXPECT_EQ(store->eventTimes({}), std::vector{start + 1h});
}

TEST_F(PowerEventStoreTest, WhatFailsLeavesTheFileAsItWas) {
    ASSERT_EQ(add(start + 2h), powerSuccess);
    ASSERT_EQ(add(start + 3h), powerSuccess);
    const std::string before = text();
    EXPECT_EQ(add(start + 1h, "bad \xff UTF-8"), powerBadArgument);
    alarm->status = powerNotPrivileged; // hardware that refuses
    EXPECT_EQ(add(start + 1h), powerNotPrivileged);
    EXPECT_EQ(text(), before);
    EXPECT_EQ(test::directoryEntries(dir.path()), Names{"power-events.json"});
    EXPECT_EQ(alarm->armed.back(), start + 2h);
}

TEST_F(PowerEventStoreTest, ArmsTheEarliestFutureWakeEventAfterEveryChangeStartAndWakeUp) {
    // Add or cancel an event of `owner` and `type`, then what is armed.
    const std::tuple<bool, Instant, const char*, const char*, std::optional<Instant>> steps[] = {
        {true, start + 2h, ours, wakePowerOn, start + 2h},
        {true, start + 1h, ours, "poweron", start + 2h}, // powers on, does not wake
        {true, start + 90min, "com.other", "wake", start + 90min},
        {true, start, ours, wakePowerOn, start + 90min}, // not ahead
        {false, start + 90min, "com.other", "wake", start + 2h},
        {false, start + 2h, ours, wakePowerOn, std::nullopt},
        {true, start + 3h, ours, wakePowerOn, start + 3h},
    };
    for (const auto& [schedule, time, owner, type, armed] : steps) {
        EXPECT_EQ(schedule ? add(time, owner, type) : cancel(time, owner, type), powerSuccess);
        EXPECT_EQ(alarm->armed.back(), armed) << (time - start).count();
    }
    reopen();
    EXPECT_EQ(store->rearm(), powerSuccess);
    EXPECT_EQ(alarm->armed, std::vector<std::optional<Instant>>{start + 3h});
    now = start + 3h;
    alarm->fired();
    EXPECT_EQ(alarm->armed.back(), std::nullopt);
}

// The RTC's text for an instant `fromStart` after the start.
std::string seconds(std::chrono::seconds fromStart) {
    return std::to_string((start + fromStart).time_since_epoch() / 1s);
}

// Every value reaches the RTC on its own: through a pipe, the values come out one after another.
TEST(RtcWakeAlarm, ClearsTheSlotBeforeEveryValueAndRoundsUp) {
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_NONBLOCK | O_CLOEXEC), 0);
    test::TempDir dir;
    FakeEventLoop loop;
    RtcWakeAlarm rtc(loop, "/proc/self/fd/" + std::to_string(fds[1]), dir.path());
    EXPECT_EQ(rtc.arm(start + 1h), powerSuccess);
    // A second early could be the RTC's current one, which it takes as "disarm".
    EXPECT_EQ(rtc.arm(start + 1h + 1us), powerSuccess);
    EXPECT_EQ(rtc.arm(std::nullopt), powerSuccess);
    std::string expected = "0";
    expected += seconds(1h) + "0";
    expected += seconds(1h + 1s) + "0";
    char buffer[64];
    EXPECT_EQ(std::string(buffer, std::max<ssize_t>(::read(fds[0], buffer, sizeof buffer), 0)),
              expected);
    ::close(fds[0]);
    ::close(fds[1]);
}

// At run time as at shutdown, another program's alarm that comes first stays in the RTC, whether
// the daemon arms or clears; once whatever the slot holds has passed, the next event goes in.
TEST(RtcWakeAlarm, SharesTheSlotAndArmsAgainOnceItsAlarmHasPassed) {
    test::TempDir dir;
    const auto rtc = dir / "wakealarm";
    test::writeFile(rtc, "");
    FakeEventLoop loop{start};
    PowerEventStore store{dir.path(), std::make_unique<RtcWakeAlarm>(loop, rtc, dir.path()),
                          [&] { return loop.now(); }};
    ASSERT_EQ(store.schedulePowerEvent(start + 5h, "com.other", "poweron"), powerSuccess);
    enum Action { schedule, cancel, passes };
    const struct {
        std::optional<std::string> foreign; // written into the slot first
        Action action;
        const char* owner;
        std::chrono::seconds at;
        std::string after;
    } steps[] = {
        {seconds(1h), schedule, ours, 2h, seconds(1h)},
        {{}, cancel, ours, 2h, seconds(1h)},
        {{}, schedule, ours, 2h, seconds(1h)},
        {{}, passes, "", 1h + 1s, seconds(2h)},
        {{}, cancel, ours, 2h, "0"},
        {seconds(3h), schedule, ours, 2h, seconds(2h)}, // a later one gives way
        {seconds(5h), cancel, ours, 2h, "0"},           // an event of the schedule's is ours
        {{}, schedule, ours, 2h, seconds(2h)},
        {{}, schedule, "com.other", 4h, seconds(2h)},
        {{}, passes, "", 2h + 1s, seconds(4h)},
    };
    for (const auto& step : steps) {
        if (step.foreign)
            test::writeFile(rtc, *step.foreign);
        if (step.action == passes)
            loop.setWallClock(start + step.at);
        else if (step.action == schedule)
            EXPECT_EQ(store.schedulePowerEvent(start + step.at, step.owner, wakePowerOn),
                      powerSuccess);
        else
            EXPECT_EQ(store.cancelScheduledPowerEvent(start + step.at, step.owner, wakePowerOn),
                      powerSuccess);
        EXPECT_EQ(readSmallFile(rtc, 64), step.after)
            << step.action << " " << step.at.count() << " " << step.foreign.value_or("-");
    }
    EXPECT_EQ(readSmallFile(dir / "rtc-poweron", 64), seconds(4h)) << "the last one it wrote";
}

// Past the RTC's reach, the furthest second it takes, left armed; a second past it is refused.
TEST(RtcSlot, ArmsAsFarAsTheRtcReaches) {
    constexpr std::int64_t now = 1'772'403'005, day = 86'400, year9999 = 253'402'300'799;
    const auto einval = std::make_error_code(std::errc::invalid_argument);
    const auto erange = std::make_error_code(std::errc::result_out_of_range);
    const auto eio = std::make_error_code(std::errc::io_error);
    const struct {
        std::int64_t target, last;
        std::error_code beyond;
        std::variant<std::int64_t, std::error_code> armed;
    } rows[] = {
        {year9999, now + 365 * day - 1, einval, now + 365 * day - 1}, // alarm registers: a year
        {year9999, 4'102'444'799, erange, 4'102'444'799},             // a clock that ends in 2099
        {now + 3600, now, einval, einval},
        {now + 2 * day, now + day - 1, eio, eio}, // not a question of reach
    };
    for (const auto& row : rows) {
        std::optional<std::int64_t> slot;
        int writes = 0;
        const auto armed = armWithinReach(row.target, now, [&](std::int64_t seconds) {
            ++writes;
            slot.reset();
            if (seconds > row.last)
                return row.beyond;
            slot = seconds;
            return std::error_code{};
        });
        EXPECT_EQ(armed, row.armed) << row.target << " " << row.last;
        const auto* value = std::get_if<std::int64_t>(&armed);
        EXPECT_EQ(slot, value ? std::optional(*value) : std::nullopt);
        EXPECT_LE(writes, 40) << "halving, not counting";
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
    const std::string earliest = seconds(90min);
    const std::pair<std::string, std::string> heldAndAfter[] = {
        {"", earliest},
        {seconds(10min), seconds(10min)}, // another program's, earlier: left alone
        {seconds(-10min), earliest},      // spent
        {seconds(30min), earliest},       // the schedule's own wake event
        {"soon", earliest},
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

// Arming for sleep over a plain file that stands in for the RTC's slot, refusing (as firmware
// does) alarms further ahead than `rtcReach` from the current second.
class SleepArmingTest : public ::testing::Test {
protected:
    SleepArmingTest() {
        test::writeFile(rtc, "");
        auto fake = std::make_unique<FakeWakeAlarm>();
        alarm = fake.get();
        const auto clock = [this] { return now; };
        store = std::make_unique<PowerEventStore>(
            dir.path(), std::make_unique<WithinRtcReach>(std::move(fake), reach, clock), clock);
        RtcSlot slot{rtc, dir.path(), [this](const auto& path, std::optional<std::int64_t> value) {
                         ++writes;
                         if (value && *value > (now + rtcReach).time_since_epoch() / 1s) {
                             writeRtcAlarm(path, std::nullopt); // cleared, then refused
                             return std::make_error_code(std::errc::invalid_argument);
                         }
                         return writeRtcAlarm(path, value);
                     }};
        arming = std::make_unique<SleepArming>(*store, reach, std::move(slot), delay, clock);
    }
    std::string slot() const { return readSmallFile(rtc, 64).value_or("<absent>"); }

    struct FakeDelay final : SleepDelay {
        void take() override { held = true; }
        void release() override { held = false; }
        bool held = false;
    };

    test::TempDir dir;
    const std::filesystem::path rtc = dir / "wakealarm";
    Instant now = start;
    std::chrono::seconds rtcReach = 24h - 1s;
    int writes = 0;
    RtcReach reach;
    FakeDelay delay;
    FakeWakeAlarm* alarm = nullptr;
    std::unique_ptr<PowerEventStore> store;
    std::unique_ptr<SleepArming> arming;
};

// Another program's earlier alarm stays, a later one gives way; back from sleep only the daemon's
// own alarm that has not gone off is taken out again (another's that gave way put back, not the
// daemon's own earlier one), and the lock is let go and taken again.
TEST_F(SleepArmingTest, ArmsTheRtcForEverySleepAndTakesBackOnlyItsOwnUnspentAlarm) {
    ASSERT_EQ(store->schedulePowerEvent(start + 2h, ours, wakePowerOn), powerSuccess);
    test::writeFile(dir / "rtc-poweron", seconds(5h));
    EXPECT_TRUE(delay.held);
    const struct {
        std::string before;                // in the slot before the sleep
        std::optional<std::string> during; // written into it by another program meanwhile
        std::chrono::seconds slept;        // time asleep
        std::string asleep, after;         // the slot during the sleep, and after it
    } rows[] = {
        {seconds(5h), {}, 1h, seconds(2h), "0"}, // its own, as recorded
        {seconds(1h), {}, 10min, seconds(1h), seconds(1h)},
        {seconds(3h), {}, 10min, seconds(2h), seconds(3h)}, // put back
        {"", seconds(90min), 10min, seconds(2h), seconds(90min)},
        {"", {}, 2h + 1s, seconds(2h), seconds(2h)}, // gone off, as far as the daemon can tell
    };
    int cycle = 0;
    for (const auto& row : rows) {
        now = start;
        test::writeFile(rtc, row.before);
        platform::ScopedMemoryLog log;
        arming->prepareForSleep();
        EXPECT_EQ(slot(), row.asleep) << row.before;
        EXPECT_FALSE(delay.held);
        EXPECT_EQ(alarm->armed.back(), start + 2h);
        if (row.during)
            test::writeFile(rtc, *row.during);
        now += row.slept;
        arming->resumed();
        EXPECT_EQ(slot(), row.after) << row.before;
        EXPECT_TRUE(delay.held);
        if (++cycle == 1) { // the lines operators and the guests' scenarios look for
            EXPECT_EQ(
                test::logLines(*log),
                (Names{"info wakedaemon/daemon: Going to sleep: armed the RTC for " + seconds(2h),
                       "info wakedaemon/daemon: Back from sleep: took back the RTC alarm at " +
                           seconds(2h)}));
        }
    }
    // Nothing to wake for: the slot is not touched.
    ASSERT_EQ(store->cancelScheduledPowerEvent(start + 2h, ours, wakePowerOn), powerSuccess);
    test::writeFile(rtc, seconds(5h));
    arming->prepareForSleep();
    arming->resumed();
    EXPECT_EQ(slot(), seconds(5h));
}

// A wake three days ahead with firmware that reaches a day: each sleep arms the RTC and the alarm
// timer as far as it reaches, the machine wakes there, and the next leg is armed, until the event
// is within reach.
TEST_F(SleepArmingTest, NeverArmsBeyondTheRtcsReachAndArmsTheNextLegAfterAnEarlyWake) {
    const Instant event = start + 72h;
    ASSERT_EQ(store->schedulePowerEvent(event, ours, wakePowerOn), powerSuccess);
    EXPECT_EQ(alarm->armed.back(), start + RtcReach::assumed) << "never asked, a day is assumed";

    arming->prepareForSleep();
    EXPECT_EQ(slot(), seconds(rtcReach));
    EXPECT_EQ(alarm->armed.back(), start + rtcReach);
    EXPECT_LE(writes, 40) << "halving, not counting";

    // The alarm timer wakes the machine at the end of the reach; the RTC's alarm has gone off.
    now = start + rtcReach;
    test::writeFile(rtc, "");
    arming->resumed();
    EXPECT_EQ(alarm->armed.back(), now + rtcReach);
    now += 1h; // awake that long, its alarm timer went off again: the next leg from there
    alarm->fired();
    EXPECT_EQ(alarm->armed.back(), now + rtcReach);

    writes = 0;
    arming->prepareForSleep();
    EXPECT_EQ(slot(), std::to_string((now + rtcReach).time_since_epoch() / 1s));
    EXPECT_EQ(writes, 1) << "where the reach ended last time, tried first";
    arming->resumed();

    now = event - 20h;
    arming->prepareForSleep();
    EXPECT_EQ(slot(), seconds(72h));
    EXPECT_EQ(alarm->armed.back(), event);
}

// Firmware with a month's alarm takes the event itself; the alarm timer, a day short of it while
// nothing was known, then goes as far.
TEST_F(SleepArmingTest, ReachesAsFarAsTheRtcWasSeenToTake) {
    rtcReach = 31 * 24h;
    ASSERT_EQ(store->schedulePowerEvent(start + 72h, ours, wakePowerOn), powerSuccess);
    arming->prepareForSleep();
    EXPECT_EQ(slot(), seconds(72h));
    EXPECT_EQ(alarm->armed.back(), start + 72h);
    // Another program's earlier alarm: ours is not written, and the alarm timer keeps to that.
    arming->resumed();
    test::writeFile(rtc, seconds(1h));
    arming->prepareForSleep();
    EXPECT_EQ(slot(), seconds(1h));
    EXPECT_EQ(alarm->armed.back(), start + 72h);
}

// The daemon's work over the real store: each request cancels its user's events of the product
// first, and those of nobody in particular, in whatever shape, past elements that are no events at
// all; another user's stays; a scheduling adds one only when it lies ahead. Each change is logged
// with the caller; a status in the reply and the log as its unsigned 32-bit pattern, without
// leading zeros.
TEST_F(PowerEventStoreTest, TheServiceReplacesOnlyTheProductsOwnEvents) {
    test::writeFile(store->path(), R"([42, "text", null,
        {"time":"2026-03-01T22:20:05Z","scheduledby":"com.kestrovane.sollun","eventtype":"wake"},
        {"time":"2026-03-01T22:40:05Z","scheduledby":"com.other","eventtype":"wake"},
        {"time":"2026-03-01T22:50:05Z","scheduledby":"com.kestrovane.sollun","eventtype":"x"},
        {"time":"2026-03-02T00:10:05Z","scheduledby":"COM.KESTROVANE.SOLLUN","eventtype":"wake"},
        {"time":"2026-03-02T03:10:05Z","scheduledby":"com.kestrovane.sollun","eventtype":"wake",
         "uid":1001}])");
    WakeDaemonService service{*store, [this] { return now; }};
    const Caller caller{1000, 4242};
    const std::vector<Instant> others{start + 30min, start + 2h, start + 5h};
    auto withOurs = others;
    withOurs.push_back(start + 1h);
    const std::string scheduled = "info wakedaemon/daemon: Scheduled wake at 2026-03-01 23:10:05 "
                                  "+0000 (uid 1000, pid 4242)";
    const struct {
        std::optional<Instant> date; // nothing: clearWake
        PowerStatus armed;           // the hardware's answer
        std::string reply;
        std::vector<Instant> times;
        std::string logged; // nothing logged when empty
    } rows[] = {
        {start + 1h, powerSuccess, "ok", withOurs, scheduled},
        {start - 1h, powerSuccess, "ok", others,
         "info wakedaemon/daemon: scheduleWake: date not in the future; cleared only (uid 1000, "
         "pid 4242)"},
        {start + 1h, powerSuccess, "ok", withOurs, scheduled},
        {std::nullopt, powerSuccess, "ok", others,
         "info wakedaemon/daemon: Cleared wake (uid 1000, pid 4242)"},
        {start + 1h, powerSuccess, "ok", withOurs, scheduled},
        // Failing, it still cancels.
        {start + 90min, powerNotPrivileged, "IOPMSchedulePowerEvent failed: 0xe00002c1", others,
         "error wakedaemon/daemon: IOPMSchedulePowerEvent failed: 0xe00002c1 (uid 1000, pid 4242)"},
        {start + 90min, 0x1f, "IOPMSchedulePowerEvent failed: 0x1f", others,
         "error wakedaemon/daemon: IOPMSchedulePowerEvent failed: 0x1f (uid 1000, pid 4242)"},
        {start + 1s, powerSuccess, "ok", others, ""}, // not a second ahead
    };
    for (const auto& row : rows) {
        platform::ScopedMemoryLog log;
        alarm->status = row.armed;
        Names replies;
        const auto record = [&](auto text) { replies.push_back(text.value_or("ok")); };
        row.date ? service.scheduleWakeAt(caller, *row.date, record)
                 : service.clearWake(caller, record);
        EXPECT_EQ(replies, Names{row.reply}) << row.logged;
        EXPECT_EQ(store->eventTimes({}), row.times) << row.logged;
        EXPECT_EQ(test::logLines(*log), row.logged.empty() ? Names{} : Names{row.logged});
    }
}

// A disk that takes no more fails each request with one line for it, and the cause once for as
// long as it lasts: not once for every write the request and its fallback tried.
TEST_F(PowerEventStoreTest, AFullDiskIsSaidOnceAndEachRequestItCostsOnce) {
    WakeDaemonService service{*store, [this] { return now; }};
    const Caller caller{1000, 4242};
    const auto refused = [&](Instant date) {
        std::optional<std::string> answer;
        service.scheduleWakeAt(caller, date, [&](auto reply) { answer = reply; });
        return answer;
    };
    ASSERT_EQ(refused(start + 1h), std::nullopt);
    const std::string cause =
        "error wakedaemon/daemon: Failed to write " + store->path().string() + ": File too large";
    const std::string refusal = "error wakedaemon/daemon: IOPMSchedulePowerEvent failed: "
                                "0xe00002ca (uid 1000, pid 4242)";
    const std::string cancelFailed = "error wakedaemon/daemon: Failed to cancel prior wake event: "
                                     "0xe00002ca (uid 1000, pid 4242)";
    {
        platform::ScopedMemoryLog log;
        const test::ScopedFileSizeLimit full{1}; // not even "[]"
        EXPECT_EQ(refused(start + 2h), "IOPMSchedulePowerEvent failed: 0xe00002ca");
        EXPECT_EQ(test::logLines(*log), (Names{cause, refusal}));
        EXPECT_EQ(refused(start + 3h), "IOPMSchedulePowerEvent failed: 0xe00002ca");
        service.clearWake(caller, [](auto reply) { EXPECT_EQ(reply, std::nullopt); });
        EXPECT_EQ(test::logLines(*log), (Names{cause, refusal, refusal, cancelFailed}));
    }
    EXPECT_EQ(store->eventTimes({}), std::vector<Instant>{start + 1h});
    // Once a write has gone through, the next fault is said again.
    ASSERT_EQ(refused(start + 2h), std::nullopt);
    platform::ScopedMemoryLog log;
    const test::ScopedFileSizeLimit full{1}; // not even "[]"
    EXPECT_NE(refused(start + 3h), std::nullopt);
    EXPECT_EQ(test::logLines(*log), (Names{cause, refusal}));
}

TEST(RequestLimit, AdmitsABurstThenOneAnIntervalPerUserAndSaysSoOnce) {
    using enum RequestLimit::Verdict;
    RequestLimit limit;
    const RequestLimit::Clock::time_point t0{};
    for (int i = 0; i < RequestLimit::burst; ++i)
        ASSERT_EQ(limit.admit(1000, t0), admitted) << i;
    EXPECT_EQ(limit.admit(1000, t0), firstRefused);
    EXPECT_EQ(limit.admit(1000, t0 + RequestLimit::interval / 2), refused);
    EXPECT_EQ(limit.admit(1001, t0), admitted) << "another user has a bucket of their own";
    // Flooding on, one request an interval gets through; the refusals stay unsaid.
    for (int i = 1; i <= 3; ++i) {
        const auto at = t0 + i * RequestLimit::interval;
        EXPECT_EQ(limit.admit(1000, at), admitted) << i;
        EXPECT_EQ(limit.admit(1000, at), refused) << i;
    }
    // Quiet until the bucket is full again: a whole burst, and a refusal said anew.
    auto later = t0 + (3 + RequestLimit::burst) * RequestLimit::interval;
    for (int i = 0; i < RequestLimit::burst; ++i)
        ASSERT_EQ(limit.admit(1000, later), admitted) << i;
    EXPECT_EQ(limit.admit(1000, later), firstRefused);
}

} // namespace
} // namespace sollun::daemon
