#include "SollunWakeDaemon/AlarmTimerWakeAlarm.h"

#include <sys/epoll.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <utility>

namespace sollun::daemon {

std::unique_ptr<AlarmTimerWakeAlarm> AlarmTimerWakeAlarm::create(platform::EventLoop& loop) {
    // timerfd_create() checks only the capability; whether an RTC backs the alarm clocks shows in
    // clock_getres(), which fails with EINVAL when none does.
    timespec resolution{};
    if (::clock_getres(CLOCK_REALTIME_ALARM, &resolution) != 0) {
        return nullptr;
    }
    platform::Fd fd(::timerfd_create(CLOCK_REALTIME_ALARM, TFD_CLOEXEC | TFD_NONBLOCK));
    if (!fd) {
        return nullptr;
    }
    std::unique_ptr<AlarmTimerWakeAlarm> timer{new AlarmTimerWakeAlarm(std::move(fd))};
    timer->expiry_ = loop.watchFd(timer->fd_.get(), EPOLLIN,
                                  [raw = timer.get()](std::uint32_t) { raw->drain(); });
    return timer;
}

AlarmTimerWakeAlarm::AlarmTimerWakeAlarm(platform::Fd fd)
    : fd_(std::move(fd)) {}

PowerStatus AlarmTimerWakeAlarm::arm(std::optional<Instant> earliest) {
    // An all-zero setting disarms.
    itimerspec setting{};
    if (earliest) {
        const auto sinceEpoch = earliest->time_since_epoch();
        const auto seconds = std::chrono::floor<std::chrono::seconds>(sinceEpoch);
        // The kernel keeps timers in signed 64-bit nanoseconds and takes any later instant as
        // their end, 2262-04-11T23:47:16Z: the timer holds that, the store the instant itself.
        setting.it_value.tv_sec = static_cast<time_t>(seconds.count());
        setting.it_value.tv_nsec = static_cast<long>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(sinceEpoch - seconds).count());
        if (setting.it_value.tv_sec < 0) {
            return powerBadArgument;
        }
        // The epoch itself would read as "disarm"; it is long past, so any instant will do.
        if (setting.it_value.tv_sec == 0 && setting.it_value.tv_nsec == 0) {
            setting.it_value.tv_nsec = 1;
        }
    }
    if (::timerfd_settime(fd_.get(), TFD_TIMER_ABSTIME, &setting, nullptr) != 0) {
        return powerStatusFor({errno, std::generic_category()});
    }
    return powerSuccess;
}

void AlarmTimerWakeAlarm::drain() {
    std::uint64_t expirations = 0;
    if (::read(fd_.get(), &expirations, sizeof expirations) !=
        static_cast<ssize_t>(sizeof expirations)) {
        // EAGAIN: already drained, or re-armed since the wake-up (which also resets the count).
        return;
    }
    if (fired_) {
        fired_();
    }
}

} // namespace sollun::daemon
