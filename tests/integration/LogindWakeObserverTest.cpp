// The wake observer against logind's stand-in (python-dbusmock's template) on a private system
// bus, named in DBUS_SYSTEM_BUS_ADDRESS.

#include "SollunHelper/linux/LogindWakeObserver.h"

#include "platform/linux/SdEventLoop.h"
#include "tests/support/LoopWatchdog.h"
#include "tests/support/PrivateBus.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>
#include <systemd/sd-bus.h>

#include <functional>

namespace sollun::helper {
namespace {

constexpr const char* logindName = "org.freedesktop.login1";
constexpr const char* logindPath = "/org/freedesktop/login1";
constexpr const char* managerInterface = "org.freedesktop.login1.Manager";

struct MockLogind {
    // PrepareForSleep(`asleep`) from logind's name; returns once the bus has passed it on: the
    // stand-in answers after emitting.
    void emit(const char* asleep) {
        const auto emitted =
            test::runProcess({"busctl", "--address=" + bus.address(), "call", logindName,
                              logindPath, "org.freedesktop.DBus.Mock", "EmitSignal", "sssav",
                              managerInterface, "PrepareForSleep", "b", "1", "b", asleep});
        EXPECT_EQ(emitted.exitCode, 0) << emitted.output;
    }

    test::PrivateBus bus{{}};
    test::ScopedEnvironmentVariable address{"DBUS_SYSTEM_BUS_ADDRESS", bus.address()};
    test::BackgroundProcess process{{"setpriv", "--pdeathsig=KILL", "/usr/bin/python3", "-m",
                                     "dbusmock", "--system", "-t", "logind"}};
    const bool named = test::runProcess({"gdbus", "wait", "--address", bus.address(), "--timeout",
                                         "10", logindName})
                           .exitCode == 0;
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

class LogindWakeObserverTest : public ::testing::Test {
protected:
    void startLogind() {
        logind = std::make_unique<MockLogind>();
        ASSERT_TRUE(logind->named) << "logind's stand-in did not appear";
    }

    // Runs the loop until `condition` holds, as seen after a wake or a bus opening.
    void runUntil(std::function<bool()> condition) {
        done = std::move(condition);
        if (!done()) {
            EXPECT_EQ(test::runWithWatchdog(loop), 0);
        }
    }
    void stopIfDone() {
        if (done && done())
            loop.exit(0);
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
    sd_bus* observerBus = nullptr; // the observer's latest connection, which it owns
    int opened = 0;
    int wakes = 0;
    std::function<bool()> done;
    LogindWakeObserver observer{loop, [this](sd_bus** bus) {
                                    const int r = sd_bus_open_system(bus);
                                    if (r >= 0) {
                                        observerBus = *bus;
                                        ++opened;
                                    }
                                    stopIfDone();
                                    return r;
                                }};
};

TEST_F(LogindWakeObserverTest, OnlyLogindsReturnFromSleepCountsAndItIsFollowedThroughRestarts) {
    startLogind();
    const auto token = observer.observeDidWake([this] {
        ++wakes;
        stopIfDone();
    });
    const char* observerName = nullptr;
    ASSERT_GE(sd_bus_get_unique_name(observerBus, &observerName), 0);
    logind->emit("true"); // going to sleep
    emitAsSomeoneElse(nullptr);
    emitAsSomeoneElse(observerName);
    settle();
    EXPECT_EQ(wakes, 0);
    logind->emit("false");
    runUntil([&] { return wakes == 1; });

    // logind and the bus restart while the loop is not looking: the loss is seen, the new bus
    // reached.
    logind.reset();
    startLogind();
    runUntil([&] { return opened == 2; });
    logind->emit("false");
    runUntil([&] { return wakes == 2; });
}

} // namespace
} // namespace sollun::helper
