// The real daemon and its callers: several users through the one program, the bus policy the
// package ships and polkit's say over each caller, the limit on one user's changes, the whole range
// of instants the protocol carries, what the daemon logs of its callers, and a log that nobody
// reads any more. Where the log is read, the test starts the daemon itself on the private system
// bus, rather than having the bus activate it, so that its standard error is the test's.

#include "SollunWakeDaemon/PolkitCheck.h"
#include "SollunWakeDaemon/RequestLimit.h"
#include "tests/support/DaemonOnPrivateBus.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <limits>

namespace sollun::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono;
using namespace wake_daemon_protocol;

const std::string foreignEvent =
    R"({"time":"2030-01-01T07:00:00Z","scheduledby":"com.example.clock","eventtype":"wake"})";

int occurrences(const std::string& text, const std::string& part) {
    int count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

class DaemonCallers : public DaemonOnPrivateBus {
protected:
    DaemonCallers() { startBus(); }

    // Without the journal's socket the daemon logs to its standard error.
    bool logsToJournal() const { return ::access("/run/systemd/journal/socket", W_OK) == 0; }
    std::string log() const { return readFile(log_); }

    const fs::path log_ = root_ / "daemon.log";
};

// Two users' helpers: each keeps its own wake beside the other's, a request replaces only the
// caller's own events (and, the first time, the product's event stored before events carried a
// user), the hardware follows the earliest of all, and each change is logged with its user and
// process; what changes nothing is neither written nor logged.
TEST_F(DaemonCallers, TwoUsersKeepTheirOwnWakesAndTheEarliestIsArmed) {
    const auto users = otherUsers();
    if (::geteuid() != 0 || users.size() < 2 || logsToJournal())
        GTEST_SKIP() << "needs root, two accounts besides it and no journal (as CI has)";
    const std::uint32_t a = users[0], b = users[1];
    const auto inHalf = fromNow(30min), inAnHour = fromNow(1h), inTwo = fromNow(2h);
    writeFile(state_ / "power-events.json",
              "[\n  " + foreignEvent + ",\n  " + storedEvent(fromNow(3h), std::nullopt) + "\n]\n");
    ASSERT_TRUE(startDaemon(log_));
    const auto alice = connectAs(bus_->address(), a), bob = connectAs(bus_->address(), b);
    ASSERT_TRUE(alice && bob);
    const auto armed = [this] { return readFile(state_ / "simulated-wake"); };

    EXPECT_EQ(call(bob.get(), "ScheduleWakeAt", inTwo), "");
    EXPECT_EQ(call(alice.get(), "ScheduleWakeAt", inAnHour), "");
    EXPECT_EQ(store(), "[\n  " + foreignEvent + ",\n  " + storedEvent(inTwo, b) + ",\n  " +
                           storedEvent(inAnHour, a) + "\n]\n");
    if (fs::exists(state_ / "simulated-wake")) {
        EXPECT_EQ(armed(), daemon::formatStoredTime(Instant{microseconds(inAnHour)}));
    }
    // What changes nothing neither rewrites the store nor logs.
    const auto identity = [this] {
        struct stat status = {};
        ::stat((state_ / "power-events.json").c_str(), &status);
        return std::pair(status.st_ino, status.st_mtim.tv_nsec);
    };
    const auto before = identity();
    const std::string logged = log();
    EXPECT_EQ(call(alice.get(), "ScheduleWakeAt", inAnHour), "");
    EXPECT_EQ(call(alice.get(), "ScheduleWakeAt", inAnHour), "");
    EXPECT_EQ(identity(), before);
    EXPECT_EQ(log(), logged);
    EXPECT_EQ(call(bob.get(), "ClearWake"), "");
    EXPECT_EQ(call(bob.get(), "ScheduleWakeAt", inHalf), "");
    EXPECT_EQ(call(alice.get(), "ScheduleWakeAt", fromNow(-1h)), "") << "a past date clears";
    EXPECT_EQ(store(), "[\n  " + foreignEvent + ",\n  " + storedEvent(inHalf, b) + "\n]\n");
    const std::string cleared = log();
    EXPECT_EQ(call(alice.get(), "ClearWake"), "");
    EXPECT_EQ(log(), cleared);

    const std::string process = ", pid " + std::to_string(::getpid()) + ")";
    EXPECT_EQ(occurrences(log(), "(uid " + std::to_string(b) + process), 3);
    EXPECT_EQ(occurrences(log(), "Cleared wake (uid " + std::to_string(b) + process), 1);
    EXPECT_EQ(occurrences(log(), "(uid " + std::to_string(a) + process), 2);
}

// Changes sent as fast as a connection can: a burst goes through, the rest is refused until the
// user slows down, which the log says once. Questions are still answered.
TEST_F(DaemonCallers, PastTheLimitOneUsersChangesAreRefusedAndThatLoggedOnce) {
    if (logsToJournal())
        GTEST_SKIP() << "the daemon would log to the journal here";
    ASSERT_TRUE(startDaemon(log_));
    // Admitted first: requests waiting for a new caller's verdicts have a limit of their own.
    ASSERT_EQ(call(client(), "GetVersion"), "1");
    constexpr int sent = 3 * daemon::RequestLimit::burst;
    Answers answers;
    const auto started = steady_clock::now();
    for (int i = 0; i < sent; ++i)
        ASSERT_GE(send(client(), "ScheduleWakeAt", fromNow(1h) + i, answers), 0);
    const auto allAnswered = [&] { return answers.size() == sent; };
    ASSERT_TRUE(pump(client(), allAnswered, daemonCallLimit));
    const auto seconds = duration_cast<std::chrono::seconds>(steady_clock::now() - started);

    const auto accepted = static_cast<int>(answers.count(""));
    EXPECT_EQ(static_cast<int>(answers.count(SD_BUS_ERROR_LIMITS_EXCEEDED
                                             ": Too many requests: at most 20 at once and one "
                                             "a second")),
              sent - accepted);
    EXPECT_GE(accepted, daemon::RequestLimit::burst);
    EXPECT_LE(accepted, daemon::RequestLimit::burst + 1 + seconds.count());
    EXPECT_EQ(occurrences(log(), "Scheduled wake at "), accepted);
    EXPECT_EQ(occurrences(log(), "Too many requests (uid "), 1);
    EXPECT_EQ(call(client(), "GetVersion"), "1");
}

// polkit (python-dbusmock's stand-in, which refuses every action it was not told to allow) says
// no: every change is refused with its own error, questions still answered, nothing written. Its
// verdict holds for the connection; a new connection is asked anew.
TEST_F(DaemonCallers, APolkitRefusalIsKeptForTheConnectionAndANewOneAskedAgain) {
    const auto polkit = startSystemMock(*bus_, "polkitd", "org.freedesktop.PolicyKit1");
    ASSERT_TRUE(polkit);
    ASSERT_TRUE(startDaemon(log_));
    const std::string refused =
        std::string(notAuthorizedError) + ": Not authorized to change the wake schedule";
    EXPECT_EQ(call(client(), "GetVersion"), "1");
    EXPECT_EQ(call(client(), "ScheduleWakeAt", fromNow(1h)), refused);
    EXPECT_EQ(call(client(), "ClearWake"), refused);
    EXPECT_FALSE(fs::exists(state_ / "power-events.json"));

    const auto allowed = bus_->busctl(
        {"call", "org.freedesktop.PolicyKit1", "/org/freedesktop/PolicyKit1/Authority",
         "org.freedesktop.DBus.Mock", "SetAllowed", "as", "1", daemon::scheduleAction});
    ASSERT_EQ(allowed.exitCode, 0) << allowed.output;
    EXPECT_EQ(call(client(), "ScheduleWakeAt", fromNow(1h)), refused);
    const auto wake = fromNow(2h);
    EXPECT_EQ(call(connect(bus_->address()).get(), "ScheduleWakeAt", wake), "");
    EXPECT_EQ(store(), "[\n  " + storedEvent(wake, ::geteuid()) + "\n]\n");
}

// Its standard error a pipe whose reader has gone, and no journal: every line logged fails, and the
// daemon goes on.
TEST_F(DaemonCallers, ALogPipeNobodyReadsEndsNothing) {
    if (logsToJournal())
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
    EXPECT_EQ(daemonPid(client()), pid);
}

// Activated by the bus: the latest instant is stored as the last one the store can write; the
// earliest only clears.
TEST_F(DaemonCallers, TakesEveryInstantTheProtocolCarries) {
    using Limits = std::numeric_limits<std::int64_t>;
    EXPECT_EQ(call(client(), "ScheduleWakeAt", Limits::max()), "");
    EXPECT_NE(store().find(R"("time":"9999-12-31T23:59:59.999999Z")"), std::string::npos)
        << store();
    EXPECT_EQ(call(client(), "ScheduleWakeAt", Limits::min()), "");
    EXPECT_EQ(store(), "[]\n");
}

using ShippedBusPolicy = DaemonOnPrivateBus;

TEST_F(ShippedBusPolicy, LetsOnlyRootOwnTheNameAndOnlyTheProductCallIt) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to call as another user (CI runs as root)";
    startBus(PrivateBus::Policy::system, {SOLLUN_BUS_POLICY});
    const auto stranger = connectAs(bus_->address(), 65534, 65534);
    ASSERT_TRUE(stranger);
    EXPECT_TRUE(call(stranger.get(), "GetVersion").starts_with(SD_BUS_ERROR_ACCESS_DENIED ": "));
    EXPECT_EQ(daemonPid(client()), -1) << "refused by the bus itself, before activation";
    EXPECT_EQ(call(client(), "GetVersion"), "1");
    EXPECT_EQ(sd_bus_request_name(stranger.get(), busName, 0), -EACCES);
}

} // namespace
} // namespace sollun::test
