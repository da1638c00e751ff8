#include "SollunHelper/linux/SdBusDaemonConnection.h"
#include "platform/linux/SdEventLoop.h"
#include "shared/ProductIdentities.h"
#include "shared/Requirement.h"
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

#include <chrono>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace sollun::helper {
namespace {

using namespace std::chrono_literals;
using test::ScopedEnvironmentVariable;

constexpr const char* daemonName = "com.kestrovane.sollun.wakedaemon";
const std::string unverified = "The daemon's identity could not be verified";
const std::string busLost = "The connection to the bus was lost";

std::string readAll(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

const auto unexpectedText = [](const std::optional<std::string>&) { ADD_FAILURE() << "answered"; };
const auto unexpectedVersion = [](std::int64_t) { ADD_FAILURE() << "answered"; };

// The helper's side on a private system bus whose activation starts the real daemon (unless a
// test asks for none), with the loop a test runs once under a watchdog.
class DaemonClientOnPrivateBus : public ::testing::Test {
protected:
    explicit DaemonClientOnPrivateBus(bool activatable = true)
        : stateDirectory_("STATE_DIRECTORY", (state_ / "").string())
        , bus_({test::PrivateBus::Policy::open, {}, activatable ? daemonService() : Services{}})
        , systemBus_("DBUS_SYSTEM_BUS_ADDRESS", bus_.address()) {}

    using Services = std::map<std::string, std::string>;
    static Services daemonService() {
        return {{"wakedaemon.service", test::activationFile(daemonName, SOLLUN_DAEMON_EXECUTABLE)}};
    }

    // A resumed connection that counts what it reports; nothing when none could be made.
    std::shared_ptr<WakeDaemonConnection> connect(SdBusConnectorOptions options = {}) {
        SdBusDaemonConnector connector(loop_, trust::productIdentities(), std::move(options));
        auto connection = connector.connect(daemonName, true, trust::clientRequirementText());
        if (connection) {
            connection->setInterruptionHandler([this] { ++interruptions_; });
            connection->setInvalidationHandler([this] { ++invalidations_; });
            connection->resume();
        }
        return connection;
    }

    // An error handler that keeps the descriptions and ends the run at the `count`th.
    WakeDaemonConnection::ErrorHandler stopAfterErrors(std::size_t count) {
        return [this, count](const std::string& description) {
            errors_.push_back(description);
            if (errors_.size() == count)
                loop_.exit(0);
        };
    }

    void run() { EXPECT_EQ(test::runWithWatchdog(loop_, 10s), 0); }

    // A program owning the daemon's name that records every call reaching it (see
    // tests/fixtures/WakeDaemonStandIn.cpp), run as the test's own user or as nobody.
    std::unique_ptr<test::BackgroundProcess> startStandIn(const std::string& mode,
                                                          bool asNobody = false) {
        using std::filesystem::perms;
        std::filesystem::permissions(records_.path(), perms::owner_all | perms::others_exec);
        test::writeFile(records_ / "calls", "");
        std::filesystem::permissions(records_ / "calls", perms::owner_all | perms::others_write);
        std::vector<std::string> argv;
        if (asNobody)
            argv = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
        argv.insert(argv.end(), {SOLLUN_DAEMON_STAND_IN, (records_ / "calls").string(), mode});
        auto standIn = std::make_unique<test::BackgroundProcess>(argv, 3);
        EXPECT_EQ(standIn->readLine(), "ready");
        return standIn;
    }

    // Calls `callback` once the stand-in has recorded a call.
    platform::Source whenRecorded(std::function<void()> callback) {
        return std::get<platform::Source>(loop_.watchDirectory(
            records_.path(), IN_CLOSE_WRITE,
            [callback = std::move(callback)](const platform::DirectoryEvent&) { callback(); }));
    }

    std::string records() { return readAll(records_ / "calls"); }
    std::string store() { return readAll(state_ / "power-events.json"); }

    pid_t daemonPid() {
        const auto result = test::runProcess({"busctl", "--address=" + bus_.address(), "call",
                                              "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                              "org.freedesktop.DBus", "GetConnectionUnixProcessID",
                                              "s", daemonName});
        return result.exitCode == 0 ? std::stoi(result.output.substr(2)) : -1;
    }

    test::TempDir state_;
    ScopedEnvironmentVariable stateDirectory_;
    test::PrivateBus bus_;
    ScopedEnvironmentVariable systemBus_;
    test::TempDir records_;
    platform::SdEventLoop loop_;
    std::vector<std::string> errors_;
    int interruptions_ = 0;
    int invalidations_ = 0;
};

class DaemonClientWithoutActivation : public DaemonClientOnPrivateBus {
protected:
    DaemonClientWithoutActivation()
        : DaemonClientOnPrivateBus(false) {}
};

// --- Reaching the daemon ---

TEST_F(DaemonClientOnPrivateBus, ActivatesTheDaemonAndCarriesEveryRequest) {
    const auto connection = connect();
    ASSERT_NE(connection, nullptr);
    const auto daemon = connection->remoteObjectProxy(stopAfterErrors(1));
    // The nanoseconds are dropped, not rounded up.
    const auto second = std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());
    const Instant wake = second + 1h + 123456999ns;
    std::int64_t version = 0;
    std::optional<std::string> scheduled = "no answer";
    std::optional<std::string> cleared = "no answer";
    std::string storedAfterSchedule;
    std::string storedAfterClear;
    daemon->getVersion([&](std::int64_t answer) {
        version = answer;
        daemon->scheduleWakeAt(wake, [&](const std::optional<std::string>& refusal) {
            scheduled = refusal;
            storedAfterSchedule = store();
            daemon->clearWake([&](const std::optional<std::string>& clearRefusal) {
                cleared = clearRefusal;
                storedAfterClear = store();
                loop_.exit(0);
            });
        });
    });
    run();

    EXPECT_TRUE(errors_.empty()) << errors_.front();
    EXPECT_EQ(version, 1);
    EXPECT_EQ(scheduled, std::nullopt);
    auto stamp = *rfc3339::format(second + 1h);
    stamp.insert(stamp.size() - 1, ".123456");
    EXPECT_NE(storedAfterSchedule.find(stamp), std::string::npos) << storedAfterSchedule;
    EXPECT_EQ(cleared, std::nullopt);
    EXPECT_EQ(storedAfterClear.find("wakepoweron"), std::string::npos) << storedAfterClear;
}

TEST_F(DaemonClientOnPrivateBus, WithoutItsBusNoConnectionIsMade) {
    const std::string requirement = trust::clientRequirementText();
    const auto nowhere = "unix:path=" + (state_ / "no-bus").string();
    {
        ScopedEnvironmentVariable session("DBUS_SESSION_BUS_ADDRESS", nowhere);
        SdBusDaemonConnector connector(loop_, trust::productIdentities());
        EXPECT_EQ(connector.connect(daemonName, false, requirement), nullptr) << "session bus";
        EXPECT_NE(connector.connect(daemonName, true, requirement), nullptr) << "system bus";
        EXPECT_EQ(connector.connect("not a bus name", true, requirement), nullptr);
    }
    ScopedEnvironmentVariable system("DBUS_SYSTEM_BUS_ADDRESS", nowhere);
    EXPECT_EQ(connect(), nullptr);
}

TEST_F(DaemonClientWithoutActivation, ARequestEndsInTheBusErrorAndInterrupts) {
    const auto connection = connect();
    ASSERT_NE(connection, nullptr);
    connection->remoteObjectProxy(stopAfterErrors(1))->getVersion(unexpectedVersion);
    run();

    ASSERT_EQ(errors_.size(), 1u);
    EXPECT_NE(errors_[0].find(daemonName), std::string::npos) << errors_[0];
    EXPECT_EQ(interruptions_, 1);
    EXPECT_EQ(invalidations_, 0);
}

// --- The daemon or the bus going away ---

TEST_F(DaemonClientOnPrivateBus, AKilledDaemonInterruptsAndANewConnectionReachesItsSuccessor) {
    auto connection = connect();
    ASSERT_NE(connection, nullptr);
    pid_t first = -1;
    pid_t second = -1;
    std::int64_t version = 0;
    std::shared_ptr<WakeDaemonConnection> next;
    connection->setInterruptionHandler([&] {
        // As the controller does: the connection is dropped, the next request makes a new one.
        connection.reset();
        next = connect();
        ASSERT_NE(next, nullptr);
        next->remoteObjectProxy(stopAfterErrors(1))->getVersion([&](std::int64_t answer) {
            version = answer;
            second = daemonPid();
            loop_.exit(0);
        });
    });
    connection->remoteObjectProxy(stopAfterErrors(1))->getVersion([&](std::int64_t) {
        first = daemonPid();
        EXPECT_EQ(kill(first, SIGKILL), 0);
    });
    run();

    EXPECT_TRUE(errors_.empty()) << errors_.front();
    EXPECT_EQ(connection, nullptr) << "not interrupted";
    EXPECT_EQ(version, 1);
    EXPECT_GT(second, 0);
    EXPECT_NE(second, first);
}

TEST_F(DaemonClientOnPrivateBus, LosingTheBusInvalidatesAndEndsEveryRequest) {
    const auto standIn = startStandIn("silent");
    sd_bus* opened = nullptr;
    const auto connection = connect({[&](sd_bus** bus, bool privileged) {
        const int r = openStandardBus(bus, privileged);
        opened = *bus;
        return r;
    }});
    ASSERT_NE(connection, nullptr);
    std::shared_ptr<WakeDaemonProxy> daemon;
    daemon = connection->remoteObjectProxy([&](const std::string& description) {
        errors_.push_back(description);
        if (errors_.size() == 1)
            daemon->getVersion(unexpectedVersion);
        else
            loop_.exit(0);
    });
    daemon->getVersion(unexpectedVersion);
    const auto recorded = whenRecorded([&] { shutdown(sd_bus_get_fd(opened), SHUT_RDWR); });
    run();

    EXPECT_EQ(errors_, std::vector<std::string>(2, busLost));
    EXPECT_EQ(invalidations_, 1);
    EXPECT_EQ(interruptions_, 0);
}

TEST_F(DaemonClientOnPrivateBus, DestroyingAConnectionEndsItsOpenRequestsAfterwards) {
    const auto standIn = startStandIn("silent");
    auto connection = connect();
    ASSERT_NE(connection, nullptr);
    bool destroying = false;
    connection
        ->remoteObjectProxy([&](const std::string& description) {
            EXPECT_FALSE(destroying) << "called back from inside the destructor";
            errors_.push_back(description);
            loop_.exit(0);
        })
        ->getVersion(unexpectedVersion);
    const auto recorded = whenRecorded([&] {
        destroying = true;
        connection.reset();
        destroying = false;
    });
    run();

    EXPECT_EQ(errors_, std::vector<std::string>{"The connection to the daemon was closed"});
}

// --- Whom the helper talks to ---

TEST_F(DaemonClientOnPrivateBus, AnImpostorOwningTheNameReceivesNothing) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run the impostor as another user (CI runs as root)";
    const auto impostor = startStandIn("answer", true);
    const auto connection = connect();
    ASSERT_NE(connection, nullptr);
    const auto daemon = connection->remoteObjectProxy(stopAfterErrors(3));
    daemon->scheduleWakeAt(std::chrono::system_clock::now() + 1h, unexpectedText);
    daemon->getVersion(unexpectedVersion);
    daemon->clearWake(unexpectedText);
    run();

    EXPECT_EQ(errors_, std::vector<std::string>(3, unverified));
    EXPECT_EQ(interruptions_, 1);
    // The impostor does record what reaches it, so an empty record is no accident.
    ASSERT_EQ(test::runProcess({"busctl", "--timeout=10", "--address=" + bus_.address(), "call",
                                daemonName, "/com/kestrovane/sollun/wakedaemon",
                                "com.kestrovane.sollun.WakeDaemonProtocol", "GetVersion"})
                  .exitCode,
              0);
    EXPECT_EQ(records(), "GetVersion\n");
}

// --- What a verified daemon may answer ---

TEST_F(DaemonClientOnPrivateBus, ADaemonThatNeverAnswersEndsInTheTimeOut) {
    const auto standIn = startStandIn("silent");
    SdBusConnectorOptions options;
    options.callTimeout = 200ms;
    const auto connection = connect(options);
    ASSERT_NE(connection, nullptr);
    connection->remoteObjectProxy(stopAfterErrors(1))->getVersion(unexpectedVersion);
    const auto start = std::chrono::steady_clock::now();
    run();

    EXPECT_EQ(errors_, std::vector<std::string>{"The daemon did not answer in time"});
    EXPECT_GE(std::chrono::steady_clock::now() - start, 200ms);
    EXPECT_EQ(records(), "GetVersion\n");
    EXPECT_EQ(interruptions_ + invalidations_, 0);
}

TEST_F(DaemonClientOnPrivateBus, MisshapenAnswersEndInTheErrorHandlerInOrder) {
    const auto standIn = startStandIn("misshapen");
    const auto connection = connect();
    ASSERT_NE(connection, nullptr);
    const auto daemon = connection->remoteObjectProxy(stopAfterErrors(3));
    daemon->getVersion(unexpectedVersion);
    daemon->scheduleWakeAt(std::chrono::system_clock::now() + 1h, unexpectedText);
    daemon->clearWake(unexpectedText);
    run();

    EXPECT_EQ(errors_, std::vector<std::string>(3, "The daemon's answer could not be read"));
    EXPECT_EQ(records(), "GetVersion\nScheduleWakeAt\nClearWake\n");
}

} // namespace
} // namespace sollun::helper
