#include "SollunWakeDaemon/WakeDaemonService.h"

#include "shared/DateText.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace sollun::daemon {
namespace {

using namespace std::chrono_literals;

const Instant now = Instant{} + 1772403005s; // 2026-03-01T22:10:05Z

PowerValue event(std::optional<PowerValue> time, std::optional<PowerValue> owner,
                 std::optional<PowerValue> type) {
    PowerDictionary dictionary;
    if (time)
        dictionary.emplace(powerEventTimeKey, *time);
    if (owner)
        dictionary.emplace(powerEventOwnerKey, *owner);
    if (type)
        dictionary.emplace(powerEventTypeKey, *type);
    return {dictionary};
}

PowerValue event(Instant time, std::string owner, std::string type) {
    return event(PowerValue{time}, PowerValue{std::move(owner)}, PowerValue{std::move(type)});
}

// The schedule as a list the service reads, with the calls it makes recorded.
struct FakePowerEvents final : PowerEvents {
    std::optional<PowerValue> schedule;
    std::set<Instant> failingCancels;
    PowerStatus scheduleStatus = powerSuccess;
    std::vector<std::string> calls;

    std::optional<PowerValue> copyScheduledPowerEvents() override { return schedule; }

    PowerStatus cancelScheduledPowerEvent(Instant time, const std::string& owner,
                                          const std::string& type) override {
        calls.push_back("cancel " + dateText(time) + " " + owner + " " + type);
        if (failingCancels.contains(time))
            return powerNotPrivileged;
        auto& list = std::get<PowerArray>(schedule->value);
        std::erase(list, event(time, owner, type));
        return powerSuccess;
    }

    PowerStatus schedulePowerEvent(Instant time, const std::string& owner,
                                   const std::string& type) override {
        calls.push_back("schedule " + dateText(time) + " " + owner + " " + type);
        if (scheduleStatus != powerSuccess)
            return scheduleStatus;
        if (!schedule)
            schedule = PowerValue{PowerArray{}};
        std::get<PowerArray>(schedule->value).push_back(event(time, owner, type));
        return powerSuccess;
    }
};

class WakeDaemonServiceTest : public ::testing::Test {
protected:
    std::optional<std::string> schedule(Instant date) {
        std::optional<std::string> result = "no reply";
        int replies = 0;
        service.scheduleWakeAt(date, [&](auto reply) {
            result = reply;
            ++replies;
        });
        EXPECT_EQ(replies, 1);
        return result;
    }

    FakePowerEvents events;
    WakeDaemonService service{events, [] { return now; }};
    platform::ScopedMemoryLog log;
};

TEST_F(WakeDaemonServiceTest, ReplacesOnlyTheProductsOwnWellFormedEvents) {
    const PowerValue owner{std::string(productEventOwner)};
    const PowerValue type{std::string("wakepoweron")};
    const PowerValue time{now + 1h};
    const PowerArray kept = {
        event(now + 1h, "com.example.other", "wakepoweron"),     // another program's
        event(now + 2h, "COM.KESTROVANE.SOLLUN", "wakepoweron"), // letter case differs
        event(std::nullopt, owner, type),
        event(time, owner, std::nullopt),
        event(PowerValue{std::string("2026-03-02T05:25:00Z")}, owner, type), // text, not a date
        event(time, PowerValue{std::int64_t{1}}, type),
    };
    PowerArray schedule = kept;
    schedule.push_back(event(now + 30min, "com.kestrovane.sollun", "wakepoweron"));
    schedule.push_back(event(now + 40min, "com.kestrovane.sollun", "sleep")); // any type
    events.schedule = PowerValue{schedule};
    EXPECT_EQ(this->schedule(now + 1h), std::nullopt);
    EXPECT_EQ(this->schedule(now + 1h), std::nullopt); // the same again leaves one event
    PowerArray expected = kept;
    expected.push_back(event(now + 1h, "com.kestrovane.sollun", "wakepoweron"));
    EXPECT_EQ(events.schedule, PowerValue{expected});
    EXPECT_EQ(log->messages(),
              (std::vector<std::string>(2, "Scheduled wake at 2026-03-01 23:10:05 +0000")));

    // Nor anything at all from a schedule that is not a list of dictionaries.
    events.calls.clear();
    for (const auto& other :
         {PowerValue{std::string("not an array")}, PowerValue{PowerArray{PowerValue{true}}}}) {
        events.schedule = other;
        service.clearWake([](auto reply) { EXPECT_EQ(reply, std::nullopt); });
    }
    EXPECT_TRUE(events.calls.empty());
}

TEST_F(WakeDaemonServiceTest, FailedCancellationsAreLoggedAndDoNotSpoilTheReply) {
    const auto stuck = now + 10min;
    events.schedule = PowerValue{PowerArray{event(stuck, "com.kestrovane.sollun", "wakepoweron"),
                                            event(now + 20min, "com.kestrovane.sollun", "wake")}};
    events.failingCancels = {stuck};
    EXPECT_EQ(schedule(now + 1h), std::nullopt);
    EXPECT_EQ(std::get<PowerArray>(events.schedule->value).size(), 2u) << "stuck one and new one";

    service.clearWake([](auto reply) { EXPECT_EQ(reply, std::nullopt); });
    EXPECT_EQ(log->messages(), (std::vector<std::string>{
                                   "Failed to cancel prior wake event: 0xe00002c1",
                                   "Scheduled wake at 2026-03-01 23:10:05 +0000",
                                   "Failed to cancel prior wake event: 0xe00002c1",
                               }));
}

} // namespace
} // namespace sollun::daemon
