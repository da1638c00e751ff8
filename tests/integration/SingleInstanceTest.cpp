// One helper per session on a private session bus: the newest instance takes the name and the
// older one is told to end; an instance the bus refuses the name carries on and says so.

#include "SollunHelper/session/SingleInstance.h"

#include "platform/linux/SdEventLoop.h"
#include "shared/ProductNames.h"
#include "tests/support/DaemonCalls.h"
#include "tests/support/LoopWatchdog.h"
#include "tests/support/PrivateBus.h"
#include "tests/support/Texts.h"

#include <gtest/gtest.h>
#include <systemd/sd-bus.h>

namespace sollun::helper {
namespace {

using namespace test;

TEST(SingleInstance, TheNewestTakesTheNameAndTheOlderEnds) {
    PrivateBus bus{{PrivateBus::Policy::open, {}, {}, true}};
    platform::SdEventLoop loop;
    const auto older = connect(bus.address(), loop), newer = connect(bus.address(), loop);
    int olderLost = 0, newerLost = 0;
    const SingleInstance first(older.get(), [&] {
        ++olderLost;
        loop.exit(0);
    });
    const SingleInstance second(newer.get(), [&] { ++newerLost; });
    EXPECT_EQ(runWithWatchdog(loop), 0);
    EXPECT_EQ(olderLost, 1);
    EXPECT_EQ(newerLost, 0);
}

TEST(SingleInstance, AnInstanceRefusedTheNameCarriesOnAndSaysSo) {
    TempDir policy;
    const auto denial = policy.path() / "deny-helper.conf";
    writeFile(denial, "<busconfig><policy context=\"mandatory\"><deny own=\"" +
                          std::string(helperIdentifier) + "\"/></policy></busconfig>");
    PrivateBus bus{{PrivateBus::Policy::open, {denial}, {}, true}};
    platform::SdEventLoop loop;
    const auto connection = connect(bus.address(), loop);
    platform::ScopedMemoryLog log;
    bool lost = false;
    const SingleInstance instance(connection.get(), [&] { lost = true; });
    EXPECT_EQ(logLines(*log),
              std::vector<std::string>{"error helper/session: Cannot take the name "
                                       "com.kestrovane.sollun.helper on the session bus: "
                                       "Permission denied; another helper may run beside this "
                                       "one"});
    EXPECT_FALSE(lost);
}

} // namespace
} // namespace sollun::helper
