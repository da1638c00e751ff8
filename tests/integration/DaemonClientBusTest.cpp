// The helper's way to the daemon on a private system bus: the registration and its approval, and
// the controller as the helper runs it, against the real daemon and against a stand-in that owns
// the daemon's name (tests/fixtures/WakeDaemonStandIn.cpp) and records the calls reaching it.

#include "SollunHelper/daemon/LinuxWakeDaemonController.h"
#include "platform/Log.h"
#include "platform/Task.h"
#include "platform/linux/SdEventLoop.h"
#include "tests/support/LoopWatchdog.h"
#include "tests/support/PrivateBus.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace sollun::helper {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr const char* daemonName = "com.kestrovane.sollun.wakedaemon";

class DaemonClient : public ::testing::Test {
protected:
    DaemonClient() {
        // The stand-in may run as nobody.
        fs::permissions(records.path(), fs::perms::owner_all | fs::perms::others_exec);
        test::writeFile(records / "calls", "");
        fs::permissions(records / "calls", fs::perms::owner_all | fs::perms::others_write);
    }

    // Runs `task` on the loop to its end.
    template <class T>
    T run(platform::Task<T> task) {
        std::optional<T> result;
        const auto running = platform::start(loop, std::move(task), [&](T value) {
            result = std::move(value);
            loop.exit(0);
        });
        EXPECT_EQ(test::runWithWatchdog(loop, 20s), 0);
        return result.value_or(T{});
    }

    // Runs the loop until the service, telling of a change, answers `expected`.
    void waitForStatus(BusDaemonService& service, std::int64_t expected) {
        service.setChangeHandler([&] {
            if (service.status() == expected)
                loop.exit(0);
        });
        if (service.status() != expected) {
            EXPECT_EQ(test::runWithWatchdog(loop), 0) << "waiting for status " << expected;
        }
        service.setChangeHandler(nullptr);
    }
    // The controller as the helper makes it, once it has seen the daemon enabled.
    std::unique_ptr<WakeDaemonController> enabledController() {
        auto daemon =
            makeLinuxWakeDaemonController(loop, systemBus, {daemonName, shipped.path(), {}});
        const auto enabled = WakeDaemonRegistrationState::enabled;
        const auto observation = daemon->observe([&](std::string_view) {
            if (daemon->registrationState() == enabled)
                loop.exit(0);
        });
        if (daemon->registrationState() != enabled) {
            EXPECT_EQ(test::runWithWatchdog(loop), 0);
        }
        return daemon;
    }
    void writeDefinition() {
        test::writeFile(shipped / (std::string(daemonName) + ".service"),
                        test::activationFile(daemonName, SOLLUN_DAEMON_EXECUTABLE));
    }

    // The stand-in owning the daemon's name, `silent` (never answers) or `answer`.
    std::unique_ptr<test::BackgroundProcess> startStandIn(const std::string& mode,
                                                          bool asNobody = false) {
        std::vector<std::string> argv{SOLLUN_DAEMON_STAND_IN, (records / "calls").string(), mode};
        if (asNobody)
            argv.insert(argv.begin(),
                        {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
        auto standIn = std::make_unique<test::BackgroundProcess>(argv, 3);
        EXPECT_EQ(standIn->readLine(), "ready");
        return standIn;
    }

    test::TempDir state;
    test::ScopedEnvironmentVariable stateDirectory{"STATE_DIRECTORY", (state / "").string()};
    test::TempDir shipped;
    test::TempDir records;
    platform::SdEventLoop loop;
    test::PrivateBus bus{{}}; // nothing activatable until the approval installs the daemon
    test::ScopedEnvironmentVariable address{"DBUS_SYSTEM_BUS_ADDRESS", bus.address()};
    // The helper's one connection to the system bus, opened when first used.
    SystemBus systemBus{loop};
};

TEST_F(DaemonClient, ApprovedItReachesTheDaemonAndOutlivesItsDeathMidRequest) {
    // The approval stands in for the administrator's installer: it puts the activation file in
    // place and has the bus reload.
    const auto definition = shipped / (std::string(daemonName) + ".service");
    BusDaemonService service(
        loop, systemBus,
        {daemonName,
         shipped.path(),
         {"sh", "-c",
          "cp \"$0\" \"$1\" && busctl --address=\"$DBUS_SYSTEM_BUS_ADDRESS\" call "
          "org.freedesktop.DBus /org/freedesktop/DBus org.freedesktop.DBus ReloadConfig",
          definition.string(), (bus.directory() / "services").string()}});
    EXPECT_EQ(service.status(), -1) << "unknown until the bus has answered";
    waitForStatus(service, serviceNotFound);
    writeDefinition();
    waitForStatus(service, serviceNotRegistered);
    EXPECT_EQ(service.registerService(), std::nullopt);
    EXPECT_EQ(service.status(), serviceRequiresApproval);
    service.setApprovalFinishedHandler([&](int exit) { loop.exit(exit); });
    service.requestApproval();
    ASSERT_EQ(test::runWithWatchdog(loop), 0);
    waitForStatus(service, serviceEnabled);

    // A daemon that dies with a request open: the caller gets the default, and the next request
    // reaches the daemon the bus starts anew.
    auto standIn = startStandIn("silent");
    const auto daemon = enabledController();
    const auto killer = std::get<platform::Source>(loop.watchDirectory(
        records.path(), IN_CLOSE_WRITE, [&](const platform::DirectoryEvent&) { standIn.reset(); }));
    EXPECT_EQ(run(daemon->fetchVersion()), 0);
    EXPECT_EQ(test::readFile(records / "calls"), "GetVersion\n");
    EXPECT_EQ(run(daemon->fetchVersion()), 1);

    // The instant goes to the microsecond.
    const auto second = std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());
    const Instant wake = second + 1h + 123456us;
    EXPECT_EQ(run(daemon->scheduleWake(wake)), wake);
    EXPECT_NE(test::readFile(state / "power-events.json").find(".123456Z\""), std::string::npos);
    EXPECT_EQ(run(daemon->scheduleWake(std::nullopt)), std::nullopt);
    EXPECT_EQ(test::readFile(state / "power-events.json"), "[]\n");
}

// polkit saying no to the user is the daemon's answer, not a request that went astray: the
// helper logs it once and does not send it again.
TEST_F(DaemonClient, APolkitRefusalIsAnAnswerLoggedOnce) {
    const auto polkit = test::startSystemMock(bus, "polkitd", "org.freedesktop.PolicyKit1");
    ASSERT_TRUE(polkit);
    test::writeFile(bus.directory() / "services" / "wakedaemon.service",
                    test::activationFile(daemonName, SOLLUN_DAEMON_EXECUTABLE));
    bus.reload();
    platform::ScopedMemoryLog log;
    const auto daemon = enabledController();
    const auto scheduled = run(daemon->requestWake(currentInstant() + 1h));
    EXPECT_EQ(scheduled.scheduled, std::nullopt);
    EXPECT_FALSE(scheduled.unanswered);
    EXPECT_FALSE(run(daemon->requestWake(std::nullopt)).unanswered);
    std::vector<std::string> errors;
    for (const auto& entry : log->entries())
        if (entry.level == platform::LogLevel::error)
            errors.push_back(entry.message);
    EXPECT_EQ(errors, std::vector<std::string>{
                          "Daemon rejected wake: Not authorized to change the wake schedule"});
}

TEST_F(DaemonClient, AnImpostorOwningTheNameReceivesNothing) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run the impostor as another user (CI runs as root)";
    const auto impostor = startStandIn("answer", true);
    const auto daemon = enabledController();
    EXPECT_EQ(run(daemon->fetchVersion()), 0);
    EXPECT_EQ(run(daemon->scheduleWake(currentInstant() + 1h)), std::nullopt);
    EXPECT_EQ(test::readFile(records / "calls"), "");
}

// The status is what the service holds: each change shows once the loop has heard of it from the
// bus or the watched directories, never because status() asked; a bus missing at first or restarted
// is followed too.
TEST_F(DaemonClient, TheStatusFollowsTheNameAndTheActivationFilesFromWhatItHolds) {
    test::ScopedEnvironmentVariable anyStart{"DBUS_SYSTEM_BUS_ADDRESS", bus.socketAddress()};
    writeDefinition();
    const auto services = bus.directory() / "services";
    // A bus that is not there yet is tried again, backing off, until it answers.
    bus.kill();
    BusDaemonService service(loop, systemBus, {daemonName, shipped.path(), {}, {services}});
    EXPECT_EQ(service.status(), -1);
    bus.restart();
    waitForStatus(service, serviceNotRegistered);
    ASSERT_EQ(service.registerService(), std::nullopt);

    auto standIn = startStandIn("answer");
    EXPECT_EQ(service.status(), serviceRequiresApproval);
    waitForStatus(service, serviceEnabled);
    standIn.reset();
    EXPECT_EQ(service.status(), serviceEnabled);
    // The name had an owner: the request counts as answered.
    waitForStatus(service, serviceNotRegistered);

    bus.kill();
    bus.restart();
    standIn = startStandIn("answer");
    waitForStatus(service, serviceEnabled);
    standIn.reset();
    waitForStatus(service, serviceNotRegistered);

    test::writeFile(services / "wakedaemon.service",
                    test::activationFile(daemonName, SOLLUN_DAEMON_EXECUTABLE));
    EXPECT_EQ(service.status(), serviceNotRegistered);
    waitForStatus(service, serviceEnabled);
}

TEST_F(DaemonClient, AStuckBusLeavesTheStatusUnknownWithoutHoldingTheLoop) {
    // A socket listened on and never served: the bus's handshake never ends.
    const auto path = records / "stuck";
    const int stuck = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un socketAddress{};
    socketAddress.sun_family = AF_UNIX;
    path.string().copy(socketAddress.sun_path, sizeof socketAddress.sun_path - 1);
    ASSERT_EQ(bind(stuck, reinterpret_cast<sockaddr*>(&socketAddress), sizeof socketAddress), 0);
    ASSERT_EQ(listen(stuck, 4), 0);
    {
        test::ScopedEnvironmentVariable stuckBus{"DBUS_SYSTEM_BUS_ADDRESS",
                                                 "unix:path=" + path.string()};
        writeDefinition();
        SystemBus stuckConnection(loop);
        const auto daemon =
            makeLinuxWakeDaemonController(loop, stuckConnection, {daemonName, shipped.path(), {}});
        daemon->registerIfNeeded();
        EXPECT_EQ(daemon->registrationState(), WakeDaemonRegistrationState::unknown);
        loop.post([&] { loop.exit(0); });
        EXPECT_EQ(test::runWithWatchdog(loop), 0);
        EXPECT_EQ(daemon->registrationState(), WakeDaemonRegistrationState::unknown);
    }
    close(stuck);
}

TEST_F(DaemonClient, AFailedApprovalSaysWhyAndLeavesTheRequestPending) {
    platform::ScopedMemoryLog log;
    writeDefinition();
    const auto missing = (records / "pkexec").string();
    const struct {
        std::vector<std::string> command;
        std::string reason;
    } rows[] = {
        {{"sh", "-c", "exit 126"}, "the authorization was refused or its dialog dismissed"},
        {{"sh", "-c", "exit 127"},
         "no authorization could be obtained (is an authentication agent running?)"},
        {{"sh", "-c", "exit 3"}, "the installer exited with status 3"},
        {{"sh", "-c", "kill -TERM $$"}, "the installer ended by signal 15"},
        {{missing}, missing + " cannot run: No such file or directory"},
    };
    for (const auto& [command, reason] : rows) {
        SCOPED_TRACE(reason);
        BusDaemonService service(loop, systemBus, {daemonName, shipped.path(), command});
        waitForStatus(service, serviceNotRegistered);
        ASSERT_EQ(service.registerService(), std::nullopt);
        std::optional<int> exit;
        service.setApprovalFinishedHandler([&](int code) {
            exit = code;
            loop.exit(0);
        });
        service.requestApproval();
        if (!exit) {
            EXPECT_EQ(test::runWithWatchdog(loop), 0);
        }
        EXPECT_EQ(service.status(), serviceRequiresApproval);
        EXPECT_EQ(log->entries().back(),
                  (platform::MemoryLogSink::Entry{
                      platform::LogLevel::error, "com.kestrovane.sollun.helper",
                      "daemon-controller", "Daemon approval failed: " + reason}));
    }
}

} // namespace
} // namespace sollun::helper
