// Figures for the tray menu, printed as plain lines:
//
//   menu_bench refresh [rounds]   DBusMenu::refresh() over fakes on a private bus: with nothing
//                                 changed (what every notice and AboutToShow costs at least),
//                                 and with a row's label changed (the announcements included)
//   menu_bench looks [rounds]     what is read only on events or at a menu's opening: the scan
//                                 of /proc for a program, the login item's entry
//   menu_bench idle <seconds>     the SollunHelper program left alone on private session and
//                                 system buses: its CPU and the two bus daemons', all threads
//
// Run it from the profile preset.

#include "SollunHelper/linux/DBusMenu.h"
#include "SollunHelper/linux/ProgramProcesses.h"
#include "SollunHelper/linux/XdgAutostartLoginItem.h"
#include "platform/linux/SdEventLoop.h"
#include "tests/support/FakeDaemonTransport.h"
#include "tests/support/FakeLoginItem.h"
#include "tests/support/FakeWorkspace.h"
#include "tests/support/PrivateBus.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"

#include <systemd/sd-bus.h>


#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace sollun;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

void report(const char* what, std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    const auto at = [&](double q) {
        return samples[std::min(samples.size() - 1, static_cast<std::size_t>(q * samples.size()))];
    };
    std::printf("%-44s n=%zu median=%.2f us p99=%.2f us max=%.2f us\n", what, samples.size(),
                at(0.5), at(0.99), samples.back());
}

template <class F>
std::vector<double> timed(int rounds, F&& f) {
    std::vector<double> samples;
    for (int i = 0; i < rounds; ++i) {
        const auto start = Clock::now();
        f(i);
        samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    return samples;
}

void refresh(int rounds) {
    test::PrivateBus bus{{}};
    platform::SdEventLoop loop;
    test::ServiceScript service;
    auto* workspace = new test::FakeWorkspace;
    helper::HelperCoordinator coordinator(
        loop,
        std::make_unique<helper::WakeDaemonController>(
            loop, std::make_unique<test::FakeDaemonService>(service),
            std::make_shared<test::FakeConnector>()),
        std::unique_ptr<helper::Workspace>(workspace), std::make_unique<test::FakeSystemWake>(),
        std::make_unique<test::FakeLoginItem>());
    helper::HelperAppDelegate delegate(coordinator, [] {});
    sd_bus* server = nullptr;
    if (sd_bus_new(&server) < 0 || sd_bus_set_address(server, bus.address().c_str()) < 0 ||
        sd_bus_set_bus_client(server, 1) < 0 || sd_bus_start(server) < 0)
        std::exit(1);
    sd_bus_attach_event(server, loop.native(), 0);
    auto menu = std::get<0>(helper::DBusMenu::start(server, loop, delegate));

    report("refresh, nothing changed", timed(rounds, [&](int) { menu->refresh(); }));
    report("refresh, one label changed, announced", timed(rounds, [&](int i) {
               workspace->running = i % 2 == 0;
               menu->refresh();
               sd_bus_flush(server);
           }));
    menu.reset();
    sd_bus_flush_close_unref(server);
}

void looks(int rounds) {
    const auto program = helper::programOf(nullptr, "sleep");
    if (!program)
        std::exit(1);
    report("scan of /proc for a program",
           timed(rounds, [&](int) { helper::processesRunning(*program, 16); }));
    test::TempDir home;
    test::ScopedEnvironmentVariable configHome("XDG_CONFIG_HOME", home.path().string());
    platform::SdEventLoop loop;
    helper::XdgAutostartLoginItem item(loop, "/usr/bin/SollunHelper");
    item.registerItem();
    report("login item entry read", timed(rounds, [&](int) { item.status(); }));
}

// CPU time of every thread of `pid` so far, in seconds, from the scheduler's own count.
double cpuSeconds(pid_t pid) {
    double total = 0;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    for (const auto& task : std::filesystem::directory_iterator(tasks)) {
        std::ifstream stat(task.path() / "schedstat");
        double ns = 0;
        stat >> ns;
        total += ns / 1e9;
    }
    return total;
}

// The process behind a bus: the daemon answers for its own name.
pid_t busDaemon(const std::string& address) {
    sd_bus* bus = nullptr;
    std::uint32_t pid = 0;
    sd_bus_message* reply = nullptr;
    if (sd_bus_new(&bus) >= 0 && sd_bus_set_address(bus, address.c_str()) >= 0 &&
        sd_bus_set_bus_client(bus, 1) >= 0 && sd_bus_start(bus) >= 0 &&
        sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                           "org.freedesktop.DBus", "GetConnectionUnixProcessID", nullptr, &reply,
                           "s", "org.freedesktop.DBus") >= 0)
        sd_bus_message_read(reply, "u", &pid);
    sd_bus_message_unref(reply);
    sd_bus_flush_close_unref(bus);
    return static_cast<pid_t>(pid);
}

void idle(int seconds) {
    test::TempDir home;
    test::ScopedEnvironmentVariable dataHome("XDG_DATA_HOME", (home / "data").string());
    test::ScopedEnvironmentVariable configHome("XDG_CONFIG_HOME", (home / "config").string());
    test::ScopedEnvironmentVariable state("STATE_DIRECTORY", (home / "state").string());
    test::PrivateBus systemBus{{}};
    test::PrivateBus sessionBus{{}};
    test::ScopedEnvironmentVariable system("DBUS_SYSTEM_BUS_ADDRESS", systemBus.address());
    test::ScopedEnvironmentVariable session("DBUS_SESSION_BUS_ADDRESS", sessionBus.address());
    test::BackgroundProcess helper({SOLLUN_HELPER_EXECUTABLE});
    // Start-up is not idle: measure from a settled state.
    std::this_thread::sleep_for(3s);
    const pid_t daemons[] = {busDaemon(systemBus.address()), busDaemon(sessionBus.address())};
    const auto sample = [&] {
        return std::vector<double>{cpuSeconds(helper.pid()), cpuSeconds(daemons[0]),
                                   cpuSeconds(daemons[1])};
    };
    const auto before = sample();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const auto after = sample();
    const char* names[] = {"helper", "system bus", "session bus"};
    double total = 0;
    for (int i = 0; i < 3; ++i) {
        const double used = after[i] - before[i];
        total += used;
        std::printf("idle %d s, %-11s: %.1f us per 5 s, %.4f CPU s per hour\n", seconds, names[i],
                    used * 1e6 * 5 / seconds, used * 3600 / seconds);
    }
    std::printf("idle %d s, all        : %.1f us per 5 s, %.4f CPU s per hour\n", seconds,
                total * 1e6 * 5 / seconds, total * 3600 / seconds);
}

} // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    const int count = argc > 2 ? std::atoi(argv[2]) : 0;
    if (mode == "refresh")
        refresh(count > 0 ? count : 10000);
    else if (mode == "looks")
        looks(count > 0 ? count : 200);
    else if (mode == "idle")
        idle(count > 0 ? count : 300);
    else {
        std::fprintf(stderr, "usage: menu_bench refresh|looks|idle [count]\n");
        return 2;
    }
    return 0;
}
