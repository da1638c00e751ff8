// The SollunHelper program itself on private system and session buses. Unless a test gives it one
// that can, the system bus cannot start the daemon, so the helper asks for it to be registered and
// waits for approval. The bus reads its activation files from a directory of its own, which the
// helper does not watch, as a system's bus configured so would.

#include "platform/linux/SdEventLoop.h"
#include "shared/AtomicFile.h"
#include "shared/ProductIdentities.h"
#include "shared/RequestBucket.h"
#include "shared/WakeHelperStatus.h"
#include "shared/WakeSchedule.h"
#include "tests/support/DaemonCalls.h"
#include "tests/support/LoopWatchdog.h"
#include "tests/support/PrivateBus.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <systemd/sd-bus.h>

#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>

namespace sollun::test {
namespace {

constexpr const char* helperName = "com.kestrovane.sollun.helper";
constexpr const char* daemonName = "com.kestrovane.sollun.wakedaemon";
constexpr Instant alarm{std::chrono::seconds(1930199400)}; // 2031-03-02T06:30:00Z

// A whole second, so that the status file and the store say it as it is.
Instant anHourAhead() {
    return std::chrono::ceil<std::chrono::seconds>(currentInstant()) + std::chrono::hours(1);
}

// Mounts of the test's own, in a mount namespace made at load time.
const std::optional<std::string> privateMountsUnavailable = enterPrivateMountNamespace();

class HelperProgram : public ::testing::Test {
protected:
    // busctl on the session bus: its output, the call expected to succeed.
    std::string session(const std::vector<std::string>& arguments) {
        const auto result = sessionBus.busctl(arguments);
        EXPECT_EQ(result.exitCode, 0) << result.output;
        return result.output;
    }
    std::string menu(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(),
                         {"call", helperName, "/MenuBar", "com.canonical.dbusmenu"});
        return session(arguments);
    }
    // The labels of the menu's rows as a host fetches them before it shows the menu, separators
    // left out; `announced` fetches them as they are, as a host told of a change does.
    std::vector<std::string> labels(bool announced = false) {
        // Its answer depends on whether anything changed since start-up.
        if (!announced) {
            EXPECT_NE(menu({"AboutToShow", "i", "0"}), "");
        }
        const auto layout = nlohmann::json::parse(
            session({"--json=short", "--", "call", helperName, "/MenuBar", "com.canonical.dbusmenu",
                     "GetLayout", "iias", "0", "-1", "0"}));
        std::vector<std::string> found;
        for (const auto& row : layout["data"][1][2])
            if (const auto& properties = row["data"][1]; properties.contains("label"))
                found.push_back(properties["label"]["data"]);
        return found;
    }
    // Until the helper's status shows the registration as `state`: the system bus answers the
    // helper on its own time, while its menu is already served.
    void waitForDaemonState(WakeDaemonRegistrationState state) {
        waitForPublishedStatus(
            [&](const WakeHelperStatus& status) { return status.daemonState == state; });
    }
    void waitForOwner(const std::string& name = helperName) {
        EXPECT_TRUE(sessionBus.waitForName(name)) << name;
    }

    // Returns once the helper has published a status that `done` takes.
    template <class Done>
    void waitForPublishedStatus(Done done, std::chrono::seconds limit = std::chrono::seconds(10)) {
        std::filesystem::create_directories(container);
        platform::SdEventLoop loop;
        const auto check = [&](auto&&...) {
            const auto text = readSmallFile(container / "helper-status.json", 4096);
            if (const auto status = text ? decodeWakeHelperStatus(*text) : std::nullopt;
                status && done(*status))
                loop.exit(0);
        };
        const auto watch = std::get<platform::Source>(
            loop.watchDirectory(container, IN_CLOSE_WRITE | IN_MOVED_TO, check));
        loop.post(check);
        ASSERT_EQ(runWithWatchdog(loop, limit), 0);
    }
    void waitForWake(Instant wake, std::chrono::seconds limit = std::chrono::seconds(10)) {
        waitForPublishedStatus(
            [&](const WakeHelperStatus& status) { return status.lastScheduledWake == wake; },
            limit);
    }
    // As the main application writes it: the alarm at the wake.
    void writeSchedule(std::int64_t revision, Instant wake) {
        std::filesystem::create_directories(container);
        ASSERT_FALSE(writeFileAtomically(container / "wake-schedule.json",
                                         *encodeWakeSchedule({wake, wake, revision, "3.1"})));
    }
    // The bus can start the real daemon from now on, as after an administrator installed it.
    void installDaemon() {
        writeFile(systemBus.directory() / "services/wakedaemon.service",
                  activationFile(daemonName, SOLLUN_DAEMON_EXECUTABLE));
        std::filesystem::create_directories(home / "state");
        systemBus.reload();
    }
    // Writes revisions `first` to `last` (each `base` plus that many minutes), each once the
    // helper has read the one before.
    void writeBurst(int first, int last, Instant base) {
        platform::SdEventLoop loop;
        const auto read = std::get<platform::Source>(loop.watchDirectory(
            container, IN_CLOSE_NOWRITE, [&](const platform::DirectoryEvent& event) {
                if (event.name == "wake-schedule.json")
                    loop.exit(0);
            }));
        for (int revision = first; revision <= last; ++revision) {
            writeSchedule(revision, base + std::chrono::minutes(revision));
            EXPECT_EQ(runWithWatchdog(loop), 0) << revision;
        }
    }

    // Where a journal runs, the helper's lines go there instead of to its standard error.
    static bool journal() { return access("/run/systemd/journal/socket", W_OK) == 0; }
    // The helper with its standard error in the file "log" of the home.
    std::vector<std::string> loggedHelper() const {
        std::vector<std::string> logged{"sh", "-c", "exec \"$@\" 2>\"$0\"",
                                        (home / "log").string()};
        logged.insert(logged.end(), helper.begin(), helper.end());
        return logged;
    }

    TempDir home;
    const std::filesystem::path container = home / "data/group.com.kestrovane.sollun";
    ScopedEnvironmentVariable dataHome{"XDG_DATA_HOME", (home / "data").string()};
    ScopedEnvironmentVariable configHome{"XDG_CONFIG_HOME", (home / "config").string()};
    ScopedEnvironmentVariable stateDirectory{"STATE_DIRECTORY", (home / "state").string()};
    PrivateBus systemBus{PrivateBus::Options{}};
    PrivateBus sessionBus{PrivateBus::Options{}};
    ScopedEnvironmentVariable systemAddress{"DBUS_SYSTEM_BUS_ADDRESS", systemBus.address()};
    ScopedEnvironmentVariable sessionAddress{"DBUS_SESSION_BUS_ADDRESS", sessionBus.address()};
    const std::vector<std::string> helper{"setpriv", "--pdeathsig=KILL", SOLLUN_HELPER_EXECUTABLE};
};

// The newest instance takes the session's name over, serves its menu, and ends with its session
// bus, saying why.
TEST_F(HelperProgram, OneInstancePerSessionWithItsMenuOnTheBusUntilItsSessionEnds) {
    BackgroundProcess first(helper);
    waitForOwner();
    BackgroundProcess second(loggedHelper());
    EXPECT_EQ(first.waitForExit(), 0) << "the older instance ends, cleanly";
    waitForOwner(); // the newer one carries on, and answers below

    waitForDaemonState(WakeDaemonRegistrationState::requiresApproval);
    EXPECT_TRUE(menu({"AboutToShow", "i", "0"}).starts_with("b ")); // refreshed by now
    EXPECT_EQ(menu({"GetProperty", "is", "2", "label"}),
              "v s \"Waiting for approval in Login Items\"\n");
    sessionBus.kill();
    EXPECT_EQ(second.waitForExit(), 0);
    if (!journal()) {
        const auto log = readFile(home / "log");
        EXPECT_NE(log.find("The session bus has gone: the session is over"), std::string::npos)
            << log;
    }
}

TEST_F(HelperProgram, ItsTrayIconIsInTheThemeItNamesAndComesAsPixmapsToPaintAsTheyAre) {
    BackgroundProcess program(helper);
    const auto item = "org.kde.StatusNotifierItem-" + std::to_string(program.pid()) + "-1";
    waitForOwner(item);
    const auto property = [&](const char* name) {
        return nlohmann::json::parse(
            session({"--json=short", "get-property", item, "/StatusNotifierItem",
                     "org.kde.StatusNotifierItem", name}))["data"];
    };

    // A theme as hosts read one, wherever the program is: this build's own tree here.
    const std::filesystem::path themes = property("IconThemePath").get<std::string>();
    const auto icon = property("IconName").get<std::string>() + ".svg";
    EXPECT_TRUE(std::filesystem::is_regular_file(themes / "hicolor" / "index.theme")) << themes;
    EXPECT_TRUE(std::filesystem::is_regular_file(themes / "hicolor/scalable/status" / icon));

    const auto pixmaps = property("IconPixmap");
    ASSERT_FALSE(pixmaps.empty());
    for (const auto& pixmap : pixmaps) {
        const int size = pixmap[0];
        ASSERT_EQ(pixmap[1], size);
        const std::vector<int> bytes = pixmap[2];
        ASSERT_EQ(bytes.size(), 4u * size * size);
        const auto pixel = [&](int x, int y) { return &bytes[4 * (y * size + x)]; };
        // A, R, G, B: a transparent corner, the opaque disc in the middle.
        EXPECT_EQ(pixel(0, 0)[0], 0) << size;
        EXPECT_EQ(pixel(size / 2, size / 2)[0], 255) << size;
        // The rim is of one colour, which its soft outer edge keeps at every opacity; colours
        // premultiplied by alpha would fade with it. (At 16 px the edge also takes in the disc.)
        if (size < 22)
            continue;
        for (int channel = 1; channel < 4; ++channel) {
            int lowest = 255;
            int highest = 0;
            for (int i = 0; i < size * size; ++i) {
                if (bytes[4 * i] < 32 || bytes[4 * i] == 255)
                    continue;
                lowest = std::min(lowest, bytes[4 * i + channel]);
                highest = std::max(highest, bytes[4 * i + channel]);
            }
            EXPECT_LE(highest - lowest, 16) << size << " px, channel " << channel;
        }
    }
}

TEST_F(HelperProgram, WithoutASessionBusItDoesItsWorkAllTheSame) {
    ScopedEnvironmentVariable noSession{"DBUS_SESSION_BUS_ADDRESS",
                                        "unix:path=" + (home / "no-bus").string()};
    BackgroundProcess running(helper);
    waitForPublishedStatus([](const WakeHelperStatus&) { return true; });
    EXPECT_EQ(running.waitForExit(std::chrono::milliseconds(0)), -1) << "it runs on";
}

// Nothing the helper reads may hold it up: with Sollun's program a FIFO, the menu still answers
// and SIGTERM still ends the helper.
TEST_F(HelperProgram, AFifoForSollunsProgramHoldsNothingUp) {
    const auto fifo = home / "sollun";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0755), 0);
    std::filesystem::create_directories(home / "data/applications");
    writeFile(home / "data/applications/com.kestrovane.sollun.desktop",
              "[Desktop Entry]\nType=Application\nName=Sollun\nExec=" + fifo.string() + "\n");
    ScopedEnvironmentVariable english{"LC_ALL", "C"};
    BackgroundProcess running(helper);
    waitForOwner();
    const auto shown = labels();
    EXPECT_NE(std::find(shown.begin(), shown.end(), "Launch Sollun"), shown.end());
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, running.pid(), 0));
    kill(running.pid(), SIGTERM);
    pollfd ended{pidfd, POLLIN, 0};
    EXPECT_EQ(poll(&ended, 1, 10'000), 1) << "SIGTERM left the helper running";
    close(pidfd);
}

// Languages the system need not have a locale for: in C.UTF-8, LANGUAGE picks the catalogue, on
// any glibc. Quit ends each.
TEST_F(HelperProgram, MenuInEachShippedLanguage) {
    const std::vector<std::string> english{
        "Sollun — Wake From Sleep", "Waiting for approval in Login Items",
        "Approve in Login Items…",  "Launch Sollun",
        "Start at Login",           "Quit SollunHelper"};
    ScopedEnvironmentVariable all{"LC_ALL", std::nullopt};
    ScopedEnvironmentVariable messages{"LC_MESSAGES", std::nullopt};
    ScopedEnvironmentVariable lang{"LANG", "C.UTF-8"};
    for (const char* language : {"de", "fr", "es", "it", "pt_BR", "ja"}) {
        ScopedEnvironmentVariable chosen{"LANGUAGE", language};
        BackgroundProcess running(helper);
        waitForOwner();
        const auto shown = labels();
        ASSERT_EQ(shown.size(), english.size()) << language;
        for (std::size_t i = 0; i < shown.size(); ++i)
            EXPECT_NE(shown[i], english[i]) << language << ": untranslated";
        menu({"Event", "isvu", "8", "clicked", "s", "", "0"}); // Quit, as a host sends it
        EXPECT_EQ(running.waitForExit(), 0);
    }
}

// The system's time zone is replaced in a copy-on-write view of /etc. The status line shows the
// alarm in LC_TIME's format and the texts' language, and a host showing the menu as it fetched it
// is told of the new time.
TEST_F(HelperProgram, ANewSystemTimeZoneShowsWithoutARestart) {
    if (privateMountsUnavailable)
        GTEST_SKIP() << *privateMountsUnavailable;
    TempDir layers;
    std::filesystem::create_directories(layers / "upper");
    std::filesystem::create_directories(layers / "work");
    const std::string options = "lowerdir=/etc,upperdir=" + (layers / "upper").string() +
                                ",workdir=" + (layers / "work").string();
    if (mount("overlay", "/etc", "overlay", 0, options.c_str()) != 0)
        GTEST_SKIP() << "no overlay on /etc: " << std::strerror(errno);
    const struct Unmount {
        ~Unmount() { umount2("/etc", MNT_DETACH); }
    } unmount;
    const auto setZone = [](const char* zone) {
        std::filesystem::create_symlink(std::filesystem::path("/usr/share/zoneinfo") / zone,
                                        "/etc/localtime.new");
        std::filesystem::rename("/etc/localtime.new", "/etc/localtime");
    };
    setZone("UTC");

    installDaemon();
    writeSchedule(1, alarm);
    ScopedEnvironmentVariable zone{"TZ", std::nullopt};
    ScopedEnvironmentVariable all{"LC_ALL", std::nullopt};
    ScopedEnvironmentVariable lang{"LANG", "C.UTF-8"};
    ScopedEnvironmentVariable time{"LC_TIME", "de_DE.UTF-8"};
    ScopedEnvironmentVariable language{"LANGUAGE", "fr"};
    BackgroundProcess running(helper);
    waitForOwner();
    waitForWake(alarm);
    EXPECT_EQ(labels().at(1), "Prochaine alarme\u00A0: 02.03.2031, 06:30");

    // Until the menu announces a change and shows the alarm in the new zone.
    const std::string nepal = "Prochaine alarme\u00A0: 02.03.2031, 12:15";
    int announcements = 0;
    const auto host = connect(sessionBus.address());
    ASSERT_GE(sd_bus_match_signal(
                  host.get(), nullptr, nullptr, "/MenuBar", "com.canonical.dbusmenu", nullptr,
                  [](sd_bus_message*, void* count, sd_bus_error*) {
                      ++*static_cast<int*>(count);
                      return 0;
                  },
                  &announcements),
              0);
    setZone("Asia/Kathmandu");
    EXPECT_TRUE(pump(
        host.get(),
        [&] { return std::exchange(announcements, 0) > 0 && labels(true).at(1) == nepal; },
        std::chrono::seconds(10)));
}

// The daemon stopped while the main application publishes revision after revision, each read by
// the helper before the next is written: more than the bus lets a connection wait for. Once the
// daemon goes on, the last revision is in its store, the status file and the menu, and no status
// on the way names an older revision than the one before it.
TEST_F(HelperProgram, AfterABurstAgainstAStoppedDaemonTheLastRevisionIsEverywhere) {
    ScopedEnvironmentVariable zone{"TZ", "UTC"}, all{"LC_ALL", std::nullopt},
        time{"LC_TIME", "de_DE.UTF-8"}, language{"LANGUAGE", std::nullopt};
    installDaemon();
    writeSchedule(1, alarm);
    BackgroundProcess running(helper);
    waitForWake(alarm);
    const pid_t daemon = daemonPid(connect(systemBus.address()).get());
    ASSERT_EQ(kill(daemon, SIGSTOP), 0);
    writeBurst(2, 140, alarm);
    kill(daemon, SIGCONT);
    std::int64_t newest = 0;
    waitForPublishedStatus([&](const WakeHelperStatus& status) {
        const auto revision =
            (status.lastScheduledWake.value_or(alarm) - alarm) / std::chrono::minutes(1);
        EXPECT_GE(revision, newest);
        newest = std::max(newest, revision);
        return revision == 140;
    });
    EXPECT_NE(readFile(home / "state/power-events.json").find("2031-03-02T08:50:00."),
              std::string::npos);
    EXPECT_EQ(labels().at(1), "Next alarm: 02.03.2031, 08:50");
}

// More revisions than the daemon admits from one user at once, each after the one before reached
// the daemon: the helper keeps within the limit, so none is refused and sent again seconds later.
TEST_F(HelperProgram, ALongBurstIsPacedRatherThanRefused) {
    if (journal())
        GTEST_SKIP() << "the helper logs to the journal here";
    ScopedEnvironmentVariable zone{"TZ", "UTC"};
    installDaemon();
    writeSchedule(1, alarm);
    BackgroundProcess running(loggedHelper());
    waitForWake(alarm);
    // Each revision its own request: written once the one before is in the status.
    for (int revision = 2; revision <= RequestBucket::burst + 3; ++revision) {
        writeSchedule(revision, alarm + std::chrono::minutes(revision));
        waitForWake(alarm + std::chrono::minutes(revision));
    }
    EXPECT_EQ(readFile(home / "log").find("sending it again"), std::string::npos)
        << readFile(home / "log");
}

// Installed by an administrator where the helper does not look, the daemon is found within half a
// minute. Until then the revision read at start is skipped once, and not tried again; then it
// goes as it was read, though the file no longer decodes.
TEST_F(HelperProgram, ADaemonInstalledElsewhereIsFoundAndTheSkippedRevisionGoesOnce) {
    if (journal())
        GTEST_SKIP() << "the helper logs to the journal here";
    const Instant wake = anHourAhead();
    writeSchedule(1, wake);
    BackgroundProcess running(loggedHelper());
    waitForDaemonState(WakeDaemonRegistrationState::requiresApproval);
    writeFile(container / "wake-schedule.json", "{");
    installDaemon();
    waitForWake(wake, std::chrono::seconds(45));
    const auto log = readFile(home / "log");
    const auto skipped = log.find("Skipping scheduleWake; daemon not enabled");
    EXPECT_TRUE(skipped != std::string::npos && skipped == log.rfind("Skipping")) << log;
    EXPECT_EQ(log.find("sending it again"), std::string::npos) << log;
}

// Its log on a pipe whose reader has gone, and no journal: the helper carries on. A development
// build says first thing that any program of the user's passes for the daemon.
TEST_F(HelperProgram, ItOutlivesTheReaderOfItsLog) {
    if (journal())
        GTEST_SKIP() << "the helper logs to the journal here";
    installDaemon();
    BackgroundProcess running(helper, STDERR_FILENO);
    const auto first = running.readLine();
    running.closePipe();
    EXPECT_EQ(first.find("DEVELOPMENT BUILD: the product identities are mapped onto this user's "
                         "own groups; any program of this user may pass for the daemon") !=
                  std::string::npos,
              trust::identitiesAreDevelopmentMapped())
        << first;
    const Instant wake = anHourAhead();
    writeSchedule(1, wake);
    waitForWake(wake);
}

} // namespace
} // namespace sollun::test
