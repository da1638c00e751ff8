#include "SollunWakeDaemon/PowerEventStore.h"

#include "platform/Log.h"
#include "shared/AtomicFile.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <csignal>

namespace sollun::daemon {
namespace {

using namespace std::chrono_literals;
using test::directoryEntries;
using Names = std::vector<std::string>;

constexpr auto ours = "com.kestrovane.sollun";
constexpr auto wakePowerOn = "wakepoweron";
const Instant start{1'772'403'005s}; // 2026-03-01T22:10:05Z
const std::string aside = "power-events.json.corrupt-20260301T221005Z";

PowerValue event(Instant time, std::string owner, std::string type) {
    return {PowerDictionary{
        {"time", {time}}, {"scheduledby", {std::move(owner)}}, {"eventtype", {std::move(type)}}}};
}

// Records every arming; answers with `status`.
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
    std::string fileText() const {
        return readSmallFile(dir / "power-events.json", 8 << 20).value_or("<absent>");
    }
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

TEST_F(PowerEventStoreTest, KeepsEventsToTheMicrosecondAndCancelsOnlyTheExactMatch) {
    EXPECT_EQ(store->copyScheduledPowerEvents(), std::nullopt);
    const Instant at = start + 1h + 123'456us;
    ASSERT_EQ(add(at + 999ns), powerSuccess);
    // Before 1970 the fraction is still cut towards the past, not towards zero.
    ASSERT_EQ(add(Instant{-1ns}, "com.other", "wake"), powerSuccess);
    PowerArray expected{event(at, ours, wakePowerOn), event(Instant{-1us}, "com.other", "wake")};
    // Differing in one field each, and so kept by the cancellation below.
    for (const auto& [time, owner, type] : {std::tuple{at, "com.other", wakePowerOn},
                                            {at, ours, "wake"},
                                            {at + 1us, ours, wakePowerOn},
                                            {at, "COM.KESTROVANE.SOLLUN", wakePowerOn}}) {
        ASSERT_EQ(add(time, owner, type), powerSuccess);
        expected.push_back(event(time, owner, type));
    }
    reopen();
    EXPECT_EQ(store->copyScheduledPowerEvents(), PowerValue{expected});
    EXPECT_TRUE(fileText().starts_with("[\n  {\"time\":\"2026-03-01T23:10:05.123456Z\","
                                       "\"scheduledby\":\"com.kestrovane.sollun\","
                                       "\"eventtype\":\"wakepoweron\"},\n"))
        << fileText();

    EXPECT_EQ(cancel(at + 999ns), powerSuccess); // below the stored microsecond: the same event
    EXPECT_EQ(cancel(at), powerNotFound);
    EXPECT_EQ(cancel(Instant{-1us}, "com.other", "wake"), powerSuccess);
    expected.erase(expected.begin(), expected.begin() + 2);
    EXPECT_EQ(store->copyScheduledPowerEvents(), PowerValue{expected});
}

TEST_F(PowerEventStoreTest, OtherProgramsElementsSurviveRewritesByteForByte) {
    // Key order, number spellings, escapes and brackets inside strings that a re-serialisation
    // or a naive split would change, and elements that are not events at all.
    const std::vector<std::string> foreign = {
        R"({"eventtype" : "wake", "time":"2026-03-02T06:00:00.123456789+01:00",)"
        R"( "scheduledby":"com.other", "n":[1, 2.50, 1E2, null, 18446744073709551615]})",
        R"({"scheduledby":"a\"],{b","time":"not a date","eventtype":"wake\u00e9"})",
        R"("text")",
    };
    test::writeFile(store->path(), "\xEF\xBB\xBF[\n\t" + foreign[0] + " ,\r\n" + foreign[1] + "," +
                                       foreign[2] + "]");
    ASSERT_EQ(add(start + 1h), powerSuccess);
    ASSERT_EQ(cancel(start + 1h), powerSuccess);
    EXPECT_EQ(fileText(),
              "[\n  " + foreign[0] + ",\n  " + foreign[1] + ",\n  " + foreign[2] + "\n]\n");

    // Another program's event is listed and cancelled by its own instant, fraction and all.
    const Instant fromOther = Instant{1'772'427'600s} + 123'456'789ns;
    const auto listed = store->copyScheduledPowerEvents();
    ASSERT_TRUE(listed);
    const auto& first = std::get<PowerDictionary>(std::get<PowerArray>(listed->value)[0].value);
    EXPECT_EQ(first.at("time"), PowerValue{fromOther});
    EXPECT_EQ(cancel(fromOther, "com.other", "wake"), powerSuccess);
    EXPECT_EQ(fileText(), "[\n  " + foreign[1] + ",\n  " + foreign[2] + "\n]\n");
}

TEST_F(PowerEventStoreTest, AnUnreadableFileIsMovedAsideNeverOverwritten) {
    const std::string tooLarge = "[" + std::string(PowerEventStore::fileSizeLimit, ' ') + "]";
    for (const std::string& text : {std::string("[{\"time\": "), std::string(),
                                    std::string(100, '[') + std::string(100, ']'), tooLarge}) {
        SCOPED_TRACE(text.substr(0, 16));
        test::TempDir caseDir;
        PowerEventStore corrupt(caseDir.path(), std::make_unique<FakeWakeAlarm>(),
                                [] { return start; });
        test::writeFile(corrupt.path(), text);
        platform::ScopedMemoryLog log;
        EXPECT_EQ(corrupt.copyScheduledPowerEvents(), std::nullopt);
        EXPECT_EQ(directoryEntries(caseDir.path()), Names{aside});
        EXPECT_EQ(readSmallFile(caseDir / aside, 8 << 20), text);
        EXPECT_EQ(log->messages().size(), 1u);
        EXPECT_EQ(corrupt.schedulePowerEvent(start + 1h, ours, wakePowerOn), powerSuccess);
        EXPECT_EQ(corrupt.copyScheduledPowerEvents(),
                  PowerValue{PowerArray{event(start + 1h, ours, wakePowerOn)}});
    }
    // A second corrupt file in the same second does not replace the first.
    for (const char* text : {"first", "second"}) {
        test::writeFile(store->path(), text);
        EXPECT_EQ(store->copyScheduledPowerEvents(), std::nullopt);
    }
    EXPECT_EQ(directoryEntries(dir.path()), (Names{aside, aside + ".1"}));
    EXPECT_EQ(readSmallFile(dir / aside, 64), "first");
}

TEST_F(PowerEventStoreTest, WhatFailsLeavesTheFileAsItWas) {
    for (const auto& [owner, type] : {std::pair{"", wakePowerOn}, std::pair{ours, ""},
                                      std::pair{"bad \xff UTF-8", wakePowerOn}})
        EXPECT_EQ(add(start + 1h, owner, type), powerBadArgument) << owner;
    EXPECT_TRUE(alarm->armed.empty());
    ASSERT_EQ(add(start + 2h), powerSuccess);
    ASSERT_EQ(add(start + 3h), powerSuccess);
    const std::string before = fileText();

    // A file size limit fails writes even for root, who ignores permissions.
    platform::ScopedMemoryLog log;
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
    EXPECT_EQ(fileText(), before);
    EXPECT_EQ(directoryEntries(dir.path()), Names{"power-events.json"});
    // The new event was armed before the write failed; the old earliest is armed again.
    EXPECT_EQ(alarm->armed.back(), start + 2h);

    // Hardware that refuses: its status comes back, the previous schedule stays armed.
    alarm->status = powerNotPrivileged;
    EXPECT_EQ(add(start + 1h), powerNotPrivileged);
    EXPECT_EQ(fileText(), before);
    EXPECT_EQ(alarm->armed.back(), start + 2h);
}

TEST_F(PowerEventStoreTest, ArmsTheEarliestFutureWakeEventAfterEveryChangeStartAndWakeUp) {
    const struct {
        bool schedule;
        Instant time;
        const char* owner;
        const char* type;
        std::optional<Instant> armed;
    } steps[] = {
        {true, start + 2h, ours, wakePowerOn, start + 2h},
        {true, start + 1h, ours, "poweron", start + 2h}, // powers on, does not wake
        {true, start + 90min, "com.other", "wake", start + 90min},
        {true, start - 1h, ours, wakePowerOn, start + 90min}, // already past
        {true, start, ours, wakePowerOn, start + 90min},      // now is not ahead
        {false, start + 90min, "com.other", "wake", start + 2h},
        {false, start + 2h, ours, wakePowerOn, std::nullopt},
        {true, start + 3h, ours, wakePowerOn, start + 3h},
        {true, start + 4h, ours, "wake", start + 3h},
    };
    for (const auto& step : steps) {
        EXPECT_EQ(step.schedule ? add(step.time, step.owner, step.type)
                                : cancel(step.time, step.owner, step.type),
                  powerSuccess);
        EXPECT_EQ(alarm->armed.back(), step.armed) << (step.time - start).count();
    }
    reopen();
    EXPECT_EQ(store->rearm(), powerSuccess);
    EXPECT_EQ(alarm->armed, std::vector<std::optional<Instant>>{start + 3h});
    for (const auto& [passed, next] : {std::pair{start + 3h, std::optional{start + 4h}},
                                       std::pair{start + 4h, std::optional<Instant>{}}}) {
        now = passed;
        alarm->fired();
        EXPECT_EQ(alarm->armed.back(), next);
    }
}

} // namespace
} // namespace sollun::daemon
