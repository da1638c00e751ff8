#include "SollunHelper/WakeDaemonController.h"

#include "platform/Log.h"
#include "tests/support/FakeDaemonTransport.h"
#include "tests/support/FakeEventLoop.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace sollun::helper {
namespace {

using namespace test;

using namespace std::chrono_literals;
using State = WakeDaemonRegistrationState;
using LogEntry = platform::MemoryLogSink::Entry;

const Instant wakeAt = test::FakeEventLoop::defaultStart + 8h;

LogEntry info(std::string message) {
    return {platform::LogLevel::info, "com.kestrovane.sollun.helper", "daemon-controller",
            std::move(message)};
}
LogEntry error(std::string message) {
    return {platform::LogLevel::error, "com.kestrovane.sollun.helper", "daemon-controller",
            std::move(message)};
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

    test::FakeEventLoop loop;
    platform::ScopedMemoryLog log;
    ServiceScript script;
    std::shared_ptr<FakeConnector> connector;
    std::optional<WakeDaemonController> controller;
    int unfinished = 0;
};

TEST_F(WakeDaemonControllerTest, ConstructionReadsTheRegistrationStateAndConnectsNothing) {
    for (const auto& [status, state] :
         {std::pair{0, State::notRegistered}, std::pair{1, State::enabled},
          std::pair{2, State::requiresApproval}, std::pair{3, State::notFound},
          std::pair{4, State::unknown}, std::pair{-1, State::unknown}}) {
        auto& daemon = make(status);
        EXPECT_EQ(daemon.registrationState(), state) << status;
        EXPECT_EQ(daemon.connection(), nullptr);
        EXPECT_EQ(daemon.daemonVersion(), 0);
        EXPECT_TRUE(connector->calls.empty());
    }
    EXPECT_TRUE(log->entries().empty());
}

TEST_F(WakeDaemonControllerTest, FieldsReportOnlyActualChanges) {
    auto& daemon = make(serviceRequiresApproval);
    std::vector<std::string> changes;
    auto subscription = daemon.observe([&](auto field) { changes.emplace_back(field); });

    daemon.refreshRegistrationState();
    script.status = serviceEnabled;
    daemon.refreshRegistrationState();
    daemon.refreshRegistrationState();
    daemon.setDaemonVersion(1);
    daemon.setDaemonVersion(1);
    EXPECT_EQ(changes, (std::vector<std::string>{"registrationState", "daemonVersion"}));

    daemon.requestApproval();
    EXPECT_EQ(script.approvals, 1);
}

TEST_F(WakeDaemonControllerTest, RegistersOnlyWhenNotRegisteredOrNotFound) {
    struct Row {
        std::int64_t status;
        std::optional<std::string> failure;
        std::int64_t statusAfter;
        int registrations;
        std::vector<LogEntry> logged;
        State state;
    };
    const Row rows[] = {
        {serviceEnabled, {}, serviceEnabled, 0, {info("Daemon already enabled")}, State::enabled},
        {serviceRequiresApproval,
         {},
         serviceRequiresApproval,
         0,
         {info("Daemon requires user approval in Login Items")},
         State::requiresApproval},
        {serviceNotRegistered,
         {},
         serviceRequiresApproval,
         1,
         {info("Registered wake daemon")},
         State::requiresApproval},
        {serviceNotFound, {}, serviceEnabled, 1, {info("Registered wake daemon")}, State::enabled},
        {serviceNotFound,
         "Operation not permitted",
         serviceNotRegistered,
         1,
         {error("Daemon registration failed: Operation not permitted")},
         State::notRegistered},
        {9, {}, 9, 0, {}, State::unknown},
    };
    for (const auto& row : rows) {
        auto& daemon = make(row.status);
        script.registrationError = row.failure;
        script.statusAfterRegistering = row.statusAfter;
        daemon.registerIfNeeded();
        EXPECT_EQ(script.registrations, row.registrations) << row.status;
        EXPECT_EQ(log->entries(), row.logged) << row.status;
        EXPECT_EQ(daemon.registrationState(), row.state) << row.status;
    }
}

TEST_F(WakeDaemonControllerTest, NothingIsSentUnlessTheDaemonIsEnabled) {
    for (const auto status : {serviceNotRegistered, serviceRequiresApproval, serviceNotFound,
                              static_cast<DaemonServiceStatus>(7)}) {
        for (const auto date : {std::optional(wakeAt), std::optional<Instant>()}) {
            auto result = start(make(status).scheduleWake(date));
            ASSERT_TRUE(result->has_value());
            EXPECT_EQ(**result, std::nullopt);
            EXPECT_TRUE(connector->calls.empty());
            EXPECT_EQ(log->entries(),
                      std::vector<LogEntry>{info("Skipping scheduleWake; daemon not enabled")});
        }
    }
}

TEST_F(WakeDaemonControllerTest, AnAcceptedWakeYieldsItsDateOverAConnectionMadeOnDemand) {
    auto& daemon = make(serviceEnabled);
    auto result = start(daemon.scheduleWake(wakeAt));
    EXPECT_FALSE(result->has_value());

    const std::tuple<std::string, bool, std::string> call{
        "com.kestrovane.sollun.wakedaemon", true,
        R"(anchor apple generic and certificate leaf[subject.OU] = "QM4R82T7KX" )"
        R"(and identifier "SollunWakeDaemon")"};
    EXPECT_EQ(connector->calls, std::vector{call});
    ASSERT_EQ(connector->made.size(), 1u);
    const auto& connection = connector->made[0];
    EXPECT_EQ(connection->setUp,
              (std::vector<std::string>{"invalidation", "interruption", "resume"}));
    EXPECT_EQ(daemon.connection(), connection);
    ASSERT_EQ(connection->requests.size(), 1u);
    EXPECT_EQ(connection->requests[0].operation, "schedule");
    EXPECT_EQ(connection->requests[0].date, wakeAt);

    answer(Daemon::answers, std::nullopt);
    ASSERT_TRUE(result->has_value());
    EXPECT_EQ(**result, wakeAt);
    EXPECT_TRUE(log->entries().empty());
}

TEST_F(WakeDaemonControllerTest, AWakeThatFailsIsLoggedAndYieldsNothing) {
    const std::string refusal = "IOPMSchedulePowerEvent failed: 0xe00002c1";
    const std::pair<Daemon, std::vector<LogEntry>> rows[] = {
        {Daemon::answers, {error("Daemon rejected wake: " + refusal)}},
        {Daemon::fails,
         {error("XPC error: Connection refused"),
          error("Daemon rejected wake: no daemon connection")}},
        {Daemon::unreachable, {error("Daemon rejected wake: no daemon connection")}},
        {Daemon::withoutProtocol, {error("Daemon rejected wake: no daemon connection")}},
    };
    for (const auto& [daemon, logged] : rows) {
        auto result = start(make(serviceEnabled, daemon).scheduleWake(wakeAt));
        answer(daemon, refusal);
        ASSERT_TRUE(result->has_value());
        EXPECT_EQ(**result, std::nullopt);
        EXPECT_EQ(log->entries(), logged);
    }
}

TEST_F(WakeDaemonControllerTest, ClearAndVersionFallBackToTheirDefaultsOnly) {
    struct Row {
        Daemon daemon;
        std::optional<std::string> clearReply;
        std::int64_t versionReply;
        bool cleared;
        std::int64_t version;
    };
    const Row rows[] = {
        {Daemon::answers, std::nullopt, 1, true, 1},
        {Daemon::answers, "whatever the daemon says", 42, true, 42},
        {Daemon::fails, {}, 0, false, 0},
        {Daemon::unreachable, {}, 0, false, 0},
        {Daemon::withoutProtocol, {}, 0, false, 0},
    };
    for (const auto& row : rows) {
        auto cleared = start(make(serviceEnabled, row.daemon).clearWake());
        answer(row.daemon, row.clearReply);
        EXPECT_EQ(*cleared, row.cleared);
        auto version = start(make(serviceEnabled, row.daemon).fetchVersion());
        answer(row.daemon, {}, row.versionReply);
        EXPECT_EQ(*version, row.version);
    }
}

TEST_F(WakeDaemonControllerTest, ClearingTheWakeSendsTheClearAndYieldsNothing) {
    auto result = start(make(serviceEnabled).scheduleWake(std::nullopt));
    ASSERT_EQ(connector->made.at(0)->requests.size(), 1u);
    EXPECT_EQ(connector->made[0]->requests[0].operation, "clear");
    answer(Daemon::answers, std::nullopt);
    ASSERT_TRUE(result->has_value());
    EXPECT_EQ(**result, std::nullopt);
    EXPECT_TRUE(log->entries().empty());
}

TEST_F(WakeDaemonControllerTest, AReplyAndAnErrorForOneRequestEndItOnceInEitherOrder) {
    for (const bool replyFirst : {true, false}) {
        auto version = start(make(serviceEnabled).fetchVersion());
        auto& request = connector->made.at(0)->requests.at(0);
        std::thread([&] {
            replyFirst ? request.versionReply(1) : request.fail("Interrupted");
        }).join();
        std::thread([&] {
            replyFirst ? request.fail("Interrupted") : request.versionReply(1);
        }).join();
        loop.runPending();
        EXPECT_EQ(*version, replyFirst ? 1 : 0);
        // The error handler logs whether or not it came too late.
        EXPECT_EQ(log->entries(), std::vector<LogEntry>{error("XPC error: Interrupted")});
    }
}

TEST_F(WakeDaemonControllerTest, RequestsShareTheConnectionButNotTheirAnswers) {
    auto& daemon = make(serviceEnabled);
    auto first = start(daemon.fetchVersion());
    auto second = start(daemon.fetchVersion());
    ASSERT_EQ(connector->made.size(), 1u);
    auto& requests = connector->made[0]->requests;
    ASSERT_EQ(requests.size(), 2u);
    requests[1].versionReply(2);
    requests[0].versionReply(1);
    loop.runPending();
    EXPECT_EQ(*first, 1);
    EXPECT_EQ(*second, 2);
}

TEST_F(WakeDaemonControllerTest, AConnectionThatReportsTroubleIsReplacedByTheNextRequest) {
    // Either handler first; the other one comes late, after the replacement.
    for (const bool interruptedFirst : {true, false}) {
        auto& daemon = make(serviceEnabled);
        auto version = start(daemon.fetchVersion());
        answer(Daemon::answers, {});
        const auto old = connector->made.at(0);
        std::vector<std::string> changes;
        auto subscription = daemon.observe([&](auto field) { changes.emplace_back(field); });

        std::thread(interruptedFirst ? old->interrupted : old->invalidated).join();
        EXPECT_EQ(daemon.connection(), old) << "dropped on the loop, not on the reporting thread";
        loop.runPending();
        EXPECT_EQ(daemon.connection(), nullptr);
        EXPECT_EQ(changes, (std::vector<std::string>{"connection"}));

        version = start(daemon.fetchVersion());
        ASSERT_EQ(connector->made.size(), 2u);
        const auto replacement = connector->made[1];
        EXPECT_EQ(daemon.connection(), replacement);
        EXPECT_TRUE(old->requests.size() == 1 && replacement->requests.size() == 1);
        answer(Daemon::answers, {}, 7);
        EXPECT_EQ(*version, 7);

        std::thread(interruptedFirst ? old->invalidated : old->interrupted).join();
        loop.runPending();
        EXPECT_EQ(daemon.connection(), replacement);
        EXPECT_TRUE(log->entries().empty());
    }
}

TEST_F(WakeDaemonControllerTest, AHandlerThatOutlivesTheControllerDoesNothing) {
    auto version = start(make(serviceEnabled).fetchVersion());
    answer(Daemon::answers, {});
    controller.reset();
    connector->made.at(0)->interrupted();
    connector->made[0]->invalidated();
    loop.runPending();
    EXPECT_EQ(*version, 1);
}

} // namespace
} // namespace sollun::helper
