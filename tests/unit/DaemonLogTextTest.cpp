// The daemon's log lines are an interface: operators search the journal for them. Each one is
// produced here on its own path through the service's requests, and must come out once, at its
// level, under the daemon's subsystem and category, with exactly this text.

#include "SollunWakeDaemon/WakeDaemonService.h"
#include "platform/Log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <ostream>

namespace sollun::platform {
void PrintTo(const MemoryLogSink::Entry& entry, std::ostream* out) {
    *out << (entry.level == LogLevel::info ? "info " : "error ") << entry.subsystem << "/"
         << entry.category << " \"" << entry.message << "\"";
}
} // namespace sollun::platform

namespace sollun::daemon {
namespace {

using namespace std::chrono_literals;
using platform::LogLevel;

constexpr Instant now{1'796'452'200s}; // 2026-12-05T06:30:00Z

// A schedule of power events that holds one event of the product, of nobody in particular, and
// answers with the statuses the test gives it.
struct ScriptedPowerEvents final : PowerEvents {
    std::optional<PowerValue> copyScheduledPowerEvents() override {
        const PowerDictionary event{
            {std::string(powerEventTimeKey), {now + 1h}},
            {std::string(powerEventOwnerKey), {std::string(productEventOwner)}},
            {std::string(powerEventTypeKey), {std::string(powerEventTypeWakePowerOn)}}};
        return PowerValue{PowerArray{PowerValue{event}}};
    }
    PowerStatus cancelScheduledPowerEvent(Instant, const std::string&,
                                          const std::string&) override {
        return cancelStatus;
    }
    PowerStatus schedulePowerEvent(Instant, const std::string&, const std::string&) override {
        return scheduleStatus;
    }
    PowerStatus replaceScheduledPowerEvents(std::span<const PowerEventKey>,
                                            const std::optional<PowerEventKey>& add) override {
        return add ? scheduleStatus : cancelStatus;
    }
    PowerStatus cancelStatus = powerSuccess;
    PowerStatus scheduleStatus = powerSuccess;
};

TEST(DaemonLogText, EachLineComesOutOnceOnItsPathWithItsText) {
    const Caller caller{1000, 4242};
    const auto schedule = [caller](Instant date) {
        return [caller, date](WakeDaemonService& service) {
            service.scheduleWakeAt(caller, date, [](auto) {});
        };
    };
    const auto clear = [caller](WakeDaemonService& service) {
        service.clearWake(caller, [](auto) {});
    };
    const struct {
        PowerStatus cancelStatus;
        PowerStatus scheduleStatus;
        std::function<void(WakeDaemonService&)> request;
        LogLevel level;
        std::string text;
    } rows[] = {
        // A short status: no leading zeros.
        {0x1f, powerSuccess, clear, LogLevel::error,
         "Failed to cancel prior wake event: 0x1f (uid 1000, pid 4242)"},
        {powerSuccess, powerSuccess, clear, LogLevel::info, "Cleared wake (uid 1000, pid 4242)"},
        {powerSuccess, powerSuccess, schedule(now + 1s), LogLevel::info,
         "scheduleWake: date not in the future; cleared only (uid 1000, pid 4242)"},
        {powerSuccess, powerSuccess, schedule(now + 90min), LogLevel::info,
         "Scheduled wake at 2026-12-05 08:00:00 +0000 (uid 1000, pid 4242)"},
        // A negative status: its unsigned 32-bit pattern.
        {powerSuccess, powerUnsupported, schedule(now + 90min), LogLevel::error,
         "IOPMSchedulePowerEvent failed: 0xe00002c7 (uid 1000, pid 4242)"},
    };
    for (const auto& row : rows) {
        platform::ScopedMemoryLog log;
        ScriptedPowerEvents events;
        events.cancelStatus = row.cancelStatus;
        events.scheduleStatus = row.scheduleStatus;
        WakeDaemonService service{events, [] { return now; }};
        row.request(service);
        const platform::MemoryLogSink::Entry expected{row.level, "com.kestrovane.sollun.wakedaemon",
                                                      "daemon", row.text};
        const auto entries = log->entries();
        EXPECT_EQ(std::ranges::count(entries, expected), 1)
            << row.text << "\n  among " << ::testing::PrintToString(entries);
    }
}

} // namespace
} // namespace sollun::daemon
