// The real daemon and its callers: several users through the one program, polkit's say over each
// caller, the limit on one user's changes, what the daemon logs of them, and a log that nobody
// reads any more. The test starts the daemon itself on a private system bus, rather than having the
// bus activate it, so that its standard error, where it logs without a journal, is the test's.

#include "SollunWakeDaemon/PolkitCheck.h"
#include "SollunWakeDaemon/PowerEventFile.h"
#include "SollunWakeDaemon/RequestLimit.h"
#include "shared/Rfc3339.h"
#include "shared/WakeDaemonProtocol.h"
#include "tests/support/DaemonCalls.h"
#include "tests/support/PrivateBus.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <sstream>

namespace sollun::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono;
using namespace wake_daemon_protocol;
// The product's events in the store: when (microseconds since the epoch), and whose (-1: nobody's).
using Events = std::vector<std::pair<std::int64_t, std::int64_t>>;

constexpr const char* polkitName = "org.freedesktop.PolicyKit1";
constexpr const char* foreignEvent =
    R"({"time":"2030-01-01T07:00:00Z","scheduledby":"com.example.clock","eventtype":"wake"})";

std::int64_t fromNow(microseconds ahead) {
    return duration_cast<microseconds>((currentInstant() + ahead).time_since_epoch()).count();
}

Instant instant(std::int64_t usec) {
    return Instant{microseconds(usec)};
}

// Whether the daemon logs to the journal here rather than to its standard error.
bool journalHere() {
    return ::access("/run/systemd/journal/socket", W_OK) == 0;
}

class DaemonCallers : public ::testing::Test {
protected:
    DaemonCallers() { fs::create_directory(state_); }

    // Starts the daemon with its standard error appended to `log`; true once it serves.
    bool startDaemon(const fs::path& log) {
        daemon_ = std::make_unique<BackgroundProcess>(std::vector<std::string>{
            "sh", "-c", "exec \"$0\" 2>>\"$1\"", SOLLUN_DAEMON_EXECUTABLE, log.string()});
        return waitForName(busName) && (client_ = connect(bus_.address()));
    }
    bool waitForName(const char* name) {
        return runProcess({"gdbus", "wait", "--address", bus_.address(), "--timeout", "10", name})
                   .exitCode == 0;
    }
    sd_bus* client() const { return client_.get(); }

    std::string store() const { return readFile(state_ / "power-events.json"); }
    Events productEvents() const {
        Events events;
        const auto document = daemon::parsePowerEventDocument(store());
        if (!document || !document->events)
            return {{-1, -1}};
        for (const auto& element : *document->events) {
            const auto& event = std::get<daemon::PowerDictionary>(element.value.value);
            if (*daemon::memberOf<std::string>(event, daemon::powerEventOwnerKey) !=
                "com.kestrovane.sollun")
                continue;
            const auto time = *daemon::memberOf<Instant>(event, daemon::powerEventTimeKey);
            const auto user = daemon::powerEventUser(event);
            events.emplace_back(time.time_since_epoch().count(), user ? *user : -1);
        }
        return events;
    }
    // What the development build's simulated clock holds, when this machine has no wake hardware.
    std::optional<std::int64_t> armed() const {
        const auto text = readFile(state_ / "simulated-wake");
        const auto at = rfc3339::parse(text);
        return at ? std::optional(at->time_since_epoch().count()) : std::nullopt;
    }
    bool simulated() const { return fs::exists(state_ / "simulated-wake"); }
    // The lines of the daemon's log that contain `text`.
    int logged(const std::string& text) const {
        std::istringstream lines(readFile(log_));
        int count = 0;
        for (std::string line; std::getline(lines, line);)
            count += line.find(text) != std::string::npos;
        return count;
    }

    TempDir root_;
    const fs::path state_ = root_ / "state";
    const fs::path log_ = root_ / "daemon.log";
    ScopedEnvironmentVariable stateDirectory_{"STATE_DIRECTORY", (state_ / "").string()};
    PrivateBus bus_{{}};
    ScopedEnvironmentVariable address_{"DBUS_SYSTEM_BUS_ADDRESS", bus_.address()};
    std::unique_ptr<BackgroundProcess> daemon_;
    BusPtr client_;
};

// Two users' helpers: each keeps its own wake beside the other's, a request replaces only the
// caller's own events (and, the first time, the product's event stored before events carried a
// user), the hardware follows the earliest of all, and every change is logged once with its user
// and process.
TEST_F(DaemonCallers, TwoUsersKeepTheirOwnWakesAndTheEarliestIsArmed) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to call as other users (CI runs as root)";
    if (journalHere())
        GTEST_SKIP() << "the daemon would log to the journal here";
    const auto inAnHour = fromNow(1h), inTwo = fromNow(2h), inHalf = fromNow(30min);
    writeFile(state_ / "power-events.json",
              "[\n  {\"time\":\"" + *daemon::formatStoredTime(instant(fromNow(3h))) +
                  R"(","scheduledby":"com.kestrovane.sollun","eventtype":"wakepoweron"},)" +
                  "\n  " + foreignEvent + "\n]\n");
    const auto users = otherUsers();
    ASSERT_GE(users.size(), 2u);
    const std::int64_t a = users[0], b = users[1];
    ASSERT_TRUE(startDaemon(log_));
    const auto alice = connectAs(bus_.address(), a), bob = connectAs(bus_.address(), b);
    ASSERT_TRUE(alice && bob);

    EXPECT_EQ(call(bob.get(), "ScheduleWakeAt", inTwo), "");
    EXPECT_EQ(productEvents(), (Events{{inTwo, b}})) << "the old event goes";
    EXPECT_EQ(call(alice.get(), "ScheduleWakeAt", inAnHour), "");
    EXPECT_EQ(productEvents(), (Events{{inTwo, b}, {inAnHour, a}}));
    if (simulated()) {
        EXPECT_EQ(armed(), inAnHour);
    }
    EXPECT_EQ(call(bob.get(), "ClearWake"), "");
    EXPECT_EQ(productEvents(), (Events{{inAnHour, a}}));
    EXPECT_EQ(call(bob.get(), "ScheduleWakeAt", inHalf), "");
    if (simulated()) {
        EXPECT_EQ(armed(), inHalf);
    }
    EXPECT_EQ(call(alice.get(), "ScheduleWakeAt", fromNow(-1h)), "") << "a past date clears";
    EXPECT_EQ(productEvents(), (Events{{inHalf, b}}));
    EXPECT_NE(store().find(foreignEvent), std::string::npos) << store();

    const std::string process = ", pid " + std::to_string(::getpid()) + ")";
    EXPECT_EQ(logged("(uid " + std::to_string(b) + process), 3);
    EXPECT_EQ(logged("(uid " + std::to_string(a) + process), 2);
    EXPECT_EQ(logged("Cleared wake (uid " + std::to_string(b) + process), 1);
    EXPECT_EQ(logged("Scheduled wake at "), 3);
}

TEST_F(DaemonCallers, WhatChangesNothingNeitherRewritesTheStoreNorLogs) {
    if (journalHere())
        GTEST_SKIP() << "the daemon would log to the journal here";
    ASSERT_TRUE(startDaemon(log_));
    const auto unchanged = [this](auto requests) {
        struct stat before = {};
        struct stat after = {};
        ::stat((state_ / "power-events.json").c_str(), &before);
        const std::string log = readFile(log_);
        requests();
        ::stat((state_ / "power-events.json").c_str(), &after);
        EXPECT_EQ(after.st_ino, before.st_ino) << "rewritten";
        EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec) << "rewritten";
        EXPECT_EQ(readFile(log_), log);
    };
    const auto wake = fromNow(1h);
    ASSERT_EQ(call(client(), "ScheduleWakeAt", wake), "");
    unchanged([&] {
        for (int i = 0; i < 5; ++i)
            EXPECT_EQ(call(client(), "ScheduleWakeAt", wake), "");
    });
    ASSERT_EQ(call(client(), "ClearWake"), "");
    unchanged([&] {
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(call(client(), "ClearWake"), "");
            EXPECT_EQ(call(client(), "ScheduleWakeAt", fromNow(-1h)), "");
        }
    });
    EXPECT_EQ(productEvents(), Events{});
}

// Changes sent as fast as a connection can: a burst goes through, the rest is refused until the
// user slows down, which the log says once. Questions are still answered, and another user's
// changes go through.
TEST_F(DaemonCallers, PastTheLimitOneUsersChangesAreRefusedAndThatLoggedOnce) {
    if (journalHere())
        GTEST_SKIP() << "the daemon would log to the journal here";
    ASSERT_TRUE(startDaemon(log_));
    // Admitted first: requests waiting for a new caller's verdicts have a limit of their own.
    ASSERT_EQ(call(client(), "GetVersion"), "1");
    constexpr int sent = 3 * daemon::RequestLimit::burst;
    Answers answers;
    const auto wake = fromNow(1h);
    const auto started = steady_clock::now();
    for (int i = 0; i < sent; ++i)
        ASSERT_GE(send(client(), "ScheduleWakeAt", wake + i, answers), 0);
    const auto allAnswered = [&] { return answers.size() == sent; };
    ASSERT_TRUE(pump(client(), allAnswered, daemonCallLimit));
    const double seconds = duration<double>(steady_clock::now() - started).count();

    const auto accepted = static_cast<int>(answers.count(""));
    const std::string burst = std::to_string(daemon::RequestLimit::burst);
    const std::string refusal = std::string(SD_BUS_ERROR_LIMITS_EXCEEDED) +
                                ": Too many requests: at most " + burst +
                                " at once and one a second";
    EXPECT_EQ(accepted + static_cast<int>(answers.count(refusal)), sent);
    EXPECT_GE(accepted, daemon::RequestLimit::burst);
    EXPECT_LE(accepted, daemon::RequestLimit::burst + 1 + static_cast<int>(seconds)) << seconds;
    EXPECT_EQ(logged("Scheduled wake at "), accepted);
    EXPECT_EQ(logged("Too many requests (uid " + std::to_string(::geteuid()) + ", pid " +
                     std::to_string(::getpid()) + "): more than " + burst +
                     " at once or one a second"),
              1);
    EXPECT_EQ(call(client(), "GetVersion"), "1");
    if (::geteuid() == 0) {
        const auto other = connectAs(bus_.address(), otherUsers().at(0));
        EXPECT_EQ(call(other.get(), "ScheduleWakeAt", wake), "");
    }
}

// polkit (python-dbusmock's stand-in, which refuses every action it was not told to allow) says
// no: every change is refused with its own error, questions still answered, nothing written. Its
// verdict holds for the connection; a new connection is asked anew.
TEST_F(DaemonCallers, APolkitRefusalIsKeptForTheConnectionAndANewOneAskedAgain) {
    const BackgroundProcess polkit{{"setpriv", "--pdeathsig=KILL", "/usr/bin/python3", "-m",
                                    "dbusmock", "--system", "-t", "polkitd"}};
    ASSERT_TRUE(waitForName(polkitName));
    ASSERT_TRUE(startDaemon(log_));
    const std::string refused =
        std::string(notAuthorizedError) + ": Not authorized to change the wake schedule";
    EXPECT_EQ(call(client(), "GetVersion"), "1");
    EXPECT_EQ(call(client(), "ScheduleWakeAt", fromNow(1h)), refused);
    EXPECT_EQ(call(client(), "ClearWake"), refused);
    EXPECT_FALSE(fs::exists(state_ / "power-events.json"));

    const auto allowed =
        runProcess({"busctl", "--address=" + bus_.address(), "call", polkitName,
                    "/org/freedesktop/PolicyKit1/Authority", "org.freedesktop.DBus.Mock",
                    "SetAllowed", "as", "1", daemon::scheduleAction});
    ASSERT_EQ(allowed.exitCode, 0) << allowed.output;
    EXPECT_EQ(call(client(), "ScheduleWakeAt", fromNow(1h)), refused);
    const auto next = connect(bus_.address());
    const auto wake = fromNow(2h);
    EXPECT_EQ(call(next.get(), "ScheduleWakeAt", wake), "");
    EXPECT_EQ(productEvents(), (Events{{wake, ::geteuid()}}));
}

// Its standard error a pipe whose reader has gone, and no journal: every line logged fails, and the
// daemon goes on.
TEST_F(DaemonCallers, ALogPipeNobodyReadsEndsNothing) {
    if (journalHere())
        GTEST_SKIP() << "the daemon would log to the journal here";
    const auto fifo = root_ / "log";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // Open while the daemon's end is opened, then gone.
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    const bool started = startDaemon(fifo);
    ::close(reader);
    ASSERT_TRUE(started);
    const pid_t pid = daemonPid(client());
    EXPECT_EQ(call(client(), "ScheduleWakeAt", fromNow(1h)), "");
    EXPECT_EQ(call(client(), "ClearWake"), "");
    EXPECT_EQ(call(client(), "GetVersion"), "1");
    EXPECT_EQ(daemonPid(client()), pid);
}

} // namespace
} // namespace sollun::test
