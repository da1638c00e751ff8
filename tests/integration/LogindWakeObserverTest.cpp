#include "SollunHelper/linux/LogindWakeObserver.h"

#include "platform/linux/SdEventLoop.h"
#include "tests/support/LoopWatchdog.h"
#include "tests/support/PrivateBus.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>
#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace sollun::helper {
namespace {

using namespace std::chrono_literals;

constexpr const char* logindName = "org.freedesktop.login1";
constexpr const char* logindPath = "/org/freedesktop/login1";
constexpr const char* managerInterface = "org.freedesktop.login1.Manager";

struct BusUnref {
    void operator()(sd_bus* bus) const { sd_bus_unref(bus); }
};
using BusRef = std::unique_ptr<sd_bus, BusUnref>;

// A question to the bus itself: its answer comes after everything the bus had for the asking
// connection before it.
int askBusForItsId(sd_bus* bus) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    const int r = sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                     "org.freedesktop.DBus", "GetId", &error, &reply, "");
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    return r;
}

// A signal for logind's stand-in to emit; by default what logind sends when the machine is back.
struct Signal {
    std::string interface = managerInterface;
    std::string path = logindPath;
    std::string signature = "b";
    std::vector<std::variant<bool, std::string>> arguments = {false};
};

// logind's stand-in (python-dbusmock's template) on a private system bus of its own, and a
// connection of the test's to that bus, attached to the test's loop.
class MockLogind {
public:
    explicit MockLogind(platform::SdEventLoop& loop)
        : loop_(loop)
        , bus_({test::PrivateBus::Policy::open, {}, {}}) {
        int r = sd_bus_new(&probe_);
        if (r >= 0)
            r = sd_bus_set_address(probe_, bus_.address().c_str());
        if (r >= 0)
            r = sd_bus_set_bus_client(probe_, 1);
        if (r >= 0)
            r = sd_bus_start(probe_);
        if (r >= 0)
            r = sd_bus_attach_event(probe_, loop_.native(), SD_EVENT_PRIORITY_NORMAL);
        // Watching before the stand-in starts: its taking the name cannot be missed.
        if (r >= 0)
            r = sd_bus_add_match(probe_, &ownerWatch_,
                                 "type='signal',sender='org.freedesktop.DBus',"
                                 "path='/org/freedesktop/DBus',interface='org.freedesktop.DBus',"
                                 "member='NameOwnerChanged',arg0='org.freedesktop.login1'",
                                 &onOwnerChanged, this);
        EXPECT_GE(r, 0) << "the test's own connection to the private bus";
        process_ = std::make_unique<test::BackgroundProcess>(std::vector<std::string>{
            "setpriv", "--pdeathsig=KILL", "env", "DBUS_SYSTEM_BUS_ADDRESS=" + bus_.address(),
            "/usr/bin/python3", "-m", "dbusmock", "--system", "-t", "logind", "-l",
            (logs_ / "calls.log").string()});
    }

    ~MockLogind() {
        sd_bus_slot_unref(ownerWatch_);
        sd_bus_detach_event(probe_);
        sd_bus_close_unref(probe_);
    }

    MockLogind(const MockLogind&) = delete;
    MockLogind& operator=(const MockLogind&) = delete;

    const std::string& address() const { return bus_.address(); }

    // Runs the loop until the stand-in owns logind's name.
    bool waitForName() {
        if (!named_) {
            EXPECT_EQ(test::runWithWatchdog(loop_), 0) << "logind's stand-in did not appear";
        }
        return named_;
    }

    // Has the stand-in emit `signal` from the owner of logind's name. Returns once the bus has
    // passed the signal on: the stand-in answers after emitting.
    void emit(const Signal& signal) {
        sd_bus_message* call = nullptr;
        int r = sd_bus_message_new_method_call(probe_, &call, logindName, logindPath,
                                               "org.freedesktop.DBus.Mock", "EmitSignalDetailed");
        if (r >= 0)
            r = sd_bus_message_append(call, "sss", signal.interface.c_str(), "PrepareForSleep",
                                      signal.signature.c_str());
        if (r >= 0)
            r = sd_bus_message_open_container(call, 'a', "v");
        for (const auto& argument : signal.arguments) {
            if (r < 0)
                break;
            if (const auto* flag = std::get_if<bool>(&argument))
                r = sd_bus_message_append(call, "v", "b", static_cast<int>(*flag));
            else
                r = sd_bus_message_append(call, "v", "s", std::get<std::string>(argument).c_str());
        }
        if (r >= 0)
            r = sd_bus_message_close_container(call);
        if (r >= 0)
            r = sd_bus_message_append(call, "a{sv}", 1, "path", "s", signal.path.c_str());
        sd_bus_error error = SD_BUS_ERROR_NULL;
        if (r >= 0)
            r = sd_bus_call(probe_, call, 0, &error, nullptr);
        EXPECT_GE(r, 0) << "EmitSignalDetailed: " << (error.message ? error.message : "");
        sd_bus_error_free(&error);
        sd_bus_message_unref(call);
    }

    void emitWake() { emit({}); }
    void emitSleep() { emit({.arguments = {true}}); }

    // PrepareForSleep(false) from the test's own connection, which does not own logind's name;
    // to everyone, or to `destination` alone. Returns once the bus has passed it on.
    void emitAsSomeoneElse(const char* destination) {
        sd_bus_message* signal = nullptr;
        int r = sd_bus_message_new_signal(probe_, &signal, logindPath, managerInterface,
                                          "PrepareForSleep");
        if (r >= 0 && destination != nullptr)
            r = sd_bus_message_set_destination(signal, destination);
        if (r >= 0)
            r = sd_bus_message_append(signal, "b", 0);
        if (r >= 0)
            r = sd_bus_send(probe_, signal, nullptr);
        if (r >= 0)
            r = askBusForItsId(probe_);
        EXPECT_GE(r, 0) << "sending the signal from the test's connection";
        sd_bus_message_unref(signal);
    }

private:
    static int onOwnerChanged(sd_bus_message* message, void* userdata, sd_bus_error*) {
        auto& self = *static_cast<MockLogind*>(userdata);
        const char* name = nullptr;
        const char* oldOwner = nullptr;
        const char* newOwner = nullptr;
        if (sd_bus_message_read(message, "sss", &name, &oldOwner, &newOwner) >= 0 &&
            newOwner[0] != '\0') {
            self.named_ = true;
            self.loop_.exit(0);
        }
        return 0;
    }

    platform::SdEventLoop& loop_;
    test::PrivateBus bus_;
    test::TempDir logs_;
    std::unique_ptr<test::BackgroundProcess> process_;
    sd_bus* probe_ = nullptr;
    sd_bus_slot* ownerWatch_ = nullptr;
    bool named_ = false;
};

// An observer on a private system bus with logind's stand-in. The observer opens the bus the
// usual way, through DBUS_SYSTEM_BUS_ADDRESS; the test keeps a reference to the connection it
// opened last, to see where handlers run and to wait for what reached that connection.
class LogindWakeObserverTest : public ::testing::Test {
protected:
    void SetUp() override {
        logind_ = std::make_unique<MockLogind>(loop_);
        pointSystemBusAt(logind_->address());
        ASSERT_TRUE(logind_->waitForName());
        makeObserver();
    }

    void makeObserver() {
        observer_ = std::make_unique<LogindWakeObserver>(
            loop_, [this](sd_bus** bus) { return openSystemBus(bus); });
    }

    void pointSystemBusAt(const std::string& address) {
        systemBus_.reset();
        systemBus_.emplace("DBUS_SYSTEM_BUS_ADDRESS", address);
    }

    int openSystemBus(sd_bus** bus) {
        const int r = sd_bus_open_system(bus);
        opened_.push_back(r >= 0);
        if (r >= 0)
            observerBus_.reset(sd_bus_ref(*bus));
        stopIfDone();
        return r;
    }

    // A handler that counts its calls and checks where it runs: on the loop, and not inside the
    // dispatch of the observer's bus message.
    std::function<void()> counter(int& calls) {
        return [this, &calls] {
            EXPECT_EQ(sd_event_get_state(loop_.native()), SD_EVENT_RUNNING);
            if (observerBus_) {
                EXPECT_EQ(sd_bus_get_current_message(observerBus_.get()), nullptr);
            }
            ++calls;
            stopIfDone();
        };
    }

    // Runs the loop until `done` holds, as seen after a handler's call or a bus opening.
    void runUntil(std::function<bool()> done) {
        if (done())
            return;
        done_ = std::move(done);
        EXPECT_EQ(test::runWithWatchdog(loop_), 0);
        done_ = nullptr;
    }

    void stopIfDone() {
        if (done_ && done_())
            loop_.exit(0);
    }

    // Runs the loop until the observer has handled everything its connection received so far
    // and the handlers it posted have run: the bus answers a question of that connection after
    // all it had for it before, and its answer's callback posts the end of the run after them.
    void settle() {
        ASSERT_TRUE(observerBus_);
        sd_bus_slot* slot = nullptr;
        const int r = sd_bus_call_method_async(
            observerBus_.get(), &slot, "org.freedesktop.DBus", "/org/freedesktop/DBus",
            "org.freedesktop.DBus", "GetId",
            [](sd_bus_message*, void* userdata, sd_bus_error*) {
                auto& loop = *static_cast<platform::SdEventLoop*>(userdata);
                loop.post([&loop] { loop.exit(0); });
                return 0;
            },
            &loop_, "");
        ASSERT_GE(r, 0);
        EXPECT_EQ(test::runWithWatchdog(loop_), 0);
        sd_bus_slot_unref(slot);
    }

    // Runs what has been posted so far.
    void drainPosted() {
        loop_.post([this] { loop_.exit(0); });
        EXPECT_EQ(test::runWithWatchdog(loop_), 0);
    }

    platform::SdEventLoop loop_;
    std::unique_ptr<MockLogind> logind_;
    std::optional<test::ScopedEnvironmentVariable> systemBus_;
    BusRef observerBus_;
    std::vector<bool> opened_; // one entry per opening attempt: whether it succeeded
    std::function<bool()> done_;
    std::unique_ptr<LogindWakeObserver> observer_;
};

// --- Which signals count ---

TEST_F(LogindWakeObserverTest, EveryReturnFromSleepCallsTheHandlerOnce) {
    int calls = 0;
    const auto token = observer_->observeDidWake(counter(calls));
    // No loop iteration in between: the match is in place already.
    for (int i = 0; i < 3; ++i)
        logind_->emitWake();
    runUntil([&] { return calls == 3; });
    settle();
    EXPECT_EQ(calls, 3);
}

TEST_F(LogindWakeObserverTest, NothingButLogindsReturnFromSleepCallsTheHandler) {
    int calls = 0;
    const auto token = observer_->observeDidWake(counter(calls));
    ASSERT_TRUE(observerBus_);
    const char* observerName = nullptr;
    ASSERT_GE(sd_bus_get_unique_name(observerBus_.get(), &observerName), 0);
    const std::string observerAddress = observerName;

    const struct {
        const char* what;
        std::function<void()> send;
    } strays[] = {
        {"going to sleep", [&] { logind_->emitSleep(); }},
        {"a text for the flag",
         [&] { logind_->emit({.signature = "s", .arguments = {std::string("false")}}); }},
        {"no argument", [&] { logind_->emit({.signature = "", .arguments = {}}); }},
        {"a second argument",
         [&] {
             logind_->emit({.signature = "bb", .arguments = {false, false}});
         }},
        {"another object",
         [&] { logind_->emit({.path = "/org/freedesktop/login1/session/auto"}); }},
        {"another interface",
         [&] { logind_->emit({.interface = "org.freedesktop.login1.Session"}); }},
        {"another sender, to everyone", [&] { logind_->emitAsSomeoneElse(nullptr); }},
        {"another sender, to the observer alone",
         [&] { logind_->emitAsSomeoneElse(observerAddress.c_str()); }},
    };
    for (const auto& stray : strays) {
        SCOPED_TRACE(stray.what);
        stray.send();
        settle();
        EXPECT_EQ(calls, 0);
    }

    // Still listening.
    logind_->emitWake();
    runUntil([&] { return calls == 1; });
}

// --- Tokens ---

TEST_F(LogindWakeObserverTest, EveryTokenIsCalledOncePerWakeOverOneConnection) {
    int first = 0;
    int second = 0;
    const auto one = observer_->observeDidWake(counter(first));
    const auto two = observer_->observeDidWake(counter(second));
    EXPECT_EQ(opened_, std::vector<bool>{true});

    logind_->emitWake();
    runUntil([&] { return first == 1 && second == 1; });
    settle();
    EXPECT_EQ(first, 1);
    EXPECT_EQ(second, 1);
}

TEST_F(LogindWakeObserverTest, ADestroyedTokenIsNotCalled) {
    int ended = 0;
    int kept = 0;
    auto gone = observer_->observeDidWake(counter(ended));
    const auto stays = observer_->observeDidWake(counter(kept));
    gone.reset();

    logind_->emitWake();
    runUntil([&] { return kept == 1; });
    settle();
    EXPECT_EQ(ended, 0);
}

TEST_F(LogindWakeObserverTest, AHandlerMayEndItsOwnToken) {
    int calls = 0;
    int afterwards = 0;
    std::unique_ptr<SystemWakeObserver::Token> token;
    token = observer_->observeDidWake([&] {
        ++calls;
        token.reset();
        // The handler is still running: what it captured must still be there.
        ++afterwards;
    });
    logind_->emitWake();
    logind_->emitWake();
    settle();
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(afterwards, 1);
}

TEST_F(LogindWakeObserverTest, ATokenEndedAfterTheWakeButBeforeItsTurnIsNotCalled) {
    // Each handler ends the other token; whichever runs first, the other's call is already
    // posted and must be dropped.
    int calls = 0;
    std::unique_ptr<SystemWakeObserver::Token> one;
    std::unique_ptr<SystemWakeObserver::Token> two;
    one = observer_->observeDidWake([&] {
        ++calls;
        two.reset();
        stopIfDone();
    });
    two = observer_->observeDidWake([&] {
        ++calls;
        one.reset();
        stopIfDone();
    });
    logind_->emitWake();
    runUntil([&] { return calls >= 1; });
    settle();
    EXPECT_EQ(calls, 1);
}

TEST_F(LogindWakeObserverTest, AnObserverEndedByAHandlerCallsNoMoreHandlers) {
    int calls = 0;
    const auto endObserver = [&] {
        ++calls;
        observer_.reset();
        stopIfDone();
    };
    const auto one = observer_->observeDidWake(endObserver);
    const auto two = observer_->observeDidWake(endObserver);
    logind_->emitWake();
    runUntil([&] { return calls >= 1; });
    drainPosted();
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(observer_, nullptr);
}

// --- The system bus going away ---

TEST_F(LogindWakeObserverTest, ReconnectsAtOnceToASystemBusThatIsBackAlready) {
    int calls = 0;
    const auto token = observer_->observeDidWake(counter(calls));

    // Bus and logind restart while the loop is not looking.
    const auto restart = std::chrono::steady_clock::now();
    logind_.reset();
    logind_ = std::make_unique<MockLogind>(loop_);
    pointSystemBusAt(logind_->address());
    ASSERT_TRUE(logind_->waitForName());
    runUntil([&] { return opened_.size() == 2; });
    EXPECT_EQ(opened_, (std::vector<bool>{true, true}));
    // Not left to the retry timer.
    EXPECT_LT(std::chrono::steady_clock::now() - restart, LogindWakeObserver::retryInterval);

    logind_->emitWake();
    runUntil([&] { return calls == 1; });
    settle();
    EXPECT_EQ(calls, 1);
}

TEST_F(LogindWakeObserverTest, RetriesUntilTheSystemBusIsBack) {
    int calls = 0;
    const auto token = observer_->observeDidWake(counter(calls));

    // The bus goes; the address still names its socket, which is gone too.
    logind_.reset();
    runUntil([&] { return opened_.size() == 2; });
    EXPECT_EQ(opened_, (std::vector<bool>{true, false}));

    logind_ = std::make_unique<MockLogind>(loop_);
    pointSystemBusAt(logind_->address());
    ASSERT_TRUE(logind_->waitForName());
    runUntil([&] { return opened_.size() == 3; });
    EXPECT_EQ(opened_, (std::vector<bool>{true, false, true}));

    logind_->emitWake();
    runUntil([&] { return calls == 1; });
    settle();
    EXPECT_EQ(calls, 1);
}

class LogindWakeObserverWithoutBusTest : public LogindWakeObserverTest {
protected:
    void SetUp() override {
        pointSystemBusAt("unix:path=" + (nowhere_ / "bus").string());
        makeObserver();
    }

    test::TempDir nowhere_;
};

TEST_F(LogindWakeObserverWithoutBusTest, ObservingBeforeTheSystemBusExistsWaitsForIt) {
    int calls = 0;
    const auto token = observer_->observeDidWake(counter(calls));
    EXPECT_EQ(opened_, std::vector<bool>{false});

    logind_ = std::make_unique<MockLogind>(loop_);
    pointSystemBusAt(logind_->address());
    ASSERT_TRUE(logind_->waitForName());
    runUntil([&] { return opened_.size() == 2; });
    EXPECT_EQ(opened_, (std::vector<bool>{false, true}));

    logind_->emitWake();
    runUntil([&] { return calls == 1; });
    settle();
    EXPECT_EQ(calls, 1);
}

} // namespace
} // namespace sollun::helper
