#include "SollunHelper/WakeDaemonController.h"

#include "platform/Log.h"
#include "shared/Requirement.h"
#include "tests/support/FakeDaemonTransport.h"
#include "tests/support/FakeEventLoop.h"
#include "tests/support/Texts.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

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
        platform::spawn(loop,
                        [](platform::Task<T> t, std::shared_ptr<std::optional<T>> out,
                           int& open) -> platform::Task<> {
                            out->emplace(co_await t);
                            --open;
                        }(std::move(task), result, unfinished));
        loop.runPending();
        return result;
    }

    // The latest request, answered from another thread. A failing daemon reports the error and
    // then the reply too, as a transport may.
    void answer(Daemon daemon, std::optional<std::string> text, std::int64_t version = 1) {
        if (daemon == Daemon::answers || daemon == Daemon::fails) {
            ASSERT_FALSE(connector->made.back()->requests.empty());
            std::thread([&, request = connector->made.back()->requests.back()] {
                if (daemon == Daemon::fails)
                    request.fail("Connection refused");
                if (request.versionReply)
                    request.versionReply(version);
                else
                    request.textReply(text);
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

TEST_F(WakeDaemonControllerTest, AWakeOrItsClearingGoesOverAConnectionMadeOnDemand) {
    for (const auto date : {std::optional(wakeAt), std::optional<Instant>()}) {
        auto& daemon = make(serviceEnabled);
        auto result = start(daemon.scheduleWake(date));
        EXPECT_EQ(connector->calls,
                  (std::vector{std::tuple{std::string(wakeDaemonServiceName), true,
                                          std::string(trust::clientRequirementText())}}));
        const auto& request = connector->made.at(0)->requests.at(0);
        EXPECT_EQ(request.operation, date ? "schedule" : "clear");
        EXPECT_EQ(request.date, date);
        EXPECT_FALSE(result->has_value());
        answer(Daemon::answers, std::nullopt);
        EXPECT_EQ(*result, ended(date));
    }
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
        std::thread(interruptedFirst ? old->interrupted : old->invalidated).join();
        EXPECT_EQ(daemon.connection(), old) << "dropped on the loop, not on the reporting thread";
        loop.runPending();
        EXPECT_EQ(daemon.connection(), nullptr);

        auto version = start(daemon.fetchVersion());
        ASSERT_EQ(connector->made.size(), 2u);
        answer(Daemon::answers, {}, 7);
        EXPECT_EQ(*version, 7);
        std::thread(interruptedFirst ? old->invalidated : old->interrupted).join();
        loop.runPending();
        EXPECT_EQ(daemon.connection(), connector->made[1]);
    }
}

// Threads that wait for each other, round after round, and leave together. Not std::barrier:
// libstdc++'s sleeps ever longer while it waits, which on a busy machine stretched these meetings
// from a second to minutes. Here a waiter looks for the round's end a few thousand times, which
// lets the threads leave at nearly the same instant (the race the test is after), then sleeps on
// a condition variable that wakes it as soon as the last one arrives.
class Rendezvous {
public:
    explicit Rendezvous(int parties)
        : parties_(parties) {}

    void arriveAndWait() {
        // The round cannot end before this thread has arrived.
        const auto round = round_.load();
        if (arrived_.fetch_add(1) + 1 == parties_) {
            arrived_ = 0;
            {
                std::lock_guard guard(lock_);
                ++round_;
            }
            everyone_.notify_all();
            return;
        }
        for (int spin = 0; spin < 4000; ++spin)
            if (round_.load() != round)
                return;
        std::unique_lock guard(lock_);
        everyone_.wait(guard, [&] { return round_.load() != round; });
    }

private:
    const int parties_;
    std::atomic<int> arrived_ = 0;
    std::atomic<std::uint64_t> round_ = 0;
    std::mutex lock_;
    std::condition_variable everyone_;
};

// A reply and an error handler on their own threads, released together every round: exactly one
// of them may reach the continuation. As many rounds as fit in a few seconds, up to 20000: on a
// busy machine every meeting waits for the scheduler, and the test must end well within its limit.
TEST(ResumeOnce, AReplyAndAnErrorRacingResumeExactlyOnce) {
    constexpr int rounds = 20000;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    std::atomic<int> resumes = 0;
    std::atomic<bool> racing = true;
    std::shared_ptr<ResumeOnce<int, std::function<void(int)>>> once;
    Rendezvous start(3), finish(3);
    auto callback = [&] {
        for (;;) {
            start.arriveAndWait();
            if (!racing)
                return;
            once->resume(1);
            finish.arriveAndWait();
        }
    };
    std::jthread reply(callback), error(callback);
    int badRounds = 0; // no ASSERT in here: leaving early would strand the callbacks
    int round = 0;
    for (; round < rounds && std::chrono::steady_clock::now() < deadline; ++round) {
        resumes = 0;
        once = std::make_shared<ResumeOnce<int, std::function<void(int)>>>(
            [&](int value) { resumes += value; });
        start.arriveAndWait();
        finish.arriveAndWait();
        badRounds += resumes != 1;
    }
    racing = false;
    start.arriveAndWait();
    EXPECT_EQ(badRounds, 0) << "in " << round << " rounds";
}

} // namespace
} // namespace sollun::helper
