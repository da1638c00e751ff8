#include "SollunHelper/WakeDaemonController.h"

#include "platform/Log.h"
#include "tests/support/FakeDaemonTransport.h"
#include "tests/support/FakeEventLoop.h"
#include "tests/support/Texts.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <vector>

namespace sollun::helper {
namespace {

using namespace test;
using namespace std::chrono_literals;

const Instant wakeAt = FakeEventLoop::defaultStart + 8h;

// What a request that ended with `value` leaves in its result.
template <class T>
std::optional<T> ended(T value) {
    return std::optional<T>(std::in_place, std::move(value));
}

// How the daemon deals with a request.
enum class Daemon { answers, fails, unreachable, withoutProtocol };

class WakeDaemonControllerTest : public ::testing::Test {
protected:
    void TearDown() override { EXPECT_EQ(unfinished, 0) << "a request never ended"; }

    WakeDaemonController& make(std::int64_t status, Daemon daemon = Daemon::answers) {
        script.status = status;
        connector = std::make_shared<FakeConnector>();
        connector->reachable = daemon != Daemon::unreachable;
        connector->offersProtocol = daemon != Daemon::withoutProtocol;
        controller.emplace(loop, std::make_unique<FakeDaemonService>(script), connector);
        return *controller;
    }

    // Starts `task` on the loop and runs it up to its first wait; the result appears once it ends.
    template <class T>
    std::shared_ptr<std::optional<T>> start(platform::Task<T> task) {
        auto result = std::make_shared<std::optional<T>>();
        ++unfinished;
        running.push_back(platform::start(loop, std::move(task), [this, result](T value) {
            result->emplace(std::move(value));
            --unfinished;
        }));
        loop.runPending();
        return result;
    }

    // The latest request, answered. A failing daemon reports the error and then the reply too, as
    // a transport may.
    void answer(Daemon daemon, std::optional<std::string> text, std::int64_t version = 1) {
        if (daemon == Daemon::answers || daemon == Daemon::fails) {
            ASSERT_FALSE(connector->made.back()->requests.empty());
            const auto request = connector->made.back()->requests.back();
            if (daemon == Daemon::fails)
                request.fail("Connection refused");
            if (request.versionReply)
                request.versionReply(version);
            else
                request.textReply(text);
        }
        loop.runPending();
    }

    FakeEventLoop loop;
    platform::ScopedMemoryLog log;
    ServiceScript script;
    std::shared_ptr<FakeConnector> connector;
    std::optional<WakeDaemonController> controller;
    std::vector<platform::Source> running;
    int unfinished = 0;
};

// Registered when it is not, or taken as it is, once the service knows; and logged.
TEST_F(WakeDaemonControllerTest, RegistersTheDaemonOnlyWhenItIsNotAndSaysHowItWent) {
    using enum WakeDaemonRegistrationState;
    const struct {
        std::int64_t status, afterRegistering;
        std::optional<std::string> failure;
        int registrations;
        WakeDaemonRegistrationState state;
        std::string logged;
    } rows[] = {
        {serviceNotRegistered, serviceRequiresApproval, std::nullopt, 1, requiresApproval,
         "info helper/daemon-controller: Registered wake daemon"},
        {serviceNotFound, serviceNotFound, "Authorization was dismissed", 1, notFound,
         "error helper/daemon-controller: Daemon registration failed: Authorization was "
         "dismissed"},
        {serviceEnabled, serviceEnabled, std::nullopt, 0, enabled,
         "info helper/daemon-controller: Daemon already enabled"},
        {serviceRequiresApproval, serviceRequiresApproval, std::nullopt, 0, requiresApproval,
         "info helper/daemon-controller: Daemon requires user approval in Login Items"},
    };
    std::vector<std::string> logged;
    for (const auto& row : rows) {
        script.statusAfterRegistering = row.afterRegistering;
        script.registrationError = row.failure;
        script.registrations = 0;
        make(row.status).registerIfNeeded();
        EXPECT_EQ(controller->registrationState(), row.state) << row.logged;
        EXPECT_EQ(script.registrations, row.registrations) << row.logged;
        logged.push_back(row.logged);
    }
    EXPECT_EQ(logLines(*log), logged);

    // Not known yet: nothing is registered until the service tells what it is.
    script.registrations = 0;
    make(-1).registerIfNeeded();
    EXPECT_EQ(script.registrations, 0);
    script.status = serviceNotRegistered;
    script.changed();
    EXPECT_EQ(script.registrations, 1);
}

TEST_F(WakeDaemonControllerTest, NothingIsSentUnlessTheDaemonIsEnabled) {
    // Not registered, awaiting approval, not found, unknown.
    for (const std::int64_t status : {0, 2, 3, 9}) {
        EXPECT_EQ(*start(make(status).scheduleWake(wakeAt)), ended(std::optional<Instant>()));
        EXPECT_TRUE(connector->calls.empty()) << status;
    }
    EXPECT_EQ(logLines(*log), std::vector<std::string>(4, "info helper/daemon-controller: "
                                                          "Skipping scheduleWake; daemon not "
                                                          "enabled"));
}

TEST_F(WakeDaemonControllerTest, EveryFailureEndsTheRequestOnceWithItsDefault) {
    for (const auto daemon :
         {Daemon::answers, Daemon::fails, Daemon::unreachable, Daemon::withoutProtocol}) {
        auto wake = start(make(serviceEnabled, daemon).scheduleWake(wakeAt));
        answer(daemon,
               daemon == Daemon::answers ? std::optional<std::string>("refused") : std::nullopt);
        EXPECT_EQ(*wake, ended(std::optional<Instant>()));
        auto version = start(controller->fetchVersion());
        answer(daemon, {}, 7);
        EXPECT_EQ(*version, daemon == Daemon::answers ? 7 : 0);
    }
}

TEST_F(WakeDaemonControllerTest, ALateHandlerOfAnOldConnectionKeepsTheNewOne) {
    // Either handler first; the other one comes late, after the replacement.
    for (const bool interruptedFirst : {true, false}) {
        auto& daemon = make(serviceEnabled);
        start(daemon.fetchVersion());
        answer(Daemon::answers, {});
        const auto old = connector->made.at(0);
        (interruptedFirst ? old->interrupted : old->invalidated)();
        EXPECT_EQ(daemon.connection(), old) << "dropped on a turn of the loop, not in the report";
        loop.runPending();
        EXPECT_EQ(daemon.connection(), nullptr);

        auto version = start(daemon.fetchVersion());
        ASSERT_EQ(connector->made.size(), 2u);
        answer(Daemon::answers, {}, 7);
        EXPECT_EQ(*version, 7);
        (interruptedFirst ? old->invalidated : old->interrupted)();
        loop.runPending();
        EXPECT_EQ(daemon.connection(), connector->made[1]);
    }
}

// A reply and an error handler, in either order: exactly one of them reaches the continuation,
// with its own value.
TEST(ResumeOnce, AReplyAndAnErrorInEitherOrderResumeOnce) {
    for (const bool replyFirst : {true, false}) {
        std::vector<int> resumed;
        ResumeOnce<int, std::function<void(int)>> once(
            [&](int value) { resumed.push_back(value); });
        once.resume(replyFirst ? 1 : 2);
        once.resume(replyFirst ? 2 : 1);
        EXPECT_EQ(resumed, std::vector{replyFirst ? 1 : 2});
    }
}

} // namespace
} // namespace sollun::helper
