#include "shared/Rfc3339.h"
#include "tests/support/PrivateBus.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>

namespace sollun::test {
namespace {

using namespace std::chrono_literals;

constexpr const char* daemonName = "com.kestrovane.sollun.wakedaemon";

std::string readAll(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The daemon on a private system bus, started by activation, its state in a temporary directory.
class WakeDaemonOnBus : public ::testing::Test {
protected:
    explicit WakeDaemonOnBus(PrivateBus::Policy policy = PrivateBus::Policy::open)
        : stateDirectory_("STATE_DIRECTORY", (state_ / "").string())
        , bus_(PrivateBus::Options{
              policy,
              {SOLLUN_BUS_POLICY},
              {{"wakedaemon.service", activationFile(daemonName, SOLLUN_DAEMON_EXECUTABLE)}}}) {}

    // `busctl call` on the daemon's object, optionally as another user; the output or error.
    ProcessResult call(const std::vector<std::string>& methodAndArguments, bool asNobody = false) {
        std::vector<std::string> argv;
        if (asNobody)
            argv = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
        for (const char* part : {"busctl", "--timeout=10"})
            argv.emplace_back(part);
        argv.push_back("--address=" + bus_.address());
        for (const char* part : {"call", "--", daemonName, "/com/kestrovane/sollun/wakedaemon",
                                 "com.kestrovane.sollun.WakeDaemonProtocol"})
            argv.emplace_back(part);
        argv.insert(argv.end(), methodAndArguments.begin(), methodAndArguments.end());
        return runProcess(argv);
    }

    ProcessResult scheduleAt(std::chrono::system_clock::time_point at, bool asNobody = false) {
        const auto usec =
            std::chrono::duration_cast<std::chrono::microseconds>(at.time_since_epoch()).count();
        return call({"ScheduleWakeAt", "x", std::to_string(usec)}, asNobody);
    }

    std::string store() { return readAll(state_ / "power-events.json"); }

    pid_t daemonPid() {
        const auto result =
            runProcess({"busctl", "--address=" + bus_.address(), "call", "org.freedesktop.DBus",
                        "/org/freedesktop/DBus", "org.freedesktop.DBus",
                        "GetConnectionUnixProcessID", "s", daemonName});
        return result.exitCode == 0 ? std::stoi(result.output.substr(2)) : -1;
    }

    static void requireRoot() {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root to call as another user (CI runs as root)";
    }

    TempDir state_;
    ScopedEnvironmentVariable stateDirectory_;
    PrivateBus bus_;
};

// A wake an hour ahead, whole milliseconds plus some microseconds, as the store must keep it.
std::chrono::system_clock::time_point anHourAhead() {
    return std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now()) + 1h +
           123456us;
}

std::string storedEvent(std::chrono::system_clock::time_point at) {
    auto text = *rfc3339::format(at);
    text.insert(text.size() - 1, ".123456");
    return R"({"time":")" + text +
           R"(","scheduledby":"com.kestrovane.sollun","eventtype":"wakepoweron"})";
}

TEST_F(WakeDaemonOnBus, ActivationStartsTheDaemonAndItsOperationsReachTheStore) {
    const auto version = call({"GetVersion"});
    ASSERT_EQ(version.exitCode, 0) << version.output;
    EXPECT_EQ(version.output, "x 1\n");

    const auto wake = anHourAhead();
    ASSERT_EQ(scheduleAt(wake).exitCode, 0);
    ASSERT_EQ(scheduleAt(wake).exitCode, 0);
    EXPECT_NE(store().find(storedEvent(wake)), std::string::npos) << store();
    EXPECT_EQ(store().find("wakepoweron"), store().rfind("wakepoweron")) << "one event, not two";

    ASSERT_EQ(scheduleAt(std::chrono::system_clock::now() - 1h).exitCode, 0) << "cleared only";
    EXPECT_EQ(store().find("wakepoweron"), std::string::npos) << store();

    ASSERT_EQ(scheduleAt(wake).exitCode, 0);
    ASSERT_EQ(call({"ClearWake"}).exitCode, 0);
    EXPECT_EQ(store().find("wakepoweron"), std::string::npos) << store();
}

TEST_F(WakeDaemonOnBus, OverlappingSchedulesFromTwoClientsLeaveOneEvent) {
    ASSERT_EQ(call({"GetVersion"}).exitCode, 0);
    const auto usec = [](auto at) {
        return std::to_string(
            std::chrono::duration_cast<std::chrono::microseconds>(at.time_since_epoch()).count());
    };
    std::string script;
    for (const auto& at : {anHourAhead(), anHourAhead() + 1min, anHourAhead() + 2min})
        script += "busctl --timeout=10 --address=" + bus_.address() + " call -- " + daemonName +
                  " /com/kestrovane/sollun/wakedaemon com.kestrovane.sollun.WakeDaemonProtocol "
                  "ScheduleWakeAt x " +
                  usec(at) + " & ";
    ASSERT_EQ(runProcess({"sh", "-c", script + "wait"}).exitCode, 0);
    EXPECT_EQ(store().find("wakepoweron"), store().rfind("wakepoweron")) << store();
    EXPECT_NE(store().find("wakepoweron"), std::string::npos) << store();
}

TEST_F(WakeDaemonOnBus, BadArgumentsAndExtremeInstantsLeaveItServing) {
    const auto wrongType = call({"ScheduleWakeAt", "s", "tomorrow"});
    EXPECT_NE(wrongType.exitCode, 0);
    EXPECT_NE(wrongType.output.find("Invalid arguments"), std::string::npos) << wrongType.output;

    const auto farPast = call({"ScheduleWakeAt", "x", "-9223372036854775808"});
    EXPECT_EQ(farPast.exitCode, 0) << farPast.output;
    const auto farFuture = call({"ScheduleWakeAt", "x", "9223372036854775807"});
    EXPECT_TRUE(farFuture.exitCode == 0 ||
                farFuture.output.find("IOPMSchedulePowerEvent failed: 0x") != std::string::npos)
        << farFuture.output;
    EXPECT_EQ(call({"GetVersion"}).output, "x 1\n");
}

TEST_F(WakeDaemonOnBus, AKilledDaemonIsStartedAgainAndStillHoldsItsSchedule) {
    const auto wake = anHourAhead();
    ASSERT_EQ(scheduleAt(wake).exitCode, 0);
    const pid_t first = daemonPid();
    ASSERT_GT(first, 0);
    ASSERT_EQ(kill(first, SIGKILL), 0);

    const auto version = call({"GetVersion"});
    ASSERT_EQ(version.exitCode, 0) << version.output;
    const pid_t second = daemonPid();
    EXPECT_GT(second, 0);
    EXPECT_NE(second, first);
    EXPECT_NE(store().find(storedEvent(wake)), std::string::npos) << store();
}

TEST_F(WakeDaemonOnBus, ASenderWithoutTheProductIdentityIsRefusedAndChangesNothing) {
    requireRoot();
    const auto wake = anHourAhead();
    ASSERT_EQ(scheduleAt(wake).exitCode, 0);
    const auto before = store();

    const auto clear = call({"ClearWake"}, true);
    EXPECT_NE(clear.exitCode, 0);
    EXPECT_NE(clear.output.find("Access denied"), std::string::npos) << clear.output;
    EXPECT_NE(scheduleAt(wake + 1h, true).exitCode, 0);
    EXPECT_EQ(store(), before);

    EXPECT_EQ(call({"GetVersion"}).output, "x 1\n") << "still serving the product";
}

class ShippedBusPolicy : public WakeDaemonOnBus {
protected:
    ShippedBusPolicy()
        : WakeDaemonOnBus(PrivateBus::Policy::system) {}
};

TEST_F(ShippedBusPolicy, LetsOnlyRootOwnTheNameAndOnlyTheProductCallIt) {
    requireRoot();
    const auto refused = call({"GetVersion"}, true);
    EXPECT_NE(refused.exitCode, 0);
    EXPECT_NE(refused.output.find("Access denied"), std::string::npos) << refused.output;
    EXPECT_EQ(daemonPid(), -1) << "refused by the bus itself, before activation";

    EXPECT_EQ(call({"GetVersion"}).output, "x 1\n") << "root may";

    const auto own = runProcess({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                 "busctl", "--address=" + bus_.address(), "call",
                                 "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                 "org.freedesktop.DBus", "RequestName", "su", daemonName, "0"});
    EXPECT_NE(own.exitCode, 0);
    EXPECT_NE(own.output.find("Access denied"), std::string::npos) << own.output;
}

} // namespace
} // namespace sollun::test
