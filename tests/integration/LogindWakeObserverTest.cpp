// The wake observer and the sleep inhibitor against logind's stand-in (python-dbusmock's
// template) on a private system bus, named in DBUS_SYSTEM_BUS_ADDRESS.

#include "SollunHelper/desktop/LogindWakeObserver.h"

#include "SollunHelper/daemon/SystemBus.h"
#include "SollunHelper/desktop/LogindSleepInhibitor.h"
#include "platform/linux/SdEventLoop.h"
#include "tests/support/LoopWatchdog.h"
#include "tests/support/PrivateBus.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <systemd/sd-bus.h>

namespace sollun::helper {
namespace {

constexpr const char* logindName = "org.freedesktop.login1";
constexpr const char* logindPath = "/org/freedesktop/login1";
constexpr const char* managerInterface = "org.freedesktop.login1.Manager";

struct MockLogind {
    // PrepareForSleep from logind's name, passed on by the bus once the stand-in has answered.
    void emit(const char* asleep) {
        const auto emitted =
            bus.busctl({"call", logindName, logindPath, "org.freedesktop.DBus.Mock", "EmitSignal",
                        "sssav", managerInterface, "PrepareForSleep", "b", "1", "b", asleep});
        EXPECT_EQ(emitted.exitCode, 0) << emitted.output;
    }

    // What its ListInhibitors answers: (what, who, why, mode, uid, pid) for each lock.
    nlohmann::json inhibitors() {
        const auto listed = bus.busctl(
            {"--json=short", "call", logindName, logindPath, managerInterface, "ListInhibitors"});
        EXPECT_EQ(listed.exitCode, 0) << listed.output;
        return nlohmann::json::parse(listed.output, nullptr, false)["data"][0];
    }

    test::PrivateBus bus{{}};
    test::ScopedEnvironmentVariable address{"DBUS_SYSTEM_BUS_ADDRESS", bus.address()};
    const std::unique_ptr<test::BackgroundProcess> process =
        test::startSystemMock(bus, "logind", logindName);
};

// PrepareForSleep(false) from a connection that does not own logind's name, to everyone or to
// `destination` alone; returns once the bus has passed it on.
void emitAsSomeoneElse(const char* destination) {
    sd_bus* bus = nullptr;
    sd_bus_message* signal = nullptr;
    int r = sd_bus_open_system(&bus);
    if (r >= 0)
        r = sd_bus_message_new_signal(bus, &signal, logindPath, managerInterface,
                                      "PrepareForSleep");
    if (r >= 0 && destination != nullptr)
        r = sd_bus_message_set_destination(signal, destination);
    if (r >= 0 && (r = sd_bus_message_append(signal, "b", 0)) >= 0 &&
        (r = sd_bus_send(bus, signal, nullptr)) >= 0)
        // The bus answers this after it has passed on what the connection sent before.
        r = sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                               "org.freedesktop.DBus", "GetId", nullptr, nullptr, "");
    EXPECT_GE(r, 0);
    sd_bus_message_unref(signal);
    sd_bus_flush_close_unref(bus);
}

class Logind : public ::testing::Test {
protected:
    void startLogind() {
        logind = std::make_unique<MockLogind>();
        ASSERT_TRUE(logind->process) << "logind's stand-in did not appear";
    }

    // Runs the loop until the observer has handled everything its connection received so far
    // and the handlers it posted have run: the answer's callback posts the end after them.
    void settle() {
        ASSERT_GE(sd_bus_call_method_async(
                      observerBus, nullptr, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                      "org.freedesktop.DBus", "GetId",
                      [](sd_bus_message*, void* userdata, sd_bus_error*) {
                          auto& l = *static_cast<platform::SdEventLoop*>(userdata);
                          l.post([&l] { l.exit(0); });
                          return 0;
                      },
                      &loop, ""),
                  0);
        EXPECT_EQ(test::runWithWatchdog(loop), 0);
    }

    platform::SdEventLoop loop;
    std::unique_ptr<MockLogind> logind;
    sd_bus* observerBus = nullptr; // the latest connection the observer listens on
    int opened = 0;
    // Ends the loop when a connection other than the first is opened.
    SystemBus systemBus{loop, [this](sd_bus** bus) {
                            const int r = sd_bus_open_system(bus);
                            if (r >= 0 && ++opened > 1)
                                loop.exit(0);
                            observerBus = r >= 0 ? *bus : observerBus;
                            return r;
                        }};
    LogindWakeObserver observer{loop, systemBus};
};

TEST_F(Logind, OnlyLogindsReturnFromSleepCountsAndItIsFollowedThroughRestarts) {
    startLogind();
    int wakes = 0;
    const auto token = observer.observeDidWake([&] { ++wakes; });
    const char* observerName = nullptr;
    ASSERT_GE(sd_bus_get_unique_name(observerBus, &observerName), 0);
    logind->emit("true"); // going to sleep
    emitAsSomeoneElse(nullptr);
    emitAsSomeoneElse(observerName);
    logind->emit("false");
    settle();
    EXPECT_EQ(wakes, 1);

    // logind and the bus restart while the loop is not looking: the loss is seen, the new bus
    // reached.
    logind.reset();
    startLogind();
    ASSERT_EQ(test::runWithWatchdog(loop), 0);
    logind->emit("false");
    settle();
    EXPECT_EQ(wakes, 2);
}

// A lock goes over the system bus connection the wake observer listens on, and is logind's until
// it is destroyed. Without logind on the bus, it is refused.
TEST_F(Logind, TheSleepInhibitorHoldsItsLockOverTheWakeObserversConnection) {
    const std::string reason = "Sollun's alarm is due at 06:30";
    // Asks, and runs the loop until the answer: nothing for a lock held, else why not.
    const auto inhibit = [&](SleepInhibitor& inhibitor, std::optional<std::string>& failure) {
        auto lock = inhibitor.inhibit(reason, [&](std::optional<std::string> answer) {
            failure = std::move(answer);
            loop.exit(0);
        });
        EXPECT_EQ(test::runWithWatchdog(loop), 0);
        return lock;
    };
    std::optional<std::string> failure;
    {
        test::PrivateBus bare{{}};
        test::ScopedEnvironmentVariable address{"DBUS_SYSTEM_BUS_ADDRESS", bare.address()};
        SystemBus bareBus(loop);
        LogindWakeObserver bareObserver(loop, bareBus);
        const auto token = bareObserver.observeDidWake([] {});
        LogindSleepInhibitor inhibitor(loop, bareBus);
        inhibit(inhibitor, failure);
        EXPECT_TRUE(failure && failure->find("org.freedesktop.login1") != std::string::npos)
            << failure.value_or("held");
    }

    startLogind();
    const auto token = observer.observeDidWake([] {});
    LogindSleepInhibitor inhibitor(loop, systemBus);
    auto lock = inhibit(inhibitor, failure);
    EXPECT_EQ(failure, std::nullopt);
    const auto listed = logind->inhibitors();
    ASSERT_EQ(listed.size(), 1u) << listed;
    EXPECT_EQ(listed[0][0], "sleep:idle:handle-lid-switch");
    EXPECT_EQ(listed[0][1], "Sollun");
    EXPECT_EQ(listed[0][2], reason);
    EXPECT_EQ(listed[0][3], "block");
    lock.reset();
    EXPECT_EQ(logind->inhibitors(), nlohmann::json::array());
}

} // namespace
} // namespace sollun::helper
