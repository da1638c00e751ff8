// The least a process on a 5 s poll can cost on this machine, for comparison with the helper at
// rest: each tick stats one file, nothing else.
//
//   poll_floor [seconds [plain|sd-event|buses]]
//       plain     a timerfd with a 5 s interval and epoll (the default)
//       sd-event  the same poll as an sd-event timer, re-armed at each tick as the helper's is
//       buses     that, with an idle connection to each of two private buses attached, as the
//                 helper holds its session and system buses
//
// It runs the loop for the window (600 s unless given), after a first tick, and prints its CPU
// time (the kernel's schedstat) as s per hour.

#include "tests/support/PrivateBus.h"

#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>

#include <sys/epoll.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>

namespace {

constexpr std::uint64_t intervalUsec = 5'000'000;

double cpuNs() {
    std::ifstream schedstat("/proc/self/schedstat");
    double ns = 0;
    schedstat >> ns;
    return ns;
}

// CPU time at the end of the first tick: what setting up and the first wake-up cost is left out.
double measuredFrom = -1;

void tick() {
    struct stat file = {};
    stat("/etc/hostname", &file);
    if (measuredFrom < 0)
        measuredFrom = cpuNs();
}

bool plain(int ticks) {
    const int timer = timerfd_create(CLOCK_BOOTTIME, TFD_NONBLOCK | TFD_CLOEXEC);
    const itimerspec every5s{{5, 0}, {5, 0}};
    const int poll = epoll_create1(EPOLL_CLOEXEC);
    epoll_event readable{};
    readable.events = EPOLLIN;
    if (timer < 0 || poll < 0 || timerfd_settime(timer, 0, &every5s, nullptr) != 0 ||
        epoll_ctl(poll, EPOLL_CTL_ADD, timer, &readable) != 0)
        return false;
    for (int i = 0; i < ticks; ++i) {
        epoll_event event{};
        std::uint64_t expirations = 0;
        if (epoll_wait(poll, &event, 1, -1) != 1 ||
            read(timer, &expirations, sizeof expirations) < 0)
            return false;
        tick();
    }
    return true;
}

int left = 0;

int onTimer(sd_event_source* source, std::uint64_t, void*) {
    tick();
    if (--left <= 0)
        return sd_event_exit(sd_event_source_get_event(source), 0);
    return sd_event_source_set_time_relative(source, intervalUsec);
}

bool withSdEvent(int ticks, const std::string& busA, const std::string& busB) {
    sd_event* event = nullptr;
    sd_event_source* timer = nullptr;
    if (sd_event_new(&event) < 0)
        return false;
    sd_bus* buses[2] = {nullptr, nullptr};
    const std::string* addresses[2] = {&busA, &busB};
    for (int i = 0; i < 2 && !busA.empty(); ++i)
        if (sd_bus_new(&buses[i]) < 0 || sd_bus_set_address(buses[i], addresses[i]->c_str()) < 0 ||
            sd_bus_set_bus_client(buses[i], 1) < 0 || sd_bus_start(buses[i]) < 0 ||
            sd_bus_attach_event(buses[i], event, 0) < 0)
            return false;
    left = ticks;
    const bool ran = sd_event_add_time_relative(event, &timer, CLOCK_BOOTTIME, intervalUsec,
                                                250'000, onTimer, nullptr) >= 0 &&
                     sd_event_source_set_enabled(timer, SD_EVENT_ON) >= 0 &&
                     sd_event_loop(event) >= 0;
    sd_event_source_unref(timer);
    for (sd_bus* bus : buses)
        sd_bus_flush_close_unref(bus);
    sd_event_unref(event);
    return ran;
}

} // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 600;
    const std::string mode = argc > 2 ? argv[2] : "plain";
    if (seconds < 5 || (mode != "plain" && mode != "sd-event" && mode != "buses")) {
        std::fprintf(stderr, "usage: poll_floor [seconds, at least 5 [plain|sd-event|buses]]\n");
        return 2;
    }
    std::optional<sollun::test::PrivateBus> busA, busB;
    if (mode == "buses") {
        busA.emplace(sollun::test::PrivateBus::Options{});
        busB.emplace(sollun::test::PrivateBus::Options{});
    }
    // One tick more than the window holds: the first one is not measured.
    const int ticks = seconds / 5 + 1;
    const bool ran = mode == "plain" ? plain(ticks)
                                     : withSdEvent(ticks, busA ? busA->address() : "",
                                                   busB ? busB->address() : "");
    if (!ran) {
        std::perror("poll_floor");
        return 1;
    }
    std::printf("poll floor, %s, %d s: cpu %.4f s/h\n", mode.c_str(), seconds,
                (cpuNs() - measuredFrom) / 1e9 / seconds * 3600);
    return 0;
}
