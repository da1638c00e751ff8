// SollunHelper's item in a real tray: XFCE's panel, with its tray plugin, on a virtual X server
// and a private session bus. What the panel fetched and sent is read from a bus monitor; what it
// shows, from the screen.

#include "tests/desktop/BusMonitor.h"
#include "tests/desktop/Harness.h"
#include "tests/desktop/HostMenu.h"
#include "tests/desktop/X11.h"
#include "tests/support/PrivateBus.h"
#include "tests/support/TempDir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <functional>
#include <mutex>
#include <ostream>
#include <regex>
#include <thread>

namespace sollun::test {

std::ostream& operator<<(std::ostream& out, const Rect& rect) {
    return out << rect.width << "x" << rect.height << "+" << rect.x << "+" << rect.y;
}

namespace {

using namespace std::chrono_literals;

// One panel at the screen's top left, as long as its one plugin: the tray.
constexpr const char* panelChannel = R"(<?xml version="1.0" encoding="UTF-8"?>
<channel name="xfce4-panel" version="1.0">
  <property name="configver" type="int" value="2"/>
  <property name="panels" type="array">
    <value type="int" value="1"/>
    <property name="panel-1" type="empty">
      <property name="position" type="string" value="p=6;x=0;y=0"/>
      <property name="position-locked" type="bool" value="true"/>
      <property name="length" type="uint" value="1"/>
      <property name="length-adjust" type="bool" value="true"/>
      <property name="size" type="uint" value="32"/>
      <property name="plugin-ids" type="array">
        <value type="int" value="1"/>
      </property>
    </property>
  </property>
  <property name="plugins" type="empty">
    <property name="plugin-1" type="string" value="systray"/>
  </property>
</channel>
)";

// The panel runs its tray plugin in a process of its own; the menu is that process's only
// top-level window.
constexpr const char* menuWindow = "wrapper-2.0";
constexpr const char* panelWindow = "xfce4-panel";

// The layout a tray needs from the start: title, status line, the actions, Quit.
const std::regex completeMenu("Sollun — Wake From Sleep \\(off\\) \\| [^|]+ \\(off\\) \\| --- \\| "
                              "(Approve in Login Items… \\| )?(Open|Launch) Sollun \\| "
                              "Start at Login( \\[ \\])? \\| --- \\| Quit SollunHelper");

// The settings daemon's activation as the package installs it. The daemon ends with its
// connection, so with the bus.
std::string settingsActivation() {
    auto activation = readFile("/usr/share/dbus-1/services/org.xfce.Xfconf.service");
    if (activation.empty())
        throw std::runtime_error("xfconf is not installed: scripts/test installs it");
    return activation;
}

// Ends the whole test when it outlives `limit`, after `report`: its children die with it.
class Watchdog {
public:
    Watchdog(std::chrono::seconds limit, std::function<void()> report)
        : thread_([this, limit, report = std::move(report)] {
            std::unique_lock lock(mutex_);
            if (ended_.wait_for(lock, limit, [this] { return done_; }))
                return;
            std::fprintf(stderr, "watchdog: the test was still running after %llds\n",
                         static_cast<long long>(limit.count()));
            report();
            _exit(124);
        }) {}
    ~Watchdog() {
        {
            std::lock_guard lock(mutex_);
            done_ = true;
        }
        ended_.notify_one();
        thread_.join();
    }

private:
    std::mutex mutex_;
    std::condition_variable ended_;
    bool done_ = false;
    std::thread thread_;
};

class TrayHost : public ::testing::Test {
protected:
    void TearDown() override {
        if (HasFailure())
            report();
    }

    void report() const {
        for (const auto* name : {"panel.log", "helper.log", "xvfb.log"})
            std::fprintf(stderr, "---- %s\n%s", name, readFile(home / name).c_str());
        std::fprintf(stderr, "---- the menu's traffic\n%s",
                     menuTraffic(monitor.messages()).c_str());
    }

    std::unique_ptr<BackgroundProcess> start(const char* log, std::vector<std::string> argv) {
        return std::make_unique<BackgroundProcess>(loggedTo(home / log, std::move(argv)));
    }

    struct Opening {
        Rect menu;
        // Whether the panel's rows changed while the menu opened: it was laid out for the old.
        bool rowsChanged = false;
    };

    // Clicks the item and waits until the menu shows and the panel has what it asked for.
    Opening openMenu(int x, int y) {
        const auto before = describe(hostMenu(monitor.messages()));
        clickAt(x, y);
        std::optional<Rect> menu;
        EXPECT_TRUE(pollUntil([&] { return (menu = visibleWindow(menuWindow)).has_value(); }, 5s))
            << "a click on the item opened no menu";
        EXPECT_TRUE(pollUntil([&] { return menuSettled(monitor.messages()); }, 5s))
            << "the menu's calls were not all answered";
        return {menu.value_or(Rect{}), describe(hostMenu(monitor.messages())) != before};
    }

    void closeMenu() {
        pressKeys({"Escape"});
        EXPECT_TRUE(pollUntil([&] { return !visibleWindow(menuWindow); }, 5s))
            << "the menu stayed open after Escape";
    }

    // Presses `key` and waits until `area` of the screen shows its effect, as a person would
    // before the next key: keys that come while the menu is still busy with one can be lost.
    static bool pressAndWatch(const std::string& key, const Rect& area) {
        const auto before = captureScreen();
        pressKeys({key});
        return pollUntil([&] { return difference(before, captureScreen(), area).width > 0; }, 5s);
    }

    // The screen once `area` is drawn: not blank, and the same in two captures in a row.
    static std::optional<Image> steadyScreen(const Rect& area) {
        std::optional<Image> last;
        const bool steady = pollUntil(
            [&] {
                auto now = captureScreen();
                const bool same =
                    last && !uniform(now, area) && difference(*last, now, area).width == 0;
                last = std::move(now);
                return same;
            },
            5s);
        return steady ? last : std::nullopt;
    }

    TempDir home;
    ScopedEnvironmentVariable homeVariable{"HOME", home.path().string()};
    ScopedEnvironmentVariable configHome{"XDG_CONFIG_HOME", (home / "config").string()};
    ScopedEnvironmentVariable configDirs{"XDG_CONFIG_DIRS", (home / "xdg").string()};
    ScopedEnvironmentVariable dataHome{"XDG_DATA_HOME", (home / "data").string()};
    ScopedEnvironmentVariable cacheHome{"XDG_CACHE_HOME", (home / "cache").string()};
    ScopedEnvironmentVariable runtimeDir{"XDG_RUNTIME_DIR", home.path().string()};
    ScopedEnvironmentVariable stateDirectory{"STATE_DIRECTORY", (home / "state").string()};
    ScopedEnvironmentVariable locale{"LC_ALL", "C.UTF-8"};
    ScopedEnvironmentVariable language{"LANGUAGE", std::nullopt};
    // GTK without the accessibility bus, the settings daemon, a session manager or Wayland.
    ScopedEnvironmentVariable noAccessibility{"NO_AT_BRIDGE", "1"};
    ScopedEnvironmentVariable settings{"GSETTINGS_BACKEND", "memory"};
    ScopedEnvironmentVariable sessionManager{"SESSION_MANAGER", std::nullopt};
    ScopedEnvironmentVariable gdkBackend{"GDK_BACKEND", "x11"};
    Watchdog watchdog{50s, [this] { report(); }};

    VirtualScreen screen{home / "xvfb.log"};
    ScopedEnvironmentVariable display{"DISPLAY", screen.display()};
    PrivateBus systemBus{PrivateBus::Options{}};
    PrivateBus sessionBus{PrivateBus::Options{
        PrivateBus::Policy::open, {}, {{"org.xfce.Xfconf.service", settingsActivation()}}, true}};
    ScopedEnvironmentVariable systemAddress{"DBUS_SYSTEM_BUS_ADDRESS", systemBus.address()};
    ScopedEnvironmentVariable sessionAddress{"DBUS_SESSION_BUS_ADDRESS", sessionBus.address()};
    BusMonitor monitor{sessionBus.address(), home / "bus.log"};
    std::unique_ptr<BackgroundProcess> panel;
    std::unique_ptr<BackgroundProcess> helper;
};

TEST_F(TrayHost, XfcePanelShowsTheWholeMenuAndStartAtLoginsCheckMark) {
    const auto channels = home / "config" / "xfce4" / "xfconf" / "xfce-perchannel-xml";
    std::filesystem::create_directories(channels);
    writeFile(channels / "xfce4-panel.xml", panelChannel);
    panel = start("panel.log", {"xfce4-panel", "--disable-wm-check"});
    ASSERT_EQ(runProcess({"gdbus", "wait", "--address", sessionBus.address(), "--timeout", "20",
                          "org.kde.StatusNotifierWatcher"},
                         25s)
                  .exitCode,
              0)
        << "the panel's tray never took the watcher's name";
    std::optional<Rect> bare;
    ASSERT_TRUE(pollUntil([&] { return (bare = visibleWindow(panelWindow)).has_value(); }, 10s))
        << "the panel never showed";

    // The panel reads the layout once, when the item registers, and again only on LayoutUpdated:
    // that first layout is what it shows until the menu announces a change.
    helper = start("helper.log", {SOLLUN_HELPER_EXECUTABLE});
    std::optional<std::vector<HostRow>> registered;
    ASSERT_TRUE(
        pollUntil([&] { return (registered = firstLayout(monitor.messages())).has_value(); }, 15s))
        << "the panel never fetched the menu's layout";
    ASSERT_TRUE(std::regex_match(describe(*registered), completeMenu))
        << "the layout the panel read when the item registered lacks rows; it shows that "
           "layout until the menu sends LayoutUpdated\n  read:     "
        << describe(*registered)
        << "\n  expected: Sollun — Wake From Sleep (off) | <status> (off) | --- | "
           "[Approve in Login Items… |] Open/Launch Sollun | Start at Login | --- | "
           "Quit SollunHelper";

    // The panel grows by the item's button, the only thing in it.
    Rect tray;
    ASSERT_TRUE(pollUntil(
        [&] {
            const auto now = visibleWindow(panelWindow);
            tray = now.value_or(Rect{});
            return now && now->width > bare->width;
        },
        10s))
        << "the panel never showed the item";
    const int iconX = tray.x + tray.width / 2;
    const int iconY = tray.y + tray.height / 2;

    // First opening, with Start at Login unchecked. The helper may still be learning its state
    // at the click, and a menu whose rows changed while it opened is laid out for the old ones:
    // then the next opening is the first to go by.
    Opening first;
    for (int attempt = 0; attempt < 3 && (attempt == 0 || first.rowsChanged); ++attempt) {
        if (attempt > 0)
            closeMenu();
        first = openMenu(iconX, iconY);
        ASSERT_FALSE(HasFailure());
    }
    ASSERT_FALSE(first.rowsChanged) << "the menu's rows changed at each of three openings";
    const Rect menu = first.menu;
    const auto shown = hostMenu(monitor.messages());
    const auto startAtLogin = std::find_if(shown.begin(), shown.end(), [](const HostRow& row) {
        return row.label() == "Start at Login";
    });
    ASSERT_NE(startAtLogin, shown.end()) << describe(shown);
    const auto selectable = [](const HostRow& row) { return !row.separator() && row.enabled(); };
    const auto ups = std::count_if(startAtLogin, shown.end(), selectable);
    const int rowHeight =
        menu.height /
        static_cast<int>(std::count_if(shown.begin(), shown.end(),
                                       [](const HostRow& row) { return !row.separator(); }));
    const auto unchecked = steadyScreen(menu);
    ASSERT_TRUE(unchecked) << "the menu was never drawn twice the same";
    // From no selection, Up starts at the bottom row, below which nothing changes.
    for (auto left = ups; left > 0; --left)
        ASSERT_TRUE(pressAndWatch("Up", menu)) << "the menu did not react to Up";
    pressKeys({"Return"});

    const auto entry = home / "config" / "autostart" / "com.kestrovane.sollun.helper.desktop";
    ASSERT_TRUE(pollUntil([&] { return std::filesystem::exists(entry); }, 10s))
        << "choosing Start at Login (id " << startAtLogin->id
        << ") left no autostart entry: see the events the panel sent, below";
    ASSERT_TRUE(pollUntil([&] { return !visibleWindow(menuWindow); }, 5s))
        << "the menu stayed open after a choice";

    // Second opening: the same menu, with the check mark its only change.
    const auto again = openMenu(iconX, iconY);
    ASSERT_FALSE(HasFailure());
    ASSERT_EQ(again.menu, menu) << "the menu is laid out differently at the second opening"
                                << (again.rowsChanged ? ", whose rows changed while it opened"
                                                      : "");
    const auto reopened = hostMenu(monitor.messages());
    EXPECT_THAT(describe(reopened), ::testing::HasSubstr("Start at Login [x]"))
        << "the panel was never told of the check mark";
    Rect changed;
    EXPECT_TRUE(pollUntil(
        [&] {
            changed = difference(*unchecked, captureScreen(), menu);
            return changed.width > 0 && changed.width <= rowHeight && changed.height <= rowHeight;
        },
        5s))
        << "between the openings the menu should change in one check box (at most " << rowHeight
        << " pixels square) and it changed in " << changed << " of " << menu;
}

} // namespace
} // namespace sollun::test
