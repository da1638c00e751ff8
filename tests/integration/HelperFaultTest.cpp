// Faults under a running helper, with every real part around it: the container's file system full
// when the status is written, and the system bus killed and started again.

#include "tests/integration/CoordinatorOnBuses.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <utility>

namespace sollun::helper {
namespace {

using namespace std::chrono_literals;

// The container gets a small file system of its own, mounted in a mount namespace of the test
// process's own so that nothing outside sees it. A process can only move to a new mount namespace
// while it has a single thread, so this happens before any test runs (GLib starts threads).
class PrivateMounts : public ::testing::Environment {
public:
    void SetUp() override {
        // Once: a repeated run finds threads, and its namespace already private.
        if (std::exchange(entered, true))
            return;
        if (geteuid() != 0) {
            unavailable = "mounting needs root";
        } else if (unshare(CLONE_NEWNS) != 0) {
            unavailable = std::string("unshare: ") + std::strerror(errno);
        } else if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            unavailable = std::string("making / private: ") + std::strerror(errno);
        }
    }

    std::optional<std::string> unavailable;

private:
    bool entered = false;
};

PrivateMounts* const privateMounts = static_cast<PrivateMounts*>(
    ::testing::AddGlobalTestEnvironment(new PrivateMounts)); // NOLINT: owned by googletest

// The gauge that runs out first on the container's file system.
enum class Exhausted { space, inodes };

const char* nameOf(Exhausted exhausted) {
    return exhausted == Exhausted::space ? "NoSpace" : "NoInodes";
}

void PrintTo(Exhausted exhausted, std::ostream* out) {
    *out << nameOf(exhausted);
}

class FullContainer : public CoordinatorOnBuses, public ::testing::WithParamInterface<Exhausted> {
protected:
    void SetUp() override {
        if (privateMounts->unavailable)
            GTEST_SKIP() << *privateMounts->unavailable;
        std::filesystem::create_directories(container);
        const char* options = GetParam() == Exhausted::space ? "size=64k,nr_inodes=1024,mode=0700"
                                                             : "size=1m,nr_inodes=32,mode=0700";
        ASSERT_EQ(mount("sollun-test", container.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options),
                  0)
            << std::strerror(errno);
        mounted = true;
        CoordinatorOnBuses::SetUp();
    }

    void TearDown() override {
        CoordinatorOnBuses::TearDown();
        // Lazily: the coordinator still watches the directory.
        if (mounted)
            umount2(container.c_str(), MNT_DETACH);
    }

    // Takes what is left of the gauge, in files named "filler-<n>".
    void fill() {
        for (int n = 0;; ++n) {
            const auto path = container / ("filler-" + std::to_string(n));
            const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
            if (fd < 0) {
                ASSERT_EQ(errno, ENOSPC) << std::strerror(errno);
                return;
            }
            fillers.push_back(path);
            const std::string block(4096, 'x');
            while (GetParam() == Exhausted::space && write(fd, block.data(), block.size()) > 0) {
            }
            const int error = errno;
            close(fd);
            if (GetParam() == Exhausted::space) {
                ASSERT_EQ(error, ENOSPC) << std::strerror(error);
                return;
            }
        }
    }

    void freeUp() {
        for (const auto& path : fillers)
            std::filesystem::remove(path);
        fillers.clear();
    }

    // The container's names other than the fillers'.
    std::vector<std::string> entries() {
        auto names = test::directoryEntries(container);
        std::erase_if(names, [](const std::string& name) { return name.starts_with("filler-"); });
        return names;
    }

    bool mounted = false;
    std::vector<std::filesystem::path> fillers;
};

TEST_P(FullContainer, StatusWriteFailsWithoutHarmAndResumesOnceThereIsRoom) {
    const auto now = std::chrono::ceil<std::chrono::seconds>(std::chrono::system_clock::now());
    const Instant first = now + 1h;
    const Instant second = now + 2h;
    const Instant third = now + 3h;

    startCoordinator();
    writeSchedule(1, first);
    runUntilPublished(first);
    const auto before = readAll(container / "helper-status.json");

    // The next schedule, then the file system filled before the loop runs again: the helper
    // reads the schedule, and its status write is the first to need room.
    writeSchedule(2, second);
    fill();
    ASSERT_EQ(writeFileAtomically(container / "probe", "{}"),
              std::make_error_code(std::errc::no_space_on_device));

    // The daemon's answer is kept, and published at once: the write is over when the posted
    // exit runs.
    auto answered = coordinator->observe([&](std::string_view field) {
        if (field == "lastScheduledWake" && coordinator->lastScheduledWake() == second)
            loop.post([&] { loop.exit(0); });
    });
    ASSERT_EQ(test::runWithWatchdog(loop, 15s), 0);
    answered.reset();

    EXPECT_TRUE(storeHas(second)) << store();
    EXPECT_EQ(readAll(container / "helper-status.json"), before);
    EXPECT_EQ(entries(), (std::vector<std::string>{"helper-status.json", "wake-schedule.json"}));

    // Room again: the next schedule is published as usual.
    freeUp();
    writeSchedule(3, third);
    runUntilPublished(third);
    EXPECT_TRUE(storeHas(third)) << store();
    EXPECT_EQ(entries(), (std::vector<std::string>{"helper-status.json", "wake-schedule.json"}));
}

INSTANTIATE_TEST_SUITE_P(HelperFaults, FullContainer,
                         ::testing::Values(Exhausted::space, Exhausted::inodes),
                         [](const ::testing::TestParamInfo<Exhausted>& param) {
                             return nameOf(param.param);
                         });

// Waits for `pid`, which need not be a child, to end.
bool ended(pid_t pid, std::chrono::milliseconds limit) {
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (pidfd < 0)
        return errno == ESRCH;
    pollfd ready{pidfd, POLLIN, 0};
    const bool done = poll(&ready, 1, static_cast<int>(limit.count())) == 1;
    close(pidfd);
    return done;
}

using HelperFaults = CoordinatorOnBuses;

TEST_F(HelperFaults, SystemBusRestartedUnderTheHelper) {
    const auto now = std::chrono::ceil<std::chrono::seconds>(std::chrono::system_clock::now());
    const Instant first = now + 1h;
    const Instant second = now + 2h;

    startCoordinator();
    writeSchedule(1, first);
    runUntilPublished(first);
    ASSERT_TRUE(storeHas(first)) << store();

    const auto owner =
        test::runProcess({"busctl", "--address=" + systemBus->address(), "call",
                          "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                          "GetConnectionUnixProcessID", "s", daemonName});
    ASSERT_EQ(owner.exitCode, 0) << owner.output;
    const pid_t daemonPid = std::stoi(owner.output.substr(owner.output.find(' ') + 1));

    // The daemon and logind's stand-in end with their bus; the helper hears its connection go.
    systemBus->kill();
    EXPECT_TRUE(ended(daemonPid, 10s));
    logind->waitForExit(10s);
    EXPECT_NE(::kill(logind->pid(), 0), 0) << "logind's stand-in outlived its bus";
    auto dropped = coordinator->daemon().observe([&](std::string_view field) {
        if (field == "connection" && !coordinator->daemon().connection())
            loop.exit(0);
    });
    ASSERT_EQ(test::runWithWatchdog(loop, 15s), 0);
    dropped.reset();

    // A new bus on the same socket, and the next schedule: the daemon is started again and takes
    // it. The schedule is moved in from outside the container, so that the helper hears of it
    // exactly once: nothing but this one reconciliation gets to find the bus changed.
    const auto next = data / "wake-schedule.next";
    ASSERT_FALSE(writeFileAtomically(next, *encodeWakeSchedule({second, second + 5min, 2, {}})));
    systemBus->restart();
    const auto restarted = std::chrono::steady_clock::now();
    std::filesystem::rename(next, container / "wake-schedule.json");
    runUntilPublished(second);
    std::cout << "published over the new bus after "
              << std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() -
                                                           restarted)
                     .count()
              << " ms\n";
    EXPECT_TRUE(storeHas(second)) << store();
    const auto published = status();
    ASSERT_TRUE(published);
    EXPECT_EQ(published->daemonState, WakeDaemonRegistrationState::enabled);
}

} // namespace
} // namespace sollun::helper
