// Faults under a running helper: the container's file system full, the system bus restarted.

#include "tests/integration/CoordinatorOnBuses.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace sollun::helper {
namespace {

// The container gets a tmpfs in a mount namespace of the test's own. unshare() needs a process
// of one thread, hence at load time, before GLib starts any.
const std::optional<std::string> privateMountsUnavailable = []() -> std::optional<std::string> {
    if (geteuid() != 0)
        return "mounting needs root";
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr))
        return std::strerror(errno);
    return std::nullopt;
}();

using HelperFaults = CoordinatorOnBuses;

TEST_F(HelperFaults, FullContainerLeavesTheStatusAsItWasUntilThereIsRoom) {
    if (privateMountsUnavailable)
        GTEST_SKIP() << *privateMountsUnavailable;
    ASSERT_EQ(mount("sollun-test", container.c_str(), "tmpfs", MS_NOSUID | MS_NODEV,
                    "size=64k,nr_inodes=64,mode=0700"),
              0)
        << std::strerror(errno);
    // Lazily: the coordinator still watches the directory.
    const struct Unmount {
        const std::filesystem::path& at;
        ~Unmount() { umount2(at.c_str(), MNT_DETACH); }
    } unmount{container};

    const auto now = std::chrono::ceil<std::chrono::seconds>(std::chrono::system_clock::now());
    std::int64_t revision = 1;
    startCoordinator();
    writeSchedule(revision, now + 1h);
    runUntilPublished(now + 1h);

    for (const bool inodes : {false, true}) {
        SCOPED_TRACE(inodes ? "no inodes left" : "no space left");
        const auto before = readAll(container / "helper-status.json");
        const Instant wake = now + std::chrono::hours(++revision);
        // Written before the filling: the helper's status write is the first to want room.
        writeSchedule(revision, wake);
        // One file takes the rest of the space, or empty files the rest of the inodes.
        for (int n = 0;; ++n) {
            const int fd = open((container / ("filler-" + std::to_string(n))).c_str(),
                                O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
            if (fd < 0)
                break;
            const std::string block(4096, 'x');
            while (!inodes && write(fd, block.data(), block.size()) > 0) {
            }
            close(fd);
            if (!inodes)
                break;
        }
        runUntil([&] { return coordinator->lastScheduledWake() == wake; });
        EXPECT_TRUE(storeHas(wake)) << store();
        EXPECT_EQ(readAll(container / "helper-status.json"), before);
        auto names = test::directoryEntries(container);
        const auto fillers = std::ranges::stable_partition(
            names, [](const std::string& name) { return !name.starts_with("filler-"); });
        for (const auto& filler : fillers)
            std::filesystem::remove(container / filler);
        names.erase(fillers.begin(), fillers.end());
        EXPECT_EQ(names, (std::vector<std::string>{"helper-status.json", "wake-schedule.json"}));

        const Instant next = now + std::chrono::hours(++revision);
        writeSchedule(revision, next);
        runUntilPublished(next);
    }
}

TEST_F(HelperFaults, SystemBusRestartedUnderTheHelper) {
    const auto now = std::chrono::ceil<std::chrono::seconds>(std::chrono::system_clock::now());
    startCoordinator();
    writeSchedule(1, now + 1h);
    runUntilPublished(now + 1h);

    systemBus.kill();
    runUntil([&] { return !coordinator->daemon().connection(); });

    // Renamed in from outside the container, so that the helper hears of it once: no other
    // reconciliation may find the new bus before this one.
    const auto next = data / "wake-schedule.next";
    ASSERT_FALSE(writeFileAtomically(next, *encodeWakeSchedule({now + 2h, now + 3h, 2, {}})));
    systemBus.restart();
    std::filesystem::rename(next, container / "wake-schedule.json");
    runUntilPublished(now + 2h);
    EXPECT_TRUE(storeHas(now + 2h)) << store();
}

} // namespace
} // namespace sollun::helper
