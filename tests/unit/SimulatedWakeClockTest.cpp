#include "SollunWakeDaemon/SimulatedWakeClock.h"

#include "shared/AtomicFile.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

namespace sollun::daemon {
namespace {

using namespace std::chrono_literals;

TEST(SimulatedWakeClock, RecordsWhatItWouldArm) {
    test::TempDir dir;
    SimulatedWakeClock clock(dir.path());
    const Instant at = Instant{1'772'403'005s} + 1h + 5us + 999ns;
    EXPECT_EQ(clock.arm(at), powerSuccess);
    EXPECT_EQ(readSmallFile(dir / "simulated-wake", 64), "2026-03-01T23:10:05.000005Z");
    EXPECT_EQ(clock.arm(std::nullopt), powerSuccess);
    EXPECT_EQ(readSmallFile(dir / "simulated-wake", 64), "");

    SimulatedWakeClock nowhere(dir / "missing");
    EXPECT_EQ(nowhere.arm(at), powerIOError);
}

} // namespace
} // namespace sollun::daemon
