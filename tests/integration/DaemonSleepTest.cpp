// The daemon program's arming for sleep, with logind's stand-in (python-dbusmock's template) on a
// private system bus, and the development build's simulated RTC slot in the state directory.
//
// Each step ends with a call the daemon answers: the bus hands it what came before in order, so
// the answer comes after the daemon has acted on the announcement, and logind's stand-in sees the
// lock's descriptor closed (or its new ask) before the next question put to it.

#include "tests/support/DaemonOnPrivateBus.h"

#include <gtest/gtest.h>

namespace sollun::test {
namespace {

using namespace std::chrono_literals;

constexpr const char* logindName = "org.freedesktop.login1";
constexpr const char* logindPath = "/org/freedesktop/login1";

class DaemonSleep : public DaemonOnPrivateBus {
protected:
    DaemonSleep() {
        writeFile(rtc_, "");
        startBus();
    }

    std::string inhibitors() {
        return bus_
            ->busctl({"call", logindName, logindPath, "org.freedesktop.login1.Manager",
                      "ListInhibitors"})
            .output;
    }
    // PrepareForSleep from logind, acted on by the daemon once it has answered the next call.
    void prepareForSleep(const char* asleep) {
        const auto emitted = bus_->busctl(
            {"call", logindName, logindPath, "org.freedesktop.DBus.Mock", "EmitSignal", "sssav",
             "org.freedesktop.login1.Manager", "PrepareForSleep", "b", "1", "b", asleep});
        ASSERT_EQ(emitted.exitCode, 0) << emitted.output;
        ASSERT_EQ(call(client(), "GetVersion"), "1");
    }

    const std::filesystem::path rtc_ = state_ / "simulated-wakealarm";
};

// Started before logind, as at boot, it serves all the same and takes the lock after the next
// sleep; from then on it holds one lock while awake, and lets it go once the slot is armed.
TEST_F(DaemonSleep, HoldsTheDelayLockArmsTheRtcForTheSleepAndTakesItBackAfter) {
    ASSERT_EQ(call(client(), "GetVersion"), "1");
    if (!std::filesystem::exists(state_ / "simulated-wake"))
        GTEST_SKIP() << "the daemon found wake hardware, and would arm the machine's own RTC";
    const auto wake = std::chrono::ceil<std::chrono::seconds>(currentInstant()) + 2h;
    ASSERT_EQ(call(client(), "ScheduleWakeAt", wake.time_since_epoch() / 1us), "");
    EXPECT_EQ(readFile(rtc_), "") << "not armed while awake";

    const auto logind = startSystemMock(*bus_, "logind", logindName);
    ASSERT_TRUE(logind);
    EXPECT_EQ(inhibitors(), "a(ssssuu) 0\n");
    const std::string lock = "a(ssssuu) 1 \"sleep\" \"Sollun wake daemon\" \"Arming the RTC for "
                             "the next alarm\" \"delay\" 1000 123456\n";
    for (int sleep = 0; sleep < 2; ++sleep) {
        prepareForSleep("false");
        EXPECT_EQ(inhibitors(), lock) << "one lock, once back";
        EXPECT_EQ(readFile(rtc_), sleep == 0 ? "" : "0") << "taken back";
        prepareForSleep("true");
        EXPECT_EQ(readFile(rtc_), std::to_string(wake.time_since_epoch() / 1s));
        EXPECT_EQ(inhibitors(), "a(ssssuu) 0\n") << "the lock let go";
    }
}

} // namespace
} // namespace sollun::test
