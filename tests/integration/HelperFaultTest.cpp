// Faults under a running helper: the container's file system full, the system bus restarted. The
// coordinator runs with its real parts: the daemon by activation on a private system bus, a
// private session bus, the desktop's workspace.

#include "SollunHelper/HelperCoordinator.h"
#include "SollunHelper/daemon/LinuxWakeDaemonController.h"
#include "SollunHelper/daemon/SystemBus.h"
#include "SollunHelper/desktop/GioWorkspace.h"
#include "SollunHelper/desktop/LogindWakeObserver.h"
#include "SollunHelper/session/SessionBus.h"
#include "shared/AtomicFile.h"
#include "shared/Rfc3339.h"
#include "shared/WakeHelperStatus.h"
#include "tests/support/FakeLoginItem.h"
#include "tests/support/FakeWorkspace.h"
#include "tests/support/LoopWatchdog.h"
#include "tests/support/PrivateBus.h"
#include "tests/support/Subprocess.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace sollun::helper {
namespace {

// The container gets a tmpfs in a mount namespace of the test's own, made before GLib starts
// any thread.
const std::optional<std::string> privateMountsUnavailable = test::enterPrivateMountNamespace();

using namespace std::chrono_literals;

class HelperFaults : public ::testing::Test {
protected:
    static constexpr const char* daemonName = "com.kestrovane.sollun.wakedaemon";

    void SetUp() override {
        std::filesystem::create_directories(container);

        coordinator = std::make_unique<HelperCoordinator>(
            loop,
            makeLinuxWakeDaemonController(loop, systemConnection,
                                          BusDaemonService::Setup{daemonName, shipped.path(), {}}),
            std::make_unique<GioWorkspace>(loop, sessionConnection),
            std::make_unique<LogindWakeObserver>(loop, systemConnection),
            std::make_unique<test::FakeSleepInhibitor>(), std::make_unique<test::FakeLoginItem>());
    }

    // Runs the loop until `done()`, checked now and at every change the coordinator, its daemon
    // controller or the container see. The exit is posted, so that the change has had its
    // effects.
    template <class Done>
    void runUntil(Done done) {
        bool exiting = false;
        auto check = [&](auto&&...) {
            if (!exiting && (exiting = done()))
                loop.post([&] { loop.exit(0); });
        };
        const auto coordinatorChanged = coordinator->observe(check);
        const auto daemonChanged = coordinator->daemon().observe(check);
        const auto containerWritten = std::get<platform::Source>(
            loop.watchDirectory(container, IN_CLOSE_WRITE | IN_MOVED_TO, check));
        loop.post(check);
        ASSERT_EQ(test::runWithWatchdog(loop, 15s), 0);
    }

    // Started, and revision 1 (a wake an hour from the returned second) published. The version
    // is answered first: a schedule written after is reconciled once.
    Instant startPublishing() {
        const auto now = std::chrono::ceil<std::chrono::seconds>(std::chrono::system_clock::now());
        coordinator->start();
        runUntil([&] { return coordinator->daemon().daemonVersion() != 0; });
        writeSchedule(1, now + 1h);
        runUntilPublished(now + 1h);
        return now;
    }

    // As the main application writes it: the alarm five minutes after the wake.
    void writeSchedule(std::int64_t revision, std::optional<Instant> wake) {
        ASSERT_FALSE(writeFileAtomically(
            container / "wake-schedule.json",
            *encodeWakeSchedule({wake, wake ? std::optional(*wake + 5min) : std::nullopt, revision,
                                 std::nullopt})));
    }

    std::optional<WakeHelperStatus> status() {
        const auto text = readSmallFile(container / "helper-status.json", 4096);
        return text ? decodeWakeHelperStatus(*text) : std::nullopt;
    }

    // Runs the loop until the status file shows `wake` accepted by the enabled daemon.
    void runUntilPublished(std::optional<Instant> wake) {
        runUntil([&] {
            const auto status = this->status();
            return status && status->lastScheduledWake == wake && status->daemonVersion == 1 &&
                   status->daemonState == WakeDaemonRegistrationState::enabled;
        });
    }

    std::string store() { return test::readFile(state / "power-events.json"); }

    bool storeHas(Instant wake) {
        auto text = *rfc3339::format(wake);
        text.back() = '.'; // the store keeps microseconds
        return store().find(text) != std::string::npos;
    }

    // Set before the buses start: the daemon they activate inherits them.
    test::TempDir state, data, shipped;
    test::ScopedEnvironmentVariable stateDirectory{"STATE_DIRECTORY", state.path().string()};
    test::ScopedEnvironmentVariable dataHome{"XDG_DATA_HOME", data.path().string()};
    const std::filesystem::path container = data / "group.com.kestrovane.sollun";
    test::PrivateBus systemBus{
        {test::PrivateBus::Policy::open,
         {},
         {{"wakedaemon.service", test::activationFile(daemonName, SOLLUN_DAEMON_EXECUTABLE)}}}};
    test::PrivateBus sessionBus{test::PrivateBus::Options{}};
    // Without the guid, so that the helper also takes the bus started again on the socket.
    test::ScopedEnvironmentVariable systemAddress{"DBUS_SYSTEM_BUS_ADDRESS",
                                                  systemBus.socketAddress()};
    test::ScopedEnvironmentVariable sessionAddress{"DBUS_SESSION_BUS_ADDRESS",
                                                   sessionBus.address()};
    platform::SdEventLoop loop;
    // The helper's one connection to each bus.
    SystemBus systemConnection{loop};
    SessionBus sessionConnection{loop};
    std::unique_ptr<HelperCoordinator> coordinator;
};

TEST_F(HelperFaults, FullContainerLeavesTheStatusAsItWasUntilThereIsRoom) {
    if (privateMountsUnavailable)
        GTEST_SKIP() << *privateMountsUnavailable;
    ASSERT_EQ(mount("sollun-test", container.c_str(), "tmpfs", MS_NOSUID | MS_NODEV,
                    "size=64k,nr_inodes=64,mode=0700"),
              0)
        << std::strerror(errno);
    // Lazily: the coordinator still watches the directory.
    const struct Unmount {
        const std::filesystem::path& at;
        ~Unmount() { umount2(at.c_str(), MNT_DETACH); }
    } unmount{container};

    const auto now = startPublishing();
    std::int64_t revision = 1;

    for (const bool inodes : {false, true}) {
        SCOPED_TRACE(inodes ? "no inodes left" : "no space left");
        const auto before = test::readFile(container / "helper-status.json");
        const Instant wake = now + std::chrono::hours(++revision);
        // Written before the filling: the helper's status write is the first to want room.
        writeSchedule(revision, wake);
        // One file takes the rest of the space, or empty files the rest of the inodes.
        for (int n = 0;; ++n) {
            const int fd = open((container / ("filler-" + std::to_string(n))).c_str(),
                                O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
            if (fd < 0)
                break;
            const std::string block(4096, 'x');
            while (!inodes && write(fd, block.data(), block.size()) > 0) {
            }
            close(fd);
            if (!inodes)
                break;
        }
        runUntil([&] { return coordinator->lastScheduledWake() == wake; });
        EXPECT_TRUE(storeHas(wake)) << store();
        EXPECT_EQ(test::readFile(container / "helper-status.json"), before);
        for (const auto& name : test::directoryEntries(container))
            if (name.starts_with("filler-"))
                std::filesystem::remove(container / name);
        EXPECT_EQ(test::directoryEntries(container),
                  (std::vector<std::string>{"helper-status.json", "wake-schedule.json"}));

        const Instant next = now + std::chrono::hours(++revision);
        writeSchedule(revision, next);
        runUntilPublished(next);
    }
}

TEST_F(HelperFaults, SystemBusRestartedUnderTheHelper) {
    const auto now = startPublishing();

    systemBus.kill();
    runUntil([&] { return !coordinator->daemon().connection(); });

    // Renamed in from outside the container, so that the helper hears of it once: no other
    // reconciliation may find the new bus before this one.
    const auto next = data / "wake-schedule.next";
    ASSERT_FALSE(writeFileAtomically(next, *encodeWakeSchedule({now + 2h, now + 3h, 2, {}})));
    systemBus.restart();
    std::filesystem::rename(next, container / "wake-schedule.json");
    runUntilPublished(now + 2h);
    EXPECT_TRUE(storeHas(now + 2h)) << store();

    // A revision published while the bus is down gets no answer, and the status claims nothing;
    // once the bus is back the helper sends it again on its own.
    systemBus.kill();
    runUntil([&] { return !coordinator->daemon().connection(); });
    writeSchedule(3, now + 4h);
    runUntil([&] {
        const auto status = this->status();
        return status && !status->lastScheduledWake;
    });
    systemBus.restart();
    runUntilPublished(now + 4h);
    EXPECT_TRUE(storeHas(now + 4h)) << store();
}

// What date libraries write for the distant past and future, and the last second there is: each
// is read, reaches the daemon and comes back in the status. The past one clears the wake; the
// future ones are stored, and the launch timer waits for them.
TEST_F(HelperFaults, DatesOfAnyYearReachTheDaemonAndTheStatus) {
    platform::ScopedMemoryLog log;
    startPublishing();

    std::int64_t revision = 1;
    for (const auto& [date, ahead] : {std::pair{"0001-01-01T00:00:00Z", false},
                                      {"4001-01-01T00:00:00Z", true},
                                      {"9999-12-31T23:59:59Z", true}}) {
        SCOPED_TRACE(date);
        const auto wake = rfc3339::parse(date);
        ASSERT_TRUE(wake);
        ASSERT_FALSE(writeFileAtomically(container / "wake-schedule.json",
                                         R"({"wakeDate":")" + std::string(date) +
                                             R"(","revision":)" + std::to_string(++revision) +
                                             "}"));
        runUntilPublished(wake);
        EXPECT_EQ(storeHas(*wake), ahead) << store();
        EXPECT_EQ(store() == "[]\n", !ahead) << store();
    }
    EXPECT_TRUE(coordinator->hasLaunchTimer());
    for (const auto& entry : log->entries())
        EXPECT_NE(entry.message, "App-launch timer fired");
}

} // namespace
} // namespace sollun::helper
