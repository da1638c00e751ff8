// The helper's way to the daemon on a private system bus: the controller as the helper runs it
// against the real daemon, the registration and its approval, and the connection's own checks
// against a stand-in that owns the daemon's name (tests/fixtures/WakeDaemonStandIn.cpp).

#include "SollunHelper/linux/LinuxWakeDaemonController.h"
#include "SollunHelper/linux/SdBusDaemonConnection.h"
#include "platform/Log.h"
#include "platform/Task.h"
#include "platform/linux/SdEventLoop.h"
#include "shared/ProductIdentities.h"
#include "shared/Rfc3339.h"
#include "tests/support/LoopWatchdog.h"
#include "tests/support/PrivateBus.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>
#include <systemd/sd-bus.h>

#include <signal.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace sollun::helper {
namespace {

using namespace std::chrono_literals;
using test::ScopedEnvironmentVariable;

constexpr const char* daemonName = "com.kestrovane.sollun.wakedaemon";

std::string readAll(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

const auto unexpectedText = [](const std::optional<std::string>&) { ADD_FAILURE() << "answered"; };
const auto unexpectedVersion = [](std::int64_t) { ADD_FAILURE() << "answered"; };

class DaemonClient : public ::testing::Test {
protected:
    // A private system bus, named in DBUS_SYSTEM_BUS_ADDRESS, that starts the real daemon on
    // demand when `activatable`.
    void startBus(bool activatable) {
        test::PrivateBus::Options options;
        if (activatable)
            options.services = {
                {"wakedaemon.service", test::activationFile(daemonName, SOLLUN_DAEMON_EXECUTABLE)}};
        bus.emplace(options);
        address.emplace("DBUS_SYSTEM_BUS_ADDRESS", bus->address());
        controller = makeLinuxWakeDaemonController(
            loop, BusDaemonService::Setup{daemonName, shipped.path(), {}});
    }

    // Runs `task` on the loop to its end.
    template <class T>
    T run(platform::Task<T> task) {
        std::optional<T> result;
        platform::spawn(loop,
                        [](platform::Task<T> t, std::optional<T>& out,
                           platform::EventLoop& l) -> platform::Task<> {
                            out = co_await std::move(t);
                            l.exit(0);
                        }(std::move(task), result, loop));
        EXPECT_EQ(test::runWithWatchdog(loop, 20s), 0);
        return *result;
    }

    // A resumed connection of the helper's that counts what it reports.
    std::shared_ptr<WakeDaemonConnection> connect(SdBusConnectorOptions options = {}) {
        SdBusDaemonConnector connector(loop, trust::productIdentities(), std::move(options));
        auto connection = connector.connect(daemonName, true, trust::clientRequirementText());
        if (connection) {
            connection->setInterruptionHandler([this] { ++interruptions; });
            connection->setInvalidationHandler([this] { ++invalidations; });
            connection->resume();
        }
        return connection;
    }

    // An error handler that keeps the descriptions and ends the run at the `count`th.
    WakeDaemonConnection::ErrorHandler stopAfterErrors(std::size_t count) {
        return [this, count](const std::string& description) {
            errors.push_back(description);
            if (errors.size() == count)
                loop.exit(0);
        };
    }

    // The stand-in in `mode`, run as the test's own user or as nobody; it records every call
    // reaching it. It owns the name first, so the bus starts nothing; but the bus answers the
    // helper's start request with an error for a name it has no activation file for.
    std::unique_ptr<test::BackgroundProcess> startStandIn(const std::string& mode,
                                                          bool asNobody = false) {
        startBus(true);
        using std::filesystem::perms;
        std::filesystem::permissions(records.path(), perms::owner_all | perms::others_exec);
        test::writeFile(records / "calls", "");
        std::filesystem::permissions(records / "calls", perms::owner_all | perms::others_write);
        std::vector<std::string> argv;
        if (asNobody)
            argv = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
        argv.insert(argv.end(), {SOLLUN_DAEMON_STAND_IN, (records / "calls").string(), mode});
        auto standIn = std::make_unique<test::BackgroundProcess>(argv, 3);
        EXPECT_EQ(standIn->readLine(), "ready");
        return standIn;
    }

    // Calls `callback` once the stand-in has recorded a call.
    platform::Source whenRecorded(std::function<void()> callback) {
        return std::get<platform::Source>(loop.watchDirectory(
            records.path(), IN_CLOSE_WRITE,
            [callback = std::move(callback)](const platform::DirectoryEvent&) { callback(); }));
    }

    test::TempDir state;
    ScopedEnvironmentVariable stateDirectory{"STATE_DIRECTORY", (state / "").string()};
    test::TempDir shipped;
    test::TempDir records;
    platform::SdEventLoop loop;
    platform::ScopedMemoryLog log;
    std::optional<test::PrivateBus> bus;
    std::optional<ScopedEnvironmentVariable> address;
    std::unique_ptr<WakeDaemonController> controller;
    std::vector<std::string> errors;
    int interruptions = 0;
    int invalidations = 0;
};

// --- The controller and the real daemon ---

TEST_F(DaemonClient, TheControllerCarriesEveryRequestToTheDaemonAndFollowsItsRestart) {
    startBus(true);
    controller->registerIfNeeded();
    EXPECT_EQ(controller->registrationState(), WakeDaemonRegistrationState::enabled);
    EXPECT_EQ(run(controller->fetchVersion()), 1);

    // The instant goes as whole microseconds, the nanoseconds dropped rather than rounded up.
    const auto second = std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());
    const Instant wake = second + 1h + 123456999ns;
    EXPECT_EQ(run(controller->scheduleWake(wake)), wake);
    auto stamp = *rfc3339::format(second + 1h);
    stamp.insert(stamp.size() - 1, ".123456");
    const auto stored = readAll(state / "power-events.json");
    EXPECT_NE(stored.find(stamp), std::string::npos) << stored;

    EXPECT_EQ(run(controller->scheduleWake(std::nullopt)), std::nullopt);
    EXPECT_EQ(readAll(state / "power-events.json").find("wakepoweron"), std::string::npos);
    EXPECT_EQ(log->messages(), std::vector<std::string>{"Daemon already enabled"});

    // The daemon killed: the controller lets go of the interrupted connection, and the next
    // request reaches the daemon started anew over a new one.
    const auto first = controller->connection();
    ASSERT_TRUE(first);
    const auto owner =
        test::runProcess({"busctl", "--address=" + bus->address(), "call", "org.freedesktop.DBus",
                          "/org/freedesktop/DBus", "org.freedesktop.DBus",
                          "GetConnectionUnixProcessID", "s", daemonName});
    ASSERT_EQ(owner.exitCode, 0) << owner.output;
    auto observation = controller->observe([&](std::string_view field) {
        if (field == "connection" && !controller->connection())
            loop.exit(0);
    });
    ASSERT_EQ(kill(std::stoi(owner.output.substr(2)), SIGKILL), 0);
    ASSERT_EQ(test::runWithWatchdog(loop), 0);
    EXPECT_EQ(run(controller->fetchVersion()), 1);
    EXPECT_NE(controller->connection(), first);
}

TEST_F(DaemonClient, WithoutTheDaemonEveryRequestYieldsItsDefault) {
    startBus(false);
    controller->registerIfNeeded();
    EXPECT_EQ(controller->registrationState(), WakeDaemonRegistrationState::notFound);
    EXPECT_EQ(run(controller->fetchVersion()), 0);
    EXPECT_FALSE(run(controller->clearWake()));
    EXPECT_EQ(run(controller->scheduleWake(std::chrono::system_clock::now() + 1h)), std::nullopt);

    // The bus's refusal to start the daemon, as the controller logs it, names the daemon.
    ASSERT_EQ(log->messages().size(), 4u);
    EXPECT_NE(log->messages()[1].find(daemonName), std::string::npos) << log->messages()[1];
}

// --- Registration ---

TEST_F(DaemonClient, ARegistrationWaitsForApprovalUntilTheDaemonIsInstalled) {
    startBus(false);
    const auto definition = shipped / (std::string(daemonName) + ".service");
    test::writeFile(definition, test::activationFile(daemonName, SOLLUN_DAEMON_EXECUTABLE));
    // The approval stands in for the administrator's installer: refused the first time, then it
    // puts the activation file in place and has the bus reload.
    BusDaemonService service(
        loop, {daemonName,
               shipped.path(),
               {"sh", "-c",
                "[ -e \"$0\" ] || { touch \"$0\"; exit 1; }; cp \"$1\" \"$2\" && busctl "
                "--address=\"$DBUS_SYSTEM_BUS_ADDRESS\" call org.freedesktop.DBus "
                "/org/freedesktop/DBus org.freedesktop.DBus ReloadConfig",
                (records / "refused").string(), definition.string(),
                (bus->directory() / "services").string()}});
    EXPECT_EQ(service.status(), serviceNotRegistered);
    EXPECT_EQ(service.registerService(), std::nullopt);
    EXPECT_EQ(service.status(), serviceRequiresApproval);

    std::vector<int> exits;
    service.setApprovalFinishedHandler([&](int exit) {
        exits.push_back(exit);
        loop.exit(0);
    });
    for (const auto after : {serviceRequiresApproval, serviceEnabled}) {
        service.requestApproval();
        ASSERT_EQ(test::runWithWatchdog(loop), 0);
        EXPECT_EQ(service.status(), after);
    }
    EXPECT_EQ(exits, (std::vector<int>{1, 0}));
}

TEST_F(DaemonClient, WithoutASystemBusNoConnectionIsMadeAndTheDefinitionDecides) {
    ScopedEnvironmentVariable nowhere("DBUS_SYSTEM_BUS_ADDRESS",
                                      "unix:path=" + (state / "no-bus").string());
    EXPECT_EQ(connect(), nullptr);
    BusDaemonService service(loop, {daemonName, shipped.path(), {}});
    EXPECT_EQ(service.status(), serviceNotFound);
    test::writeFile(shipped / (std::string(daemonName) + ".service"), "");
    EXPECT_EQ(service.status(), serviceNotRegistered);
}

// --- The connection's own checks ---

TEST_F(DaemonClient, AnImpostorOwningTheNameReceivesNothing) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run the impostor as another user (CI runs as root)";
    const auto impostor = startStandIn("answer", true);
    const auto connection = connect();
    ASSERT_NE(connection, nullptr);
    const auto daemon = connection->remoteObjectProxy(stopAfterErrors(3));
    daemon->scheduleWakeAt(std::chrono::system_clock::now() + 1h, unexpectedText);
    daemon->getVersion(unexpectedVersion);
    daemon->clearWake(unexpectedText);
    ASSERT_EQ(test::runWithWatchdog(loop), 0);

    EXPECT_EQ(errors, std::vector<std::string>(3, "The daemon's identity could not be verified"));
    EXPECT_EQ(interruptions, 1);
    EXPECT_EQ(readAll(records / "calls"), "");
}

TEST_F(DaemonClient, AnAnswerThatNeverComesOrCannotBeReadEndsInTheErrorHandlerInOrder) {
    const struct {
        const char* mode;
        std::chrono::microseconds timeout;
        const char* error;
    } cases[] = {{"silent", 1s, "The daemon did not answer in time"},
                 {"misshapen", 25s, "The daemon's answer could not be read"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        errors.clear();
        const auto standIn = startStandIn(c.mode);
        const auto connection = connect({openStandardBus, c.timeout});
        ASSERT_NE(connection, nullptr);
        const auto daemon = connection->remoteObjectProxy(stopAfterErrors(3));
        daemon->getVersion(unexpectedVersion);
        daemon->scheduleWakeAt(std::chrono::system_clock::now() + 1h, unexpectedText);
        daemon->clearWake(unexpectedText);
        ASSERT_EQ(test::runWithWatchdog(loop), 0);

        EXPECT_EQ(errors, std::vector<std::string>(3, c.error));
        EXPECT_EQ(readAll(records / "calls"), "GetVersion\nScheduleWakeAt\nClearWake\n");
    }
    EXPECT_EQ(interruptions + invalidations, 0);
}

TEST_F(DaemonClient, LosingTheBusInvalidatesAndEndsEveryRequest) {
    const auto standIn = startStandIn("silent");
    sd_bus* opened = nullptr;
    const auto connection = connect({[&](sd_bus** opening, bool privileged) {
        const int r = openStandardBus(opening, privileged);
        opened = *opening;
        return r;
    }});
    ASSERT_NE(connection, nullptr);
    std::shared_ptr<WakeDaemonProxy> daemon;
    // The second request, made after the loss, ends at once.
    daemon = connection->remoteObjectProxy([&](const std::string& description) {
        errors.push_back(description);
        if (errors.size() == 1)
            daemon->getVersion(unexpectedVersion);
        else
            loop.exit(0);
    });
    daemon->getVersion(unexpectedVersion);
    const auto recorded = whenRecorded([&] { shutdown(sd_bus_get_fd(opened), SHUT_RDWR); });
    ASSERT_EQ(test::runWithWatchdog(loop), 0);

    EXPECT_EQ(errors, std::vector<std::string>(2, "The connection to the bus was lost"));
    EXPECT_EQ(invalidations, 1);
    EXPECT_EQ(interruptions, 0);
}

TEST_F(DaemonClient, DestroyingAConnectionEndsItsOpenRequestsAfterwards) {
    const auto standIn = startStandIn("silent");
    auto connection = connect();
    ASSERT_NE(connection, nullptr);
    bool destroying = false;
    connection
        ->remoteObjectProxy([&](const std::string& description) {
            EXPECT_FALSE(destroying) << "called back from inside the destructor";
            errors.push_back(description);
            loop.exit(0);
        })
        ->getVersion(unexpectedVersion);
    const auto recorded = whenRecorded([&] {
        destroying = true;
        connection.reset();
        destroying = false;
    });
    ASSERT_EQ(test::runWithWatchdog(loop), 0);

    EXPECT_EQ(errors, std::vector<std::string>{"The connection to the daemon was closed"});
}

} // namespace
} // namespace sollun::helper
