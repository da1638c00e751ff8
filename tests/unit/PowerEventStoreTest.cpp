#include "SollunWakeDaemon/PowerEventStore.h"

#include "platform/Log.h"
#include "shared/AtomicFile.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <csignal>
#include <deque>

namespace sollun::daemon {
namespace {

using namespace std::chrono_literals;
using test::directoryEntries;
using Names = std::vector<std::string>;

constexpr auto ours = "com.kestrovane.sollun";
constexpr auto wakePowerOn = "wakepoweron";
const Instant start{1'772'403'005s}; // 2026-03-01T22:10:05Z

PowerValue event(Instant time, std::string owner, std::string type) {
    return {PowerDictionary{
        {"time", {time}}, {"scheduledby", {std::move(owner)}}, {"eventtype", {std::move(type)}}}};
}

// Records every arming; answers with the queued statuses, then with success.
class FakeWakeAlarm final : public WakeAlarm {
public:
    PowerStatus arm(std::optional<Instant> earliest) override {
        armed.push_back(earliest);
        const PowerStatus status = statuses.empty() ? powerSuccess : statuses.front();
        if (!statuses.empty()) {
            statuses.pop_front();
        }
        return status;
    }
    std::string_view name() const override { return "fake"; }
    void setFiredHandler(std::function<void()> handler) override { fired = std::move(handler); }

    std::vector<std::optional<Instant>> armed;
    std::deque<PowerStatus> statuses;
    std::function<void()> fired;
};

class PowerEventStoreTest : public ::testing::Test {
protected:
    PowerEventStoreTest() { reopen(); }

    // A new store over the same directory, as the daemon's next run would have.
    void reopen(bool withHardware = true) {
        auto fake = withHardware ? std::make_unique<FakeWakeAlarm>() : nullptr;
        alarm = fake.get();
        store =
            std::make_unique<PowerEventStore>(dir.path(), std::move(fake), [this] { return now; });
    }
    std::string fileText() const {
        return readSmallFile(dir / "power-events.json", 8 << 20).value_or("<absent>");
    }
    std::optional<Instant> lastArmed() const {
        EXPECT_FALSE(alarm->armed.empty());
        return alarm->armed.empty() ? std::nullopt : alarm->armed.back();
    }

    test::TempDir dir;
    Instant now = start;
    FakeWakeAlarm* alarm = nullptr;
    std::unique_ptr<PowerEventStore> store;
};

TEST_F(PowerEventStoreTest, ListsWhatWasScheduledToTheMicrosecondInOrder) {
    EXPECT_EQ(store->copyScheduledPowerEvents(), std::nullopt);
    const struct {
        Instant time;
        const char* owner;
        const char* type;
        Instant listed;
    } events[] = {
        {start + 1h + 123'456us, ours, wakePowerOn, start + 1h + 123'456us},
        {start + 30min + 999'999'999ns, "com.other", "wake", start + 30min + 999'999us},
        // Before 1970 the fraction is still cut towards the past, not towards zero.
        {Instant{-1ns}, ours, "poweron", Instant{-1us}},
    };
    PowerArray expected;
    for (const auto& e : events) {
        ASSERT_EQ(store->schedulePowerEvent(e.time, e.owner, e.type), powerSuccess);
        expected.push_back(event(e.listed, e.owner, e.type));
    }
    reopen();
    EXPECT_EQ(store->copyScheduledPowerEvents(), PowerValue{expected});
    EXPECT_TRUE(fileText().starts_with("[\n  {\"time\":\"2026-03-01T23:10:05.123456Z\","
                                       "\"scheduledby\":\"com.kestrovane.sollun\","
                                       "\"eventtype\":\"wakepoweron\"},\n"))
        << fileText();

    // Each cancelled by the instant it is listed with; an empty schedule is an empty array.
    for (const auto& e : events) {
        EXPECT_EQ(store->cancelScheduledPowerEvent(e.listed, e.owner, e.type), powerSuccess);
    }
    EXPECT_EQ(fileText(), "[]\n");
    EXPECT_EQ(store->copyScheduledPowerEvents(), std::nullopt);
}

TEST_F(PowerEventStoreTest, CancelRemovesOnlyTheExactMatch) {
    const Instant at = start + 1h + 250us;
    const struct {
        Instant time;
        const char* owner;
        const char* type;
    } kept[] = {
        {at, "com.other", wakePowerOn},
        {at, ours, "wake"},
        {at + 1us, ours, wakePowerOn},
        {at, "COM.KESTROVANE.SOLLUN", wakePowerOn},
    };
    ASSERT_EQ(store->schedulePowerEvent(at, ours, wakePowerOn), powerSuccess);
    PowerArray expected;
    for (const auto& e : kept) {
        ASSERT_EQ(store->schedulePowerEvent(e.time, e.owner, e.type), powerSuccess);
        expected.push_back(event(e.time, e.owner, e.type));
    }
    // Nanoseconds below the stored microsecond still name the same event.
    EXPECT_EQ(store->cancelScheduledPowerEvent(at + 999ns, ours, wakePowerOn), powerSuccess);
    EXPECT_EQ(store->cancelScheduledPowerEvent(at, ours, wakePowerOn), powerNotFound);
    EXPECT_EQ(store->copyScheduledPowerEvents(), PowerValue{expected});
}

TEST_F(PowerEventStoreTest, OtherElementsSurviveRewritesByteForByte) {
    // Key order, number spellings and escapes that a re-serialisation would change, odd shapes,
    // and brackets and commas inside strings that a naive split would cut at.
    const std::vector<std::string> foreign = {
        R"({"eventtype" : "wake", "time":"2026-03-02T06:00:00.123456789+01:00",)"
        R"( "scheduledby":"com.other", "n":[1, 2.50, 1E2, null, true, 18446744073709551615]})",
        R"({"scheduledby":"a\"],{b","time":"2026-03-01T23:00:00Z","eventtype":"wake\u00e9"})",
        R"("text")",
        R"({"time":17,"nested":{"time":"2026-03-01T23:00:00Z","when":"2026-03-01T23:00:00Z"}})",
        R"({"time":"not a date","eventtype":"wake"})",
        "[ ]",
    };
    std::string original = "\xEF\xBB\xBF[";
    for (const auto& element : foreign) {
        original += (&element == &foreign.front() ? "\n\t" : " ,\r\n\t") + element;
    }
    test::writeFile(store->path(), original + "]");

    const Instant fromOther = Instant{1'772'427'600s} + 123'456'789ns;
    const Instant elevenPm{1'772'406'000s};
    PowerArray listed = {
        {PowerDictionary{{"eventtype", {std::string("wake")}},
                         {"time", {fromOther}},
                         {"scheduledby", {std::string("com.other")}},
                         {"n",
                          {PowerArray{{std::int64_t{1}},
                                      {2.5},
                                      {100.0},
                                      {nullptr},
                                      {true},
                                      {18446744073709551615.0}}}}}},
        event(elevenPm, "a\"],{b", "wake\xC3\xA9"),
        {std::string("text")},
        {PowerDictionary{{"time", {std::int64_t{17}}},
                         {"nested",
                          {PowerDictionary{{"time", {elevenPm}},
                                           {"when", {std::string("2026-03-01T23:00:00Z")}}}}}}},
        {PowerDictionary{{"time", {std::string("not a date")}},
                         {"eventtype", {std::string("wake")}}}},
        {PowerArray{}},
    };
    ASSERT_EQ(store->copyScheduledPowerEvents(), PowerValue{listed});

    ASSERT_EQ(store->schedulePowerEvent(start + 1h, ours, wakePowerOn), powerSuccess);
    ASSERT_EQ(store->cancelScheduledPowerEvent(start + 1h, ours, wakePowerOn), powerSuccess);
    std::string expected = "[\n";
    for (const auto& element : foreign) {
        expected += "  " + element + (&element == &foreign.back() ? "\n" : ",\n");
    }
    EXPECT_EQ(fileText(), expected + "]\n");

    // Another program's event is cancelled by the instant it lists, fraction and all.
    EXPECT_EQ(store->cancelScheduledPowerEvent(fromOther, "com.other", "wake"), powerSuccess);
    listed.erase(listed.begin());
    EXPECT_EQ(store->copyScheduledPowerEvents(), PowerValue{listed});
}

TEST_F(PowerEventStoreTest, AnUnreadableFileIsMovedAsideAndReplaced) {
    const std::string tooDeep = std::string(100, '[') + std::string(100, ']');
    const std::string tooLarge = "[" + std::string(PowerEventStore::fileSizeLimit, ' ') + "]";
    for (const std::string& text :
         {std::string("[{\"time\": "), std::string(), tooDeep, tooLarge}) {
        SCOPED_TRACE(text.substr(0, 16));
        test::TempDir caseDir;
        PowerEventStore corrupt(caseDir.path(), std::make_unique<FakeWakeAlarm>(),
                                [] { return start; });
        test::writeFile(corrupt.path(), text);
        platform::ScopedMemoryLog log;

        EXPECT_EQ(corrupt.copyScheduledPowerEvents(), std::nullopt);
        const auto aside = caseDir / "power-events.json.corrupt-20260301T221005Z";
        EXPECT_EQ(directoryEntries(caseDir.path()), Names{aside.filename()});
        EXPECT_EQ(readSmallFile(aside, 8 << 20), text);
        ASSERT_EQ(log->entries().size(), 1u);
        EXPECT_EQ(log->entries()[0].level, platform::LogLevel::error);
        EXPECT_NE(log->entries()[0].message.find("moved aside"), std::string::npos);

        EXPECT_EQ(corrupt.schedulePowerEvent(start + 1h, ours, wakePowerOn), powerSuccess);
        EXPECT_EQ(corrupt.copyScheduledPowerEvents(),
                  PowerValue{PowerArray{event(start + 1h, ours, wakePowerOn)}});
    }
    // A second corrupt file in the same second does not replace the first.
    for (const char* text : {"first", "second"}) {
        test::writeFile(store->path(), text);
        EXPECT_EQ(store->copyScheduledPowerEvents(), std::nullopt);
    }
    EXPECT_EQ(directoryEntries(dir.path()),
              (Names{"power-events.json.corrupt-20260301T221005Z",
                     "power-events.json.corrupt-20260301T221005Z.1"}));
    EXPECT_EQ(readSmallFile(dir / "power-events.json.corrupt-20260301T221005Z", 64), "first");
}

TEST_F(PowerEventStoreTest, AValueOtherThanAnArrayIsListedAsItIs) {
    const std::pair<std::string, PowerValue> cases[] = {
        {R"({"time":"2026-03-01T22:10:05Z","n":-3})",
         {PowerDictionary{{"time", {start}}, {"n", {std::int64_t{-3}}}}}},
        {"null", {nullptr}},
        {"\"2026-03-01T22:10:05Z\"", {std::string("2026-03-01T22:10:05Z")}},
        {"-0.5", {-0.5}},
    };
    for (const auto& [text, value] : cases) {
        test::writeFile(store->path(), text);
        EXPECT_EQ(store->copyScheduledPowerEvents(), value) << text;
        EXPECT_EQ(store->cancelScheduledPowerEvent(start, ours, wakePowerOn), powerNotFound);
        EXPECT_EQ(fileText(), text);
    }
    // Nothing can be added to it: it goes aside like a corrupt file.
    EXPECT_EQ(store->schedulePowerEvent(start + 1h, ours, wakePowerOn), powerSuccess);
    EXPECT_EQ(readSmallFile(dir / "power-events.json.corrupt-20260301T221005Z", 64), "-0.5");
    EXPECT_EQ(store->copyScheduledPowerEvents(),
              PowerValue{PowerArray{event(start + 1h, ours, wakePowerOn)}});
}

TEST_F(PowerEventStoreTest, RefusesWhatItCannotKeepOrActOn) {
    const std::pair<std::string, std::string> arguments[] = {
        {"", wakePowerOn}, {ours, ""}, {"bad \xff UTF-8", wakePowerOn}};
    for (const auto& [owner, type] : arguments) {
        EXPECT_EQ(store->schedulePowerEvent(start + 1h, owner, type), powerBadArgument) << owner;
    }
    EXPECT_TRUE(alarm->armed.empty());
    ASSERT_EQ(store->schedulePowerEvent(start + 2h, ours, wakePowerOn), powerSuccess);
    const std::string before = fileText();

    reopen(false);
    EXPECT_EQ(store->schedulePowerEvent(start + 1h, ours, wakePowerOn), powerUnsupported);
    EXPECT_EQ(fileText(), before);
    EXPECT_EQ(store->rearm(), powerUnsupported);
    // Listing and cancelling still work; with nothing left to wake for, all is well.
    EXPECT_EQ(store->cancelScheduledPowerEvent(start + 2h, ours, wakePowerOn), powerSuccess);
    EXPECT_EQ(store->rearm(), powerSuccess);
}

TEST_F(PowerEventStoreTest, AFailedWriteKeepsThePreviousStore) {
    ASSERT_EQ(store->schedulePowerEvent(start + 2h, ours, wakePowerOn), powerSuccess);
    ASSERT_EQ(store->schedulePowerEvent(start + 3h, ours, wakePowerOn), powerSuccess);
    const std::string before = fileText();
    platform::ScopedMemoryLog log;

    // A file size limit fails writes even for root, who ignores permissions.
    rlimit original{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &original), 0);
    const rlimit small{8, original.rlim_max};
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const PowerStatus scheduled = store->schedulePowerEvent(start + 1h, ours, wakePowerOn);
    const PowerStatus cancelled = store->cancelScheduledPowerEvent(start + 2h, ours, wakePowerOn);
    ::setrlimit(RLIMIT_FSIZE, &original);
    std::signal(SIGXFSZ, previousHandler);

    EXPECT_EQ(scheduled, powerIOError);
    EXPECT_EQ(cancelled, powerIOError);
    EXPECT_EQ(fileText(), before);
    EXPECT_EQ(directoryEntries(dir.path()), Names{"power-events.json"});
    // The new event was armed before the write failed; the old earliest is armed again.
    EXPECT_EQ(lastArmed(), start + 2h);

    // A store path taken by a directory is neither read, nor written, nor moved aside.
    std::filesystem::create_directories(dir / "occupied" / "power-events.json");
    PowerEventStore blocked(dir / "occupied", std::make_unique<FakeWakeAlarm>());
    EXPECT_EQ(blocked.copyScheduledPowerEvents(), std::nullopt);
    EXPECT_EQ(blocked.schedulePowerEvent(start + 1h, ours, wakePowerOn), powerIOError);
    EXPECT_EQ(blocked.cancelScheduledPowerEvent(start + 1h, ours, wakePowerOn), powerIOError);
    EXPECT_EQ(directoryEntries(dir / "occupied"), Names{"power-events.json"});
}

TEST_F(PowerEventStoreTest, ArmsTheEarliestFutureWakeEventAfterEveryChange) {
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
    };
    for (const auto& step : steps) {
        EXPECT_EQ(step.schedule
                      ? store->schedulePowerEvent(step.time, step.owner, step.type)
                      : store->cancelScheduledPowerEvent(step.time, step.owner, step.type),
                  powerSuccess);
        EXPECT_EQ(lastArmed(), step.armed) << (step.time - start).count();
    }

    // Hardware that refuses: the status comes back and the previous schedule stays armed.
    ASSERT_EQ(store->schedulePowerEvent(start + 2h, ours, wakePowerOn), powerSuccess);
    const std::string before = fileText();
    alarm->statuses = {powerNotPrivileged};
    EXPECT_EQ(store->schedulePowerEvent(start + 1h, ours, wakePowerOn), powerNotPrivileged);
    EXPECT_EQ(fileText(), before);
    EXPECT_EQ(lastArmed(), start + 2h);
}

TEST_F(PowerEventStoreTest, RearmsAtStartAndWhenTheArmedInstantHasPassed) {
    ASSERT_EQ(store->schedulePowerEvent(start + 1h, ours, wakePowerOn), powerSuccess);
    ASSERT_EQ(store->schedulePowerEvent(start + 2h, "com.other", "wake"), powerSuccess);
    reopen();
    EXPECT_EQ(store->rearm(), powerSuccess);
    EXPECT_EQ(lastArmed(), start + 1h);

    ASSERT_TRUE(alarm->fired);
    for (const auto& [passed, next] : {std::pair{start + 1h, std::optional{start + 2h}},
                                       std::pair{start + 2h, std::optional<Instant>{}}}) {
        now = passed;
        alarm->fired();
        EXPECT_EQ(lastArmed(), next);
    }
}

TEST(StateDirectory, TakesTheFirstAbsolutePathSystemdGives) {
    const std::pair<std::optional<std::string>, std::string> cases[] = {
        {std::nullopt, "/var/lib/sollun-wakedaemon"},
        {"", "/var/lib/sollun-wakedaemon"},
        {"/var/lib/a:/var/lib/b", "/var/lib/a"},
        {"relative:/var/lib/b", "/var/lib/sollun-wakedaemon"},
    };
    for (const auto& [value, expected] : cases) {
        test::ScopedEnvironmentVariable variable("STATE_DIRECTORY", value);
        EXPECT_EQ(stateDirectory(), expected) << value.value_or("<unset>");
    }
}

} // namespace
} // namespace sollun::daemon
