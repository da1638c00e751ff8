#include "SollunWakeDaemon/WakeDaemonService.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace sollun::daemon {
namespace {

using namespace std::chrono_literals;
using Calls = std::vector<std::string>;

const Instant now = Instant{} + 1772403005s; // 2026-03-01T22:10:05Z

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

// A fixed schedule; every change asked of it is recorded as the operation, its minutes from now
// and its type, and answered with the status the test set.
struct FakePowerEvents final : PowerEvents {
    std::optional<PowerValue> copyScheduledPowerEvents() override {
        return PowerValue{PowerArray{
            event(PowerValue{now + 10min}, "com.kestrovane.sollun", "wakepoweron"),
            event(PowerValue{now + 40min}, "com.kestrovane.sollun", "sleep"), // any type
            event(PowerValue{now + 1h}, "com.example.other", "wakepoweron"),
            event(PowerValue{now + 2h}, "COM.KESTROVANE.SOLLUN", "wakepoweron"),
            event(PowerValue{now + 3h}, "com.kestrovane.sollun", std::nullopt),
            event(PowerValue{std::string("2026-03-02T05:25:00Z")}, "com.kestrovane.sollun", "wake"),
        }};
    }
    PowerStatus cancelScheduledPowerEvent(Instant time, const std::string&,
                                          const std::string& type) override {
        calls.push_back("cancel " + std::to_string((time - now) / 1min) + " " + type);
        return cancelStatus;
    }
    PowerStatus schedulePowerEvent(Instant time, const std::string& owner,
                                   const std::string& type) override {
        calls.push_back("schedule " + std::to_string((time - now) / 1min) + " " + type);
        EXPECT_EQ(owner, productEventOwner);
        return scheduleStatus;
    }
    PowerStatus cancelStatus = powerSuccess;
    PowerStatus scheduleStatus = powerSuccess;
    Calls calls;
};

TEST(WakeDaemonService, CancelsTheProductsEventsFirstAndSchedulesOnlyAhead) {
    const Calls cancels = {"cancel 10 wakepoweron", "cancel 40 sleep"};
    Calls scheduled = cancels;
    scheduled.push_back("schedule 60 wakepoweron");
    const std::tuple<std::optional<Instant>, PowerStatus, PowerStatus, std::optional<std::string>,
                     Calls>
        rows[] = {
            {now + 1h, powerSuccess, powerSuccess, std::nullopt, scheduled},
            {std::nullopt, powerSuccess, powerSuccess, std::nullopt, cancels}, // clearWake
            {now + 1s, powerSuccess, powerSuccess, std::nullopt, cancels},     // not ahead: clears
            {now - 1h, powerSuccess, powerSuccess, std::nullopt, cancels},
            // A cancellation that fails does not stop the new wake.
            {now + 1h, powerNotPrivileged, powerSuccess, std::nullopt, scheduled},
            {now + 1h, powerSuccess, powerNotPrivileged,
             "IOPMSchedulePowerEvent failed: 0xe00002c1", scheduled},
        };
    for (const auto& [date, cancelStatus, scheduleStatus, reply, calls] : rows) {
        platform::ScopedMemoryLog log;
        FakePowerEvents events;
        events.cancelStatus = cancelStatus;
        events.scheduleStatus = scheduleStatus;
        WakeDaemonService service{events, [] { return now; }};
        Calls replies;
        const auto record = [&](auto text) { replies.push_back(text.value_or("ok")); };
        date ? service.scheduleWakeAt(*date, record) : service.clearWake(record);
        EXPECT_EQ(replies, Calls{reply.value_or("ok")});
        EXPECT_EQ(events.calls, calls);
    }
}

} // namespace
} // namespace sollun::daemon
