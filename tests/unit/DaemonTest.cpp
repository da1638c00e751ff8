#include "SollunWakeDaemon/PowerEventStore.h"
#include "SollunWakeDaemon/RtcWakeAlarm.h"
#include "SollunWakeDaemon/ShutdownArming.h"
#include "SollunWakeDaemon/WakeDaemonService.h"
#include "shared/AtomicFile.h"
#include "tests/support/FakeEventLoop.h"
#include "tests/support/LoopWatchdog.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/inotify.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstring>

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
    ASSERT_EQ(add(at + 999ns), powerSuccess);
    ASSERT_EQ(add(at, "COM.KESTROVANE.SOLLUN"), powerSuccess);
    EXPECT_TRUE(text().starts_with("[\n  {\"time\":\"2026-03-01T23:10:05.123456Z\","
                                   "\"scheduledby\":\"com.kestrovane.sollun\","
                                   "\"eventtype\":\"wakepoweron\"},\n"))
        << text();
    EXPECT_EQ(cancel(at + 1us), powerNotFound);
    EXPECT_EQ(cancel(at + 999ns), powerSuccess); // the same stored microsecond
    EXPECT_EQ(store->eventTimes({}), std::vector{at}) << "the other owner's is kept";
}

TEST_F(PowerEventStoreTest, OtherProgramsElementsSurviveRewritesByteForByte) {
    // What a re-serialisation or a naive split would change, and elements that are not events.
    const Names foreign = {
        R"({"eventtype" : "wake", "time":"2026-03-02T06:00:00.123456789+01:00",)"
        R"( "scheduledby":"com.other", "n":[1, 2.50, 1E2, null, 18446744073709551615]})",
        R"({"scheduledby":"a\"],{b","time":"not a date","eventtype":"wake\u00e9"})",
        R"("text")",
    };
    std::string file = "\xEF\xBB\xBF[\n\t" + foreign[0] + " ,\r\n" + foreign[1];
    file += "," + foreign[2] + "]";
    test::writeFile(store->path(), file);
    ASSERT_EQ(add(start + 1h), powerSuccess);
    ASSERT_EQ(cancel(start + 1h), powerSuccess);
    EXPECT_EQ(text(), "[\n  " + foreign[0] + ",\n  " + foreign[1] + ",\n  " + foreign[2] + "\n]\n");
}

TEST_F(PowerEventStoreTest, AnUnreadableFileIsMovedAsideNeverOverwritten) {
    for (const std::string& bad :
         {std::string("[{\"time\": "), std::string(100, '[') + std::string(100, ']'),
          "[" + std::string(PowerEventStore::fileSizeLimit, ' ') + "]"}) {
        test::TempDir caseDir;
        PowerEventStore corrupt(caseDir.path(), std::make_unique<FakeWakeAlarm>(),
                                [] { return start; });
        test::writeFile(corrupt.path(), bad);
        EXPECT_EQ(corrupt.copyScheduledPowerEvents(), std::nullopt);
        EXPECT_EQ(readSmallFile(caseDir / aside, 8 << 20), bad);
        EXPECT_EQ(corrupt.schedulePowerEvent(start + 1h, ours, wakePowerOn), powerSuccess);
        EXPECT_EQ(corrupt.eventTimes({}), std::vector{start + 1h});
    }
    // A second corrupt file in the same second does not replace the first.
    for (const char* bad : {"first", "second"}) {
        test::writeFile(store->path(), bad);
        EXPECT_EQ(store->copyScheduledPowerEvents(), std::nullopt);
    }
    EXPECT_EQ(test::directoryEntries(dir.path()), (Names{aside, aside + ".1"}));
    EXPECT_EQ(readSmallFile(dir / aside, 64), "first");
}

TEST_F(PowerEventStoreTest, WhatFailsLeavesTheFileAsItWas) {
    ASSERT_EQ(add(start + 2h), powerSuccess);
    ASSERT_EQ(add(start + 3h), powerSuccess);
    const std::string before = text();
    EXPECT_EQ(add(start + 1h, "bad \xff UTF-8"), powerBadArgument);
    // A file size limit fails writes even for root, who ignores permissions.
    rlimit original{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &original), 0);
    const rlimit small{8, original.rlim_max};
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const PowerStatus scheduled = add(start + 1h);
    const PowerStatus cancelled = cancel(start + 2h);
    ::setrlimit(RLIMIT_FSIZE, &original);
    std::signal(SIGXFSZ, previousHandler);
    EXPECT_EQ(scheduled, powerIOError);
    EXPECT_EQ(cancelled, powerIOError);
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
    const std::string earliest = seconds(90min);
    const std::pair<std::string, std::string> heldAndAfter[] = {
        {"", earliest},
        {seconds(10min), seconds(10min)}, // another program's, earlier: left alone
        {seconds(-10min), earliest},          // spent
        {seconds(30min), earliest},           // the schedule's own wake event
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

PowerValue event(std::optional<PowerValue> time, std::string owner,
                 std::optional<std::string> type) {
    PowerDictionary dictionary;
    dictionary.emplace(powerEventOwnerKey, PowerValue{std::move(owner)});
    if (time)
        dictionary.emplace(powerEventTimeKey, *time);
    if (type)
        dictionary.emplace(powerEventTypeKey, PowerValue{*type});
    return {dictionary};
}

// A fixed schedule; every change asked of it is recorded as the operation, its minutes from start
// and its type, and answered with the status the test set.
struct FakePowerEvents final : PowerEvents {
    std::optional<PowerValue> copyScheduledPowerEvents() override {
        return PowerValue{PowerArray{
            event(PowerValue{start + 10min}, "com.kestrovane.sollun", "wakepoweron"),
            event(PowerValue{start + 40min}, "com.kestrovane.sollun", "sleep"), // any type
            event(PowerValue{start + 1h}, "com.example.other", "wakepoweron"),
            event(PowerValue{start + 2h}, "COM.KESTROVANE.SOLLUN", "wakepoweron"),
            event(PowerValue{start + 3h}, "com.kestrovane.sollun", std::nullopt),
            event(PowerValue{std::string("2026-03-02T05:25:00Z")}, "com.kestrovane.sollun", "wake"),
        }};
    }
    PowerStatus cancelScheduledPowerEvent(Instant time, const std::string&,
                                          const std::string& type) override {
        calls.push_back("cancel " + std::to_string((time - start) / 1min) + " " + type);
        return cancelStatus;
    }
    PowerStatus schedulePowerEvent(Instant time, const std::string& owner,
                                   const std::string& type) override {
        calls.push_back("schedule " + std::to_string((time - start) / 1min) + " " + type);
        EXPECT_EQ(owner, productEventOwner);
        return scheduleStatus;
    }
    PowerStatus cancelStatus = powerSuccess;
    PowerStatus scheduleStatus = powerSuccess;
    Names calls;
};

TEST(WakeDaemonService, CancelsTheProductsEventsFirstAndSchedulesOnlyAhead) {
    const Names cancels = {"cancel 10 wakepoweron", "cancel 40 sleep"};
    Names scheduled = cancels;
    scheduled.push_back("schedule 60 wakepoweron");
    const std::tuple<std::optional<Instant>, PowerStatus, PowerStatus, std::optional<std::string>,
                     Names>
        rows[] = {
            {start + 1h, powerSuccess, powerSuccess, std::nullopt, scheduled},
            {std::nullopt, powerSuccess, powerSuccess, std::nullopt, cancels}, // clearWake
            {start + 1s, powerSuccess, powerSuccess, std::nullopt, cancels},   // not ahead: clears
            {start - 1h, powerSuccess, powerSuccess, std::nullopt, cancels},
            // A cancellation that fails does not stop the new wake.
            {start + 1h, powerNotPrivileged, powerSuccess, std::nullopt, scheduled},
            {start + 1h, powerSuccess, powerNotPrivileged,
             "IOPMSchedulePowerEvent failed: 0xe00002c1", scheduled},
        };
    for (const auto& [date, cancelStatus, scheduleStatus, reply, calls] : rows) {
        platform::ScopedMemoryLog log;
        FakePowerEvents events;
        events.cancelStatus = cancelStatus;
        events.scheduleStatus = scheduleStatus;
        WakeDaemonService service{events, [] { return start; }};
        Names replies;
        const auto record = [&](auto text) { replies.push_back(text.value_or("ok")); };
        date ? service.scheduleWakeAt(*date, record) : service.clearWake(record);
        EXPECT_EQ(replies, Names{reply.value_or("ok")});
        EXPECT_EQ(events.calls, calls);
    }
}

} // namespace
} // namespace sollun::daemon
