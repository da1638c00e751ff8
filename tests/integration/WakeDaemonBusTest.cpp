// The daemon on a private system bus, started by activation and called with busctl.

#include "shared/Rfc3339.h"
#include "tests/support/PrivateBus.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

namespace sollun::test {
namespace {

using namespace std::chrono_literals;

constexpr const char* daemonName = "com.kestrovane.sollun.wakedaemon";

class WakeDaemonOnBus : public ::testing::Test {
protected:
    explicit WakeDaemonOnBus(PrivateBus::Policy policy = PrivateBus::Policy::open)
        : bus_({policy,
                {SOLLUN_BUS_POLICY},
                {{"wakedaemon.service", activationFile(daemonName, SOLLUN_DAEMON_EXECUTABLE)}}}) {}

    // busctl on the bus, optionally as nobody: `call` then the arguments.
    ProcessResult busctl(std::vector<std::string> arguments, bool nobody = false) {
        arguments.insert(arguments.begin(),
                         {"busctl", "--timeout=10", "--address=" + bus_.address()});
        if (nobody)
            arguments.insert(arguments.begin(),
                             {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
        return runProcess(arguments);
    }
    ProcessResult call(std::vector<std::string> method, bool nobody = false) {
        method.insert(method.begin(),
                      {"call", "--", daemonName, "/com/kestrovane/sollun/wakedaemon",
                       "com.kestrovane.sollun.WakeDaemonProtocol"});
        return busctl(method, nobody);
    }
    ProcessResult scheduleAt(std::chrono::system_clock::time_point at, bool nobody = false) {
        const auto usec = std::chrono::floor<std::chrono::microseconds>(at.time_since_epoch());
        return call({"ScheduleWakeAt", "x", std::to_string(usec.count())}, nobody);
    }
    std::string store() { return readFile(state_ / "power-events.json"); }
    pid_t daemonPid() {
        const auto owner =
            busctl({"call", "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                    "GetConnectionUnixProcessID", "s", daemonName});
        return owner.exitCode == 0 ? std::stoi(owner.output.substr(2)) : -1;
    }

    TempDir state_;
    ScopedEnvironmentVariable stateDirectory_{"STATE_DIRECTORY", (state_ / "").string()};
    PrivateBus bus_;
};

TEST_F(WakeDaemonOnBus, ItsOperationsReachTheStoreAndOutliveAKillButNotAStranger) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to call as another user (CI runs as root)";
    EXPECT_EQ(call({"GetVersion"}).output, "x 1\n");
    const pid_t first = daemonPid();
    // Whole seconds plus microseconds, which the store must keep.
    const auto wake =
        std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now()) + 1h + 123456us;
    auto stamp = *rfc3339::format(wake);
    stamp.insert(stamp.size() - 1, ".123456");
    // Stored for the user who asked.
    const std::string scheduled = "[\n  {\"time\":\"" + stamp +
                                  R"(","scheduledby":"com.kestrovane.sollun",)" +
                                  R"("eventtype":"wakepoweron","uid":0}
]
)";

    ASSERT_EQ(scheduleAt(wake - 1min).exitCode, 0);
    ASSERT_EQ(scheduleAt(wake).exitCode, 0);
    EXPECT_EQ(store(), scheduled);
    ASSERT_EQ(scheduleAt(std::chrono::system_clock::now() - 1h).exitCode, 0)
        << "a past date clears";
    EXPECT_EQ(store(), "[]\n");
    ASSERT_EQ(scheduleAt(wake).exitCode, 0);
    ASSERT_EQ(call({"ClearWake"}).exitCode, 0);
    EXPECT_EQ(store(), "[]\n");
    EXPECT_EQ(call({"ScheduleWakeAt", "x", "-9223372036854775808"}).exitCode, 0);
    // Beyond the years the store can write: the last instant it can.
    ASSERT_EQ(call({"ScheduleWakeAt", "x", "9223372036854775807"}).exitCode, 0);
    EXPECT_NE(store().find(R"("time":"9999-12-31T23:59:59.999999Z")"), std::string::npos);

    // Killed, it is started again for the next call and still holds its schedule.
    ASSERT_EQ(scheduleAt(wake).exitCode, 0);
    ASSERT_EQ(daemonPid(), first) << "it ended on the way";
    ASSERT_EQ(kill(first, SIGKILL), 0);
    EXPECT_EQ(call({"GetVersion"}).output, "x 1\n");
    EXPECT_NE(daemonPid(), first);
    EXPECT_EQ(store(), scheduled);

    // A sender without the product's identity is refused and changes nothing.
    const auto clear = call({"ClearWake"}, true);
    EXPECT_NE(clear.output.find("Access denied"), std::string::npos) << clear.output;
    EXPECT_NE(scheduleAt(wake + 1h, true).exitCode, 0);
    EXPECT_EQ(store(), scheduled);
}

class ShippedBusPolicy : public WakeDaemonOnBus {
protected:
    ShippedBusPolicy()
        : WakeDaemonOnBus(PrivateBus::Policy::system) {}
};

TEST_F(ShippedBusPolicy, LetsOnlyRootOwnTheNameAndOnlyTheProductCallIt) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to call as another user (CI runs as root)";
    const auto refused = call({"GetVersion"}, true);
    EXPECT_NE(refused.output.find("Access denied"), std::string::npos) << refused.output;
    EXPECT_EQ(daemonPid(), -1) << "refused by the bus itself, before activation";
    EXPECT_EQ(call({"GetVersion"}).output, "x 1\n");
    const auto own = busctl({"call", "org.freedesktop.DBus", "/org/freedesktop/DBus",
                             "org.freedesktop.DBus", "RequestName", "su", daemonName, "0"},
                            true);
    EXPECT_NE(own.output.find("Access denied"), std::string::npos) << own.output;
}

} // namespace
} // namespace sollun::test
