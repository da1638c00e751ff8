#include "SollunHelper/WakeDaemonController.h"

#include "platform/Log.h"
#include "shared/Requirement.h"
#include "tests/support/FakeDaemonTransport.h"
#include "tests/support/FakeEventLoop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <functional>
#include <thread>

namespace sollun::helper {
namespace {

using namespace test;
using namespace std::chrono_literals;
using State = WakeDaemonRegistrationState;
using Log = std::vector<std::string>;

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
        script = ServiceScript{};
        script.status = status;
        connector = std::make_shared<FakeConnector>();
        connector->reachable = daemon != Daemon::unreachable;
        connector->offersProtocol = daemon != Daemon::withoutProtocol;
        log->clear();
        controller.emplace(loop, std::make_unique<FakeDaemonService>(script), connector);
        return *controller;
    }

    // Starts `task` on the loop and runs it up to its first wait; the result appears once it ends.
    template <class T>
    std::shared_ptr<std::optional<T>> start(platform::Task<T> task) {
        auto result = std::make_shared<std::optional<T>>();
        ++unfinished;
        platform::spawn(loop,
                        [](platform::Task<T> t, std::shared_ptr<std::optional<T>> out,
                           int& open) -> platform::Task<> {
                            out->emplace(co_await t);
                            --open;
                        }(std::move(task), result, unfinished));
        loop.runPending();
        return result;
    }

    // The one request of the latest connection, answered from another thread when `daemon` can.
    void answer(Daemon daemon, std::optional<std::string> text, std::int64_t version = 1) {
        if (daemon == Daemon::answers || daemon == Daemon::fails) {
            auto& requests = connector->made.back()->requests;
            ASSERT_EQ(requests.size(), 1u);
            std::thread([&] {
                if (daemon == Daemon::fails)
                    requests[0].fail("Connection refused");
                else if (requests[0].versionReply)
                    requests[0].versionReply(version);
                else
                    requests[0].textReply(text);
            }).join();
        }
        loop.runPending();
    }

    FakeEventLoop loop;
    platform::ScopedMemoryLog log;
    ServiceScript script;
    std::shared_ptr<FakeConnector> connector;
    std::optional<WakeDaemonController> controller;
    int unfinished = 0;
};

TEST_F(WakeDaemonControllerTest, RegistersOnlyWhenNotRegisteredOrNotFound) {
    // Statuses: 0 not registered, 1 enabled, 2 awaiting approval, 3 not found.
    const struct {
        std::int64_t status, statusAfter;
        std::optional<std::string> failure;
        int registrations;
        const char* logged;
        State state;
    } rows[] = {
        {1, 1, {}, 0, "Daemon already enabled", State::enabled},
        {2, 2, {}, 0, "Daemon requires user approval in Login Items", State::requiresApproval},
        {0, 2, {}, 1, "Registered wake daemon", State::requiresApproval},
        {3, 1, {}, 1, "Registered wake daemon", State::enabled},
        {3, 0, "Operation not permitted", 1, "Daemon registration failed: Operation not permitted",
         State::notRegistered},
        {9, 9, {}, 0, nullptr, State::unknown},
    };
    for (const auto& row : rows) {
        auto& daemon = make(row.status);
        EXPECT_EQ(daemon.registrationState(), registrationStateFromServiceStatus(row.status));
        script.registrationError = row.failure;
        script.statusAfterRegistering = row.statusAfter;
        daemon.registerIfNeeded();
        EXPECT_EQ(script.registrations, row.registrations) << row.status;
        EXPECT_EQ(log->messages(), row.logged ? Log{row.logged} : Log{}) << row.status;
        EXPECT_EQ(daemon.registrationState(), row.state) << row.status;
        if (row.state != State::enabled) { // nothing is sent, nothing connected
            log->clear();
            EXPECT_EQ(*start(daemon.scheduleWake(wakeAt)), ended(std::optional<Instant>()));
            EXPECT_EQ(log->messages(), Log{"Skipping scheduleWake; daemon not enabled"});
        }
        EXPECT_TRUE(connector->calls.empty()) << row.status;
    }
}

TEST_F(WakeDaemonControllerTest, AWakeOrItsClearingGoesOverAConnectionMadeOnDemand) {
    for (const auto date : {std::optional(wakeAt), std::optional<Instant>()}) {
        auto& daemon = make(serviceEnabled);
        auto result = start(daemon.scheduleWake(date));
        EXPECT_FALSE(result->has_value());
        EXPECT_EQ(connector->calls,
                  (std::vector{std::tuple{std::string(wakeDaemonServiceName), true,
                                          std::string(trust::clientRequirementText())}}));
        ASSERT_EQ(connector->made.size(), 1u);
        const auto& connection = connector->made[0];
        EXPECT_EQ(connection->setUp,
                  (std::vector<std::string>{"invalidation", "interruption", "resume"}));
        EXPECT_EQ(daemon.connection(), connection);
        ASSERT_EQ(connection->requests.size(), 1u);
        EXPECT_EQ(connection->requests[0].operation, date ? "schedule" : "clear");
        EXPECT_EQ(connection->requests[0].date, date);

        answer(Daemon::answers, std::nullopt);
        EXPECT_EQ(*result, ended(date));
        EXPECT_TRUE(log->messages().empty());
    }
}

TEST_F(WakeDaemonControllerTest, EveryRequestThatFailsYieldsItsDefault) {
    const std::string refusal = "IOPMSchedulePowerEvent failed: 0xe00002c1";
    const Log noConnection{"Daemon rejected wake: no daemon connection"};
    const std::pair<Daemon, Log> rows[] = {
        {Daemon::answers, {"Daemon rejected wake: " + refusal}},
        {Daemon::fails, {"XPC error: Connection refused", noConnection[0]}},
        {Daemon::unreachable, noConnection},
        {Daemon::withoutProtocol, noConnection},
    };
    for (const auto& [daemon, logged] : rows) {
        auto wake = start(make(serviceEnabled, daemon).scheduleWake(wakeAt));
        answer(daemon, refusal);
        EXPECT_EQ(*wake, ended(std::optional<Instant>()));
        EXPECT_EQ(log->messages(), logged);
    }
}

TEST_F(WakeDaemonControllerTest, AConnectionThatReportsTroubleIsReplacedByTheNextRequest) {
    // Either handler first; the other one comes late, after the replacement.
    for (const bool interruptedFirst : {true, false}) {
        auto& daemon = make(serviceEnabled);
        auto version = start(daemon.fetchVersion());
        answer(Daemon::answers, {});
        const auto old = connector->made.at(0);

        std::thread(interruptedFirst ? old->interrupted : old->invalidated).join();
        EXPECT_EQ(daemon.connection(), old) << "dropped on the loop, not on the reporting thread";
        loop.runPending();
        EXPECT_EQ(daemon.connection(), nullptr);

        version = start(daemon.fetchVersion());
        ASSERT_EQ(connector->made.size(), 2u);
        EXPECT_EQ(old->requests.size(), 1u);
        answer(Daemon::answers, {}, 7);
        EXPECT_EQ(*version, 7);

        std::thread(interruptedFirst ? old->invalidated : old->interrupted).join();
        loop.runPending();
        EXPECT_EQ(daemon.connection(), connector->made[1]);
        EXPECT_TRUE(log->messages().empty());
    }
}

// A reply and an error handler, on their own threads, released together every round: exactly
// one of them may reach the continuation.
TEST(ResumeOnce, AReplyAndAnErrorRacingResumeExactlyOnceEveryRound) {
    constexpr int rounds = 20000;
    std::atomic<int> resumes = 0;
    std::shared_ptr<ResumeOnce<int, std::function<void(int)>>> once;
    std::barrier start(3);
    std::barrier finish(3);
    auto callback = [&](int value) {
        for (int round = 0; round < rounds; ++round) {
            start.arrive_and_wait();
            once->resume(value);
            finish.arrive_and_wait();
        }
    };
    std::jthread reply(callback, 1);
    std::jthread error(callback, 2);
    int badRounds = 0; // no ASSERT in here: leaving early would strand the callbacks
    for (int round = 0; round < rounds; ++round) {
        resumes = 0;
        once = std::make_shared<ResumeOnce<int, std::function<void(int)>>>(
            [&](int value) { resumes += value == 1 || value == 2 ? 1 : 100; });
        start.arrive_and_wait();
        finish.arrive_and_wait();
        badRounds += resumes != 1;
    }
    EXPECT_EQ(badRounds, 0);
}

} // namespace
} // namespace sollun::helper
