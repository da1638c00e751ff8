// The daemon started by activation on a private system bus: the whole range of instants the
// protocol carries, and the bus policy the package ships.

#include "shared/WakeDaemonProtocol.h"
#include "tests/support/DaemonCalls.h"
#include "tests/support/PrivateBus.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <limits>

namespace sollun::test {
namespace {

using wake_daemon_protocol::busName;

class WakeDaemonOnBus : public ::testing::Test {
protected:
    explicit WakeDaemonOnBus(PrivateBus::Policy policy = PrivateBus::Policy::open)
        : bus_({policy,
                {SOLLUN_BUS_POLICY},
                {{"wakedaemon.service", activationFile(busName, SOLLUN_DAEMON_EXECUTABLE)}}}) {}

    TempDir state_;
    ScopedEnvironmentVariable stateDirectory_{"STATE_DIRECTORY", (state_ / "").string()};
    PrivateBus bus_;
    BusPtr client_ = connect(bus_.address());
};

// The latest instant is stored as the last one the store can write; the earliest only clears.
TEST_F(WakeDaemonOnBus, TakesEveryInstantTheProtocolCarries) {
    ASSERT_TRUE(client_);
    using Limits = std::numeric_limits<std::int64_t>;
    EXPECT_EQ(call(client_.get(), "ScheduleWakeAt", Limits::max()), "");
    const auto store = [this] { return readFile(state_ / "power-events.json"); };
    EXPECT_NE(store().find(R"("time":"9999-12-31T23:59:59.999999Z")"), std::string::npos)
        << store();
    EXPECT_EQ(call(client_.get(), "ScheduleWakeAt", Limits::min()), "");
    EXPECT_EQ(store(), "[]\n");
}

class ShippedBusPolicy : public WakeDaemonOnBus {
protected:
    ShippedBusPolicy()
        : WakeDaemonOnBus(PrivateBus::Policy::system) {}
};

TEST_F(ShippedBusPolicy, LetsOnlyRootOwnTheNameAndOnlyTheProductCallIt) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to call as another user (CI runs as root)";
    const auto stranger = connectAs(bus_.address(), 65534, 65534);
    ASSERT_TRUE(stranger && client_);
    EXPECT_TRUE(call(stranger.get(), "GetVersion").starts_with(SD_BUS_ERROR_ACCESS_DENIED ": "));
    EXPECT_EQ(daemonPid(client_.get()), -1) << "refused by the bus itself, before activation";
    EXPECT_EQ(call(client_.get(), "GetVersion"), "1");
    EXPECT_EQ(sd_bus_request_name(stranger.get(), busName, 0), -EACCES);
}

} // namespace
} // namespace sollun::test
