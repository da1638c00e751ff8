// Figures for the tray menu, printed as plain lines:
//
//   menu_bench refresh [rounds]   DBusMenu::refresh() over fakes on a private bus: with nothing
//                                 changed (what every notice and AboutToShow costs at least),
//                                 and with a row's label changed (the announcements included)
//   menu_bench looks [rounds]     what is read only on events or at a menu's opening: the scan
//                                 of /proc for a program, the login item's entry
//
// Run it from the profile preset.

#include "SollunHelper/desktop/ProgramProcesses.h"
#include "SollunHelper/desktop/XdgAutostartLoginItem.h"
#include "SollunHelper/tray/DBusMenu.h"
#include "bench/Samples.h"
#include "platform/linux/SdEventLoop.h"
#include "tests/support/FakeDaemonTransport.h"
#include "tests/support/FakeLoginItem.h"
#include "tests/support/FakeWorkspace.h"
#include "tests/support/PrivateBus.h"
#include "tests/support/TempDir.h"

#include <systemd/sd-bus.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using namespace sollun;
using namespace std::chrono_literals;

using bench::report;
using bench::timed;

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
        std::make_unique<test::FakeSleepInhibitor>(), std::make_unique<test::FakeLoginItem>());
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

} // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    const int count = argc > 2 ? std::atoi(argv[2]) : 0;
    if (mode == "refresh")
        refresh(count > 0 ? count : 10000);
    else if (mode == "looks")
        looks(count > 0 ? count : 200);
    else {
        std::fprintf(stderr, "usage: menu_bench refresh|looks [count]\n");
        return 2;
    }
    return 0;
}
