// The real SollunHelper and the real daemon on private buses, under revisions published faster
// than any daemon answers, printed as plain lines:
//
//   burst_bench burst [revisions [stopped]]   revisions 2..n+1 written back to back (20,000
//                                             unless given), each replacing the file by a rename;
//                                             the time from the last write (or from the daemon
//                                             going on again, when it was stopped during the
//                                             burst) to the last revision in the status file and
//                                             in the daemon's store
//   burst_bench flood [seconds [stopped]]     a document every 50 ms for each shape in turn (10 s
//                                             each unless given): a valid schedule with a long
//                                             writerVersion, one never closing its arrays, one
//                                             with a wide array, each of 900 KB and of the
//                                             largest size the helper reads; the helper's
//                                             resident memory after each, its peak, and its CPU
//                                             time
//
// Run it from the profile preset, with TMPDIR on a real disk.

#include "bench/ProcStatus.h"
#include "platform/linux/SdEventLoop.h"
#include "shared/AtomicFile.h"
#include "shared/Rfc3339.h"
#include "shared/WakeHelperStatus.h"
#include "shared/WakeSchedule.h"
#include "tests/support/PrivateBus.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"

#include <sys/inotify.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

namespace {

using namespace sollun;
using bench::statusKb;
using namespace std::chrono_literals;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr const char* daemonName = "com.kestrovane.sollun.wakedaemon";

// Time on a CPU, every thread of the process, in seconds.
double cpuSeconds(pid_t pid) {
    double ns = 0;
    std::error_code error;
    for (const auto& task :
         fs::directory_iterator(fs::path("/proc") / std::to_string(pid) / "task", error)) {
        std::ifstream schedstat(task.path() / "schedstat");
        double taskNs = 0;
        if (schedstat >> taskNs)
            ns += taskNs;
    }
    return ns / 1e9;
}

double millisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// The helper's container and the daemon's state on private buses, the helper running.
struct Setup {
    Setup() {
        fs::create_directories(container);
        fs::create_directories(home / "state");
    }

    // As a writer that does not wait for the disk: a temporary, renamed over the schedule.
    void write(const std::string& contents) {
        const auto temporary = container / ".wake-schedule.json.new";
        std::ofstream(temporary, std::ios::binary | std::ios::trunc) << contents;
        fs::rename(temporary, container / "wake-schedule.json");
    }
    void writeRevision(std::int64_t revision) {
        const auto wake = wakeOf(revision);
        write(*encodeWakeSchedule({wake, wake, revision, std::nullopt}));
    }
    Instant wakeOf(std::int64_t revision) const { return base + std::chrono::seconds(revision); }

    std::optional<Instant> publishedWake() const {
        const auto text = readSmallFile(container / "helper-status.json", 4096);
        const auto status = text ? decodeWakeHelperStatus(*text) : std::nullopt;
        return status ? status->lastScheduledWake : std::nullopt;
    }
    bool stored(Instant wake) const {
        auto text = *rfc3339::format(wake);
        text.back() = '.'; // the store keeps microseconds
        return test::readFile(home / "state/power-events.json").find(text) != std::string::npos;
    }

    // Runs a loop until both the status file and the store show `wake`; the milliseconds from
    // `start` to each, or nothing after `limit`.
    std::optional<std::pair<double, double>> waitFor(Instant wake, Clock::time_point start,
                                                     std::chrono::seconds limit = 60s) {
        platform::SdEventLoop loop;
        std::optional<double> status, store;
        const auto check = [&](auto&&...) {
            if (!status && publishedWake() == wake)
                status = millisecondsSince(start);
            if (!store && stored(wake))
                store = millisecondsSince(start);
            if (status && store)
                loop.exit(0);
        };
        const auto statusWatch = std::get<platform::Source>(
            loop.watchDirectory(container, IN_MOVED_TO | IN_CLOSE_WRITE, check));
        const auto storeWatch = std::get<platform::Source>(
            loop.watchDirectory(home / "state", IN_MOVED_TO | IN_CLOSE_WRITE, check));
        const auto giveUp = loop.addWallTimer(loop.now() + limit, [&] { loop.exit(1); });
        loop.post(check);
        if (loop.run() != 0)
            return std::nullopt;
        return std::pair{*status, *store};
    }

    pid_t daemonPid() {
        const auto answer = test::runProcess({"busctl", "--address=" + systemBus.address(), "call",
                                              "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                              "org.freedesktop.DBus", "GetConnectionUnixProcessID",
                                              "s", daemonName});
        return answer.output.starts_with("u ") ? std::stoi(answer.output.substr(2)) : -1;
    }

    // Starts the helper with revision 1 published; false when it is not accepted within 30 s.
    bool start() {
        writeRevision(1);
        helper = std::make_unique<test::BackgroundProcess>(
            std::vector<std::string>{"setpriv", "--pdeathsig=KILL", SOLLUN_HELPER_EXECUTABLE});
        if (!waitFor(wakeOf(1), Clock::now(), 30s)) {
            std::fprintf(stderr, "the helper published no accepted wake within 30 s\n");
            return false;
        }
        return true;
    }

    test::TempDir home;
    const fs::path container = home / "data/group.com.kestrovane.sollun";
    test::ScopedEnvironmentVariable dataHome{"XDG_DATA_HOME", (home / "data").string()};
    test::ScopedEnvironmentVariable configHome{"XDG_CONFIG_HOME", (home / "config").string()};
    test::ScopedEnvironmentVariable stateDirectory{"STATE_DIRECTORY", (home / "state").string()};
    test::PrivateBus systemBus{
        {test::PrivateBus::Policy::open,
         {},
         {{"wakedaemon.service", test::activationFile(daemonName, SOLLUN_DAEMON_EXECUTABLE)}}}};
    test::PrivateBus sessionBus{test::PrivateBus::Options{}};
    test::ScopedEnvironmentVariable systemAddress{"DBUS_SYSTEM_BUS_ADDRESS", systemBus.address()};
    test::ScopedEnvironmentVariable sessionAddress{"DBUS_SESSION_BUS_ADDRESS",
                                                   sessionBus.address()};
    const Instant base = std::chrono::floor<std::chrono::seconds>(currentInstant()) + 24h;
    std::unique_ptr<test::BackgroundProcess> helper;
};

int burst(std::int64_t revisions, bool stopped) {
    Setup setup;
    if (!setup.start())
        return 1;
    const pid_t daemon = stopped ? setup.daemonPid() : -1;
    if (stopped && (daemon <= 0 || kill(daemon, SIGSTOP) != 0)) {
        std::fprintf(stderr, "cannot stop the daemon\n");
        return 1;
    }
    const auto began = Clock::now();
    for (std::int64_t revision = 2; revision <= revisions + 1; ++revision)
        setup.writeRevision(revision);
    const double writing = millisecondsSince(began);
    if (stopped)
        kill(daemon, SIGCONT);
    const auto outcome = setup.waitFor(setup.wakeOf(revisions + 1), Clock::now());
    std::printf("burst of %lld revisions written in %.1f ms%s\n", static_cast<long long>(revisions),
                writing, stopped ? ", the daemon stopped meanwhile" : "");
    if (!outcome) {
        std::printf("the last revision was not published within 60 s\n");
        return 1;
    }
    std::printf("%s -> last revision in the status file  %.1f ms\n",
                stopped ? "daemon going on" : "burst's end    ", outcome->first);
    std::printf("%s -> last revision in the daemon store %.1f ms\n",
                stopped ? "daemon going on" : "burst's end    ", outcome->second);
    std::printf("helper rss %.1f MB, peak %.1f MB\n", statusKb(setup.helper->pid(), "VmRSS") / 1024,
                statusKb(setup.helper->pid(), "VmHWM") / 1024);
    return 0;
}

int flood(int seconds, bool stopped) {
    Setup setup;
    if (!setup.start())
        return 1;
    const pid_t helper = setup.helper->pid();
    const pid_t daemon = stopped ? setup.daemonPid() : -1;
    if (stopped && (daemon <= 0 || kill(daemon, SIGSTOP) != 0)) {
        std::fprintf(stderr, "cannot stop the daemon\n");
        return 1;
    }
    std::int64_t revision = 1;
    // Each shape, the size of the document given.
    const struct {
        const char* name;
        std::function<std::string(std::size_t)> next;
    } shapes[] = {
        {"valid, long writerVersion",
         [&](std::size_t size) {
             const auto wake = setup.wakeOf(++revision);
             auto text = *encodeWakeSchedule({wake, wake, revision, ""});
             text.insert(text.size() - 2, size - text.size(), 'a');
             return text;
         }},
        {"arrays never closed",
         [&](std::size_t size) { return std::string(size - 8, '[') + std::to_string(++revision); }},
        {"a wide array",
         [&](std::size_t size) {
             std::string text = R"({"revision":)" + std::to_string(++revision) + R"(,"x":[0)";
             while (text.size() + 4 <= size)
                 text += ",0";
             return text + "]}";
         }},
    };
    std::printf("helper at start: rss %.1f MB, peak %.1f MB%s\n", statusKb(helper, "VmRSS") / 1024,
                statusKb(helper, "VmHWM") / 1024,
                stopped ? "; the daemon stopped from now on" : "");
    for (const std::size_t size : {std::size_t{900'000}, wakeScheduleSizeLimit})
        for (const auto& [name, next] : shapes) {
            const double cpuBefore = cpuSeconds(helper);
            const auto end = Clock::now() + std::chrono::seconds(seconds);
            int written = 0;
            for (auto due = Clock::now(); due < end; due += 50ms) {
                setup.write(next(size));
                ++written;
                std::this_thread::sleep_until(due + 50ms);
            }
            std::printf("%7zu bytes, %-26s %4d documents: helper rss %.1f MB, peak %.1f MB, cpu "
                        "%.2f s\n",
                        size, name, written, statusKb(helper, "VmRSS") / 1024,
                        statusKb(helper, "VmHWM") / 1024, cpuSeconds(helper) - cpuBefore);
        }
    if (stopped)
        kill(daemon, SIGCONT);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    const long count = argc > 2 ? std::atol(argv[2]) : 0;
    const bool stopped = argc > 3 && std::string(argv[3]) == "stopped";
    if (mode == "burst")
        return burst(count > 0 ? count : 20000, stopped);
    if (mode == "flood")
        return flood(count > 0 ? static_cast<int>(count) : 10, stopped);
    std::fprintf(stderr, "usage: burst_bench burst [revisions [stopped]] | flood [seconds "
                         "[stopped]]\n");
    return 2;
}
