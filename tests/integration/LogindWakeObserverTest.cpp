#include "SollunHelper/linux/LogindWakeObserver.h"

#include "platform/linux/SdEventLoop.h"
#include "tests/support/LoopWatchdog.h"
#include "tests/support/PrivateBus.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>
#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace sollun::helper {
namespace {

using test::ScopedEnvironmentVariable;

constexpr const char* logindName = "org.freedesktop.login1";
constexpr const char* logindPath = "/org/freedesktop/login1";
constexpr const char* managerInterface = "org.freedesktop.login1.Manager";

// logind's stand-in (python-dbusmock's template) on a private system bus of its own, named in
// DBUS_SYSTEM_BUS_ADDRESS while it lives.
struct MockLogind {
    // Has the stand-in emit PrepareForSleep from logind's name: the signature, then the arguments
    // as variants in busctl's notation. Returns once the bus has passed the signal on: the
    // stand-in answers after emitting. By default what logind sends when the machine is back.
    void emit(std::vector<std::string> signal = {"b", "1", "b", "false"},
              const char* path = logindPath, const char* interface = managerInterface) {
        std::vector<std::string> argv{"busctl",
                                      "--address=" + bus.address(),
                                      "call",
                                      logindName,
                                      logindPath,
                                      "org.freedesktop.DBus.Mock",
                                      "EmitSignalDetailed",
                                      "sssava{sv}",
                                      interface,
                                      "PrepareForSleep"};
        argv.insert(argv.end(), signal.begin(), signal.end());
        argv.insert(argv.end(), {"1", "path", "s", path});
        const auto emitted = test::runProcess(argv);
        EXPECT_EQ(emitted.exitCode, 0) << emitted.output;
    }

    test::PrivateBus bus{{}};
    ScopedEnvironmentVariable address{"DBUS_SYSTEM_BUS_ADDRESS", bus.address()};
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
    EXPECT_GE(r, 0) << "sending the signal from the test's connection";
    sd_bus_message_unref(signal);
    sd_bus_flush_close_unref(bus);
}

// The observer opens the system bus the usual way, through DBUS_SYSTEM_BUS_ADDRESS (a bus that
// does not exist until a test starts logind's stand-in); the test keeps the connection it opened
// last, to see where handlers run and to wait for what reached it.
class LogindWakeObserverTest : public ::testing::Test {
protected:
    void startLogind() {
        logind = std::make_unique<MockLogind>();
        ASSERT_TRUE(logind->named) << "logind's stand-in did not appear";
    }

    // A handler that counts its calls and checks where it runs: on the loop, and not inside the
    // dispatch of the observer's bus message.
    std::function<void()> counter(int& calls) {
        return [this, &calls] {
            EXPECT_EQ(sd_event_get_state(loop.native()), SD_EVENT_RUNNING);
            EXPECT_EQ(sd_bus_get_current_message(observerBus.get()), nullptr);
            ++calls;
            stopIfDone();
        };
    }

    // Runs the loop until `done` holds, as seen after a handler's call or a bus opening.
    void runUntil(std::function<bool()> condition) {
        if (condition())
            return;
        done = std::move(condition);
        EXPECT_EQ(test::runWithWatchdog(loop), 0);
        done = nullptr;
    }
    void stopIfDone() {
        if (done && done())
            loop.exit(0);
    }

    // Runs the loop until the observer has handled everything its connection received so far
    // and the handlers it posted have run: the answer's callback posts the end after them.
    void settle() {
        ASSERT_GE(sd_bus_call_method_async(
                      observerBus.get(), nullptr, "org.freedesktop.DBus", "/org/freedesktop/DBus",
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

    test::TempDir nowhere;
    ScopedEnvironmentVariable noBus{"DBUS_SYSTEM_BUS_ADDRESS",
                                    "unix:path=" + (nowhere / "bus").string()};
    platform::SdEventLoop loop;
    std::unique_ptr<MockLogind> logind;
    std::unique_ptr<sd_bus, decltype(&sd_bus_unref)> observerBus{nullptr, &sd_bus_unref};
    std::vector<bool> opened; // one entry per opening attempt: whether it succeeded
    std::function<bool()> done;
    std::unique_ptr<LogindWakeObserver> observer =
        std::make_unique<LogindWakeObserver>(loop, [this](sd_bus** bus) {
            const int r = sd_bus_open_system(bus);
            opened.push_back(r >= 0);
            if (r >= 0)
                observerBus.reset(sd_bus_ref(*bus));
            stopIfDone();
            return r;
        });
};

TEST_F(LogindWakeObserverTest, EveryWakeCallsEveryTokenOnceOverOneConnection) {
    startLogind();
    int first = 0;
    int second = 0;
    const auto one = observer->observeDidWake(counter(first));
    const auto two = observer->observeDidWake(counter(second));
    EXPECT_EQ(opened, std::vector<bool>{true});
    // No loop iteration in between: the match is in place already.
    for (int i = 0; i < 3; ++i)
        logind->emit();
    runUntil([&] { return first == 3 && second == 3; });
    settle();
    EXPECT_EQ(first, 3);
    EXPECT_EQ(second, 3);
}

TEST_F(LogindWakeObserverTest, NothingButLogindsReturnFromSleepCallsTheHandler) {
    startLogind();
    int calls = 0;
    const auto token = observer->observeDidWake(counter(calls));
    const char* observerName = nullptr;
    ASSERT_GE(sd_bus_get_unique_name(observerBus.get(), &observerName), 0);
    const std::vector<std::string> wake{"b", "1", "b", "false"};
    const struct {
        const char* what;
        std::function<void()> send;
    } strays[] = {
        {"going to sleep",
         [&] {
             logind->emit({"b", "1", "b", "true"});
         }},
        {"a text for the flag",
         [&] {
             logind->emit({"s", "1", "s", "false"});
         }},
        {"no argument",
         [&] {
             logind->emit({"", "0"});
         }},
        {"a second argument",
         [&] {
             logind->emit({"bb", "2", "b", "false", "b", "false"});
         }},
        {"another object", [&] { logind->emit(wake, "/org/freedesktop/login1/session/auto"); }},
        {"another interface",
         [&] { logind->emit(wake, logindPath, "org.freedesktop.login1.Session"); }},
        {"another sender, to everyone", [&] { emitAsSomeoneElse(nullptr); }},
        {"another sender, to the observer alone", [&] { emitAsSomeoneElse(observerName); }},
    };
    for (const auto& stray : strays) {
        SCOPED_TRACE(stray.what);
        stray.send();
        settle();
        EXPECT_EQ(calls, 0);
    }
    logind->emit(); // still listening
    runUntil([&] { return calls == 1; });
}

TEST_F(LogindWakeObserverTest, TokensEndedBeforeTheirTurnAreNotCalled) {
    startLogind();
    // Each handler ends both tokens, its own included: whichever runs first, the other's call is
    // posted already and must be dropped, and the running one still has what it captured.
    int calls = 0;
    int afterwards = 0;
    std::unique_ptr<SystemWakeObserver::Token> one;
    std::unique_ptr<SystemWakeObserver::Token> two;
    const auto endBoth = [&] {
        ++calls;
        one.reset();
        two.reset();
        ++afterwards;
    };
    one = observer->observeDidWake(endBoth);
    two = observer->observeDidWake(endBoth);
    logind->emit();
    logind->emit();
    settle();
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(afterwards, 1);

    // A handler may end the observer: no handler is called after that.
    calls = 0;
    const auto endObserver = [&] {
        ++calls;
        observer.reset();
        stopIfDone();
    };
    const auto three = observer->observeDidWake(endObserver);
    const auto four = observer->observeDidWake(endObserver);
    logind->emit();
    runUntil([&] { return calls >= 1; });
    loop.post([this] { loop.exit(0); });
    EXPECT_EQ(test::runWithWatchdog(loop), 0);
    EXPECT_EQ(calls, 1);
}

// About ten seconds: the retry timer runs out twice.
TEST_F(LogindWakeObserverTest, FollowsTheSystemBusThroughItsAbsenceAndItsRestarts) {
    int calls = 0;
    const auto token = observer->observeDidWake(counter(calls));
    const auto wakeCounted = [&](int expected) {
        logind->emit();
        runUntil([&] { return calls == expected; });
    };
    // Observing before the system bus exists: the retry timer brings the first connection.
    startLogind();
    runUntil([&] { return opened.size() == 2; });
    wakeCounted(1);
    // Bus and logind restart while the loop is not looking: the loss is seen, the new bus reached.
    logind.reset();
    startLogind();
    runUntil([&] { return opened.size() == 3; });
    wakeCounted(2);
    // The bus goes and stays away for a while: the retries go on until it is back.
    logind.reset();
    runUntil([&] { return opened.size() == 4; });
    startLogind();
    runUntil([&] { return opened.size() == 5; });
    wakeCounted(3);
    settle();
    EXPECT_EQ(opened, (std::vector<bool>{false, true, true, false, true}));
    EXPECT_EQ(calls, 3);
}

} // namespace
} // namespace sollun::helper
