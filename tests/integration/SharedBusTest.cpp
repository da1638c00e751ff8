// The helper's one connection per bus on private buses: shared by its followers, lost and opened
// again as each bus's policy says.

#include "SollunHelper/daemon/SystemBus.h"
#include "SollunHelper/session/SessionBus.h"
#include "tests/support/LoopWatchdog.h"
#include "tests/support/PrivateBus.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

namespace sollun::helper {
namespace {

using namespace std::chrono_literals;

// What one follower was told, in order: "connected" for each connection it was given, or "lost".
// Ends the loop once it has been told `exitAt` things.
struct Follower {
    explicit Follower(platform::SdEventLoop& l)
        : loop(l) {}
    platform::Source follow(platform::SharedBus& bus) {
        return bus.follow(
            [this](sd_bus* connection) {
                EXPECT_GT(sd_bus_is_open(connection), 0);
                tell("connected");
            },
            [this] { tell("lost"); });
    }
    void tell(std::string what) {
        told.push_back(std::move(what));
        if (told.size() == exitAt)
            loop.exit(0);
    }
    platform::SdEventLoop& loop;
    std::size_t exitAt = 0;
    std::vector<std::string> told;
};

class SharedBusTest : public ::testing::Test {
protected:
    // Opens as the helper does, counting the attempts; the loop ends at the `stopAt`th.
    platform::SharedBus::Opener counting() {
        return [this](sd_bus** connection) {
            if (++attempts == stopAt)
                loop.exit(0);
            const int r = sd_bus_open_system(connection);
            opened += r >= 0 ? 1 : 0;
            return r;
        };
    }
    test::PrivateBus bus{{}};
    test::ScopedEnvironmentVariable systemAddress{"DBUS_SYSTEM_BUS_ADDRESS", bus.socketAddress()};
    platform::SdEventLoop loop;
    int attempts = 0;
    int opened = 0;
    int stopAt = -1;
};

// Every follower gets the same connection; a loss reaches them all, and the system bus's owner
// tries to open a new one by itself, backing off while the bus is not there. (That the new bus is
// then reached is HelperFaultTest's, with the whole helper on it.)
TEST_F(SharedBusTest, TheSystemBusIsOneConnectionTriedAgainWhileTheBusIsDown) {
    SystemBus system(loop, counting());
    Follower first{loop}, second{loop}, dropped{loop};
    const auto following = first.follow(system);
    const auto alsoFollowing = second.follow(system);
    auto droppedFollowing = dropped.follow(system);
    ASSERT_EQ(first.told.size(), 1u);
    EXPECT_EQ(second.told, first.told);
    EXPECT_EQ(system.connection(), system.connection());
    EXPECT_EQ(opened, 1);
    droppedFollowing.reset();

    bus.kill();
    // Tried at once, then after half a second and a second more.
    stopAt = 4;
    const auto since = std::chrono::steady_clock::now();
    ASSERT_EQ(test::runWithWatchdog(loop), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - since, 1500ms);
    EXPECT_EQ(opened, 1);
    EXPECT_EQ(first.told, (std::vector<std::string>{"connected", "lost"}));
    EXPECT_EQ(second.told, first.told);
    EXPECT_EQ(dropped.told.size(), 1u) << "told after it stopped following";
}

// The session bus's loss is the session's end: told, and nothing opened again until someone asks,
// who then gets a new connection, announced to the followers before the answer.
TEST_F(SharedBusTest, TheSessionBusIsOpenedAgainOnlyWhenAskedFor) {
    SessionBus session(loop, counting());
    Follower follower{loop};
    const auto following = follower.follow(session);
    ASSERT_EQ(follower.told.size(), 1u);

    bus.kill();
    follower.exitAt = 2;
    ASSERT_EQ(test::runWithWatchdog(loop), 0);
    EXPECT_EQ(follower.told.back(), "lost");
    bus.restart();
    loop.post([&] { loop.exit(0); });
    ASSERT_EQ(test::runWithWatchdog(loop), 0);
    EXPECT_EQ(attempts, 1) << "opened again unasked";

    ASSERT_NE(session.connection(), nullptr);
    EXPECT_EQ(attempts, 2);
    EXPECT_EQ(follower.told, (std::vector<std::string>{"connected", "lost", "connected"}));

    // The process's end: closed, and not opened again.
    session.close();
    EXPECT_EQ(session.connection(), nullptr);
    EXPECT_EQ(attempts, 2);
}

} // namespace
} // namespace sollun::helper
