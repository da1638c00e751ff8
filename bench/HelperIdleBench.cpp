// The real SollunHelper left alone on private buses, as on a desktop between two alarms: the CPU
// time it and both bus daemons spend, and the helper's memory, printed as plain lines.
//
//   helper_idle_bench [seconds [helper]]   the window measured (60 s unless given), after the
//                                          helper has published its first accepted wake and
//                                          settled for 10 s; another build of the helper may be
//                                          given, to compare two side by side
//
// The system bus can start the real daemon, so the helper finds it enabled and running; the
// container holds a schedule a day ahead, as the main application leaves it. CPU time is the
// kernel's schedstat (time on a CPU, every thread of the process), as s per hour of the window.
// Run it from the profile preset.

#include "bench/ProcStatus.h"
#include "shared/AtomicFile.h"
#include "shared/WakeHelperStatus.h"
#include "shared/WakeSchedule.h"
#include "tests/support/PrivateBus.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"

#include <sys/types.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

namespace {

using namespace sollun;
using bench::statusKb;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr const char* daemonName = "com.kestrovane.sollun.wakedaemon";

// Nanoseconds on a CPU and voluntary switches (sleeps ended by a wake-up), summed over the
// process's threads.
struct Usage {
    double cpuNs = 0;
    double wakeups = 0;
};

Usage usageOf(pid_t pid) {
    Usage usage;
    std::error_code error;
    for (const auto& task :
         fs::directory_iterator(fs::path("/proc") / std::to_string(pid) / "task", error)) {
        std::ifstream schedstat(task.path() / "schedstat");
        double ns = 0;
        if (schedstat >> ns)
            usage.cpuNs += ns;
        std::ifstream status(task.path() / "status");
        for (std::string line; std::getline(status, line);)
            if (line.starts_with("voluntary_ctxt_switches:"))
                usage.wakeups += std::stod(line.substr(line.find(':') + 1));
    }
    return usage;
}

bool accepted(const fs::path& statusFile) {
    const auto text = readSmallFile(statusFile, 4096);
    const auto status = text ? decodeWakeHelperStatus(*text) : std::nullopt;
    return status && status->lastScheduledWake && status->daemonVersion != 0 &&
           status->daemonState == WakeDaemonRegistrationState::enabled;
}

} // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 60;
    const std::string executable = argc > 2 ? argv[2] : SOLLUN_HELPER_EXECUTABLE;
    if (seconds <= 0) {
        std::fprintf(stderr, "usage: helper_idle_bench [seconds [helper]]\n");
        return 2;
    }

    test::TempDir home;
    test::ScopedEnvironmentVariable dataHome("XDG_DATA_HOME", (home / "data").string());
    test::ScopedEnvironmentVariable configHome("XDG_CONFIG_HOME", (home / "config").string());
    test::ScopedEnvironmentVariable stateDirectory("STATE_DIRECTORY", (home / "state").string());
    const auto container = home / "data" / "group.com.kestrovane.sollun";
    fs::create_directories(container);
    fs::create_directories(home / "state");
    const auto wake = std::chrono::floor<std::chrono::seconds>(currentInstant()) + 24h;
    if (writeFileAtomically(container / "wake-schedule.json",
                            *encodeWakeSchedule({wake, wake + 5min, 1, std::nullopt}))) {
        std::fprintf(stderr, "cannot write the schedule\n");
        return 1;
    }

    test::PrivateBus systemBus{
        {test::PrivateBus::Policy::open,
         {},
         {{"wakedaemon.service", test::activationFile(daemonName, SOLLUN_DAEMON_EXECUTABLE)}}}};
    test::PrivateBus sessionBus{test::PrivateBus::Options{}};
    test::ScopedEnvironmentVariable systemAddress("DBUS_SYSTEM_BUS_ADDRESS", systemBus.address());
    test::ScopedEnvironmentVariable sessionAddress("DBUS_SESSION_BUS_ADDRESS",
                                                   sessionBus.address());
    test::BackgroundProcess helper({"setpriv", "--pdeathsig=KILL", executable});

    // A harness, not a test: it looks every 100 ms for the helper's first accepted wake.
    const auto giveUp = std::chrono::steady_clock::now() + 30s;
    while (!accepted(container / "helper-status.json")) {
        if (std::chrono::steady_clock::now() > giveUp) {
            std::fprintf(stderr, "the helper published no accepted wake within 30 s\n");
            return 1;
        }
        std::this_thread::sleep_for(100ms);
    }
    std::this_thread::sleep_for(10s);

    const pid_t pids[] = {helper.pid(), systemBus.pid(), sessionBus.pid()};
    Usage before[3], after[3];
    for (int i = 0; i < 3; ++i)
        before[i] = usageOf(pids[i]);
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    for (int i = 0; i < 3; ++i)
        after[i] = usageOf(pids[i]);

    const double hours = seconds / 3600.0;
    const auto perHour = [&](int i) { return (after[i].cpuNs - before[i].cpuNs) / 1e9 / hours; };
    const auto wakeupsPerHour = [&](int i) {
        return (after[i].wakeups - before[i].wakeups) / hours;
    };
    std::printf("idle window %d s\n", seconds);
    const char* names[] = {"helper", "system bus", "session bus"};
    for (int i = 0; i < 3; ++i)
        std::printf("%-12s cpu %.4f s/h  wake-ups %.0f /h\n", names[i], perHour(i),
                    wakeupsPerHour(i));
    std::printf("%-12s cpu %.4f s/h\n", "buses", perHour(1) + perHour(2));
    std::printf("%-12s cpu %.4f s/h\n", "total", perHour(0) + perHour(1) + perHour(2));
    std::printf("helper rss %.1f MB, peak %.1f MB\n", statusKb(helper.pid(), "VmRSS") / 1024,
                statusKb(helper.pid(), "VmHWM") / 1024);
    return 0;
}
