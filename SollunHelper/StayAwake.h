#pragma once

// Keeps the machine awake for the alarm it was woken for. Waking it is not enough: logind suspends
// a laptop whose lid is still closed again after its hold-off, and an idle policy suspends a
// machine nobody touches, while the wake instant usually comes some minutes before the alarm. So
// from the moment the machine is awake for the product's wake until the alarm has sounded, a
// lock against sleep, idleness and the lid switch is held; and at no other time.
//
// The coordinator says when the machine is awake for the wake: it returned from sleep close to
// the wake instant, the instant came while it ran, or had come when the schedule was read (the
// helper started after it), in each case only while the window lasts. The window ends two
// minutes after the alarm, time for it to ring and be heard, but at most fifteen minutes after
// the wake instant: a schedule whose alarm lies far beyond its wake must not keep a laptop in a
// bag awake for long. A schedule without an alarm counts as one whose alarm is at the wake
// instant. The lock also ends when a new revision names another wake or alarm (cleared, moved,
// or the next day's), and with this object; whatever ends the helper ends it too, a lock dying
// with its process. Only a lock the system granted is logged as held and as released.
//
// A lock the system refuses (logind absent, its policy says no, or the sleep it is ending still
// under way) is logged once and asked for again at the window's next wake or 5 seconds later, at
// most three times in all: the launch of the main application goes on without it.
//
// Everything runs on the loop's thread. The lock's reason is the alarm's time of day as the user
// reads it ("Sollun's alarm is due at 06:30"), made when the lock is asked for.

#include "SollunHelper/SleepInhibitor.h"
#include "platform/EventLoop.h"
#include "platform/Log.h"
#include "shared/Instant.h"

#include <chrono>
#include <memory>
#include <optional>
#include <string>

namespace sollun::helper {

const platform::Logger& stayAwakeLog();

class StayAwake {
public:
    // How long after the alarm the machine stays awake, and after the wake instant at most.
    static constexpr std::chrono::minutes afterAlarm{2};
    static constexpr std::chrono::minutes afterWakeAtMost{15};
    // A refused lock is asked for again this much later, and at most this often in a window.
    static constexpr std::chrono::seconds retryAfter{5};
    static constexpr int maxAsks = 3;

    StayAwake(platform::EventLoop& loop, SleepInhibitor& inhibitor);
    StayAwake(const StayAwake&) = delete;
    StayAwake& operator=(const StayAwake&) = delete;

    // When the machine may sleep again after waking for `wake` and `alarm`.
    static Instant windowEnd(Instant wake, std::optional<Instant> alarm);

    // The wake instant and alarm of the schedule as last acted upon; a lock for others ends.
    void expect(std::optional<Instant> wake, std::optional<Instant> alarm);
    // The machine is awake for the expected wake: the lock is asked for, until the window's end,
    // unless that has passed or this window's lock was asked for already.
    void wakeBegan();

private:
    void answered(Instant end, const std::string& reason,
                  const std::optional<std::string>& failure);
    void release(const char* why);

    platform::EventLoop& loop_;
    SleepInhibitor& inhibitor_;
    std::optional<Instant> wake_;
    std::optional<Instant> alarm_;
    // How often this window's lock was asked for, and whether a refusal was logged.
    int asks_ = 0;
    bool refusalLogged_ = false;
    bool held_ = false;
    // Both call back into this object, which owns them.
    std::unique_ptr<SleepInhibitor::Lock> lock_;
    platform::Source windowEnd_;
    platform::Source retry_;
};

} // namespace sollun::helper
