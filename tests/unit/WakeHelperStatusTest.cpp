#include "shared/WakeHelperStatus.h"

#include "shared/AppGroup.h"
#include "shared/AtomicFile.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace sollun {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using State = WakeDaemonRegistrationState;

const Instant heartbeat{seconds{1'772'403'005}}; // 2026-03-01T22:10:05Z
const Instant wake{seconds{1'772'429'100}};      // 2026-03-02T05:25:00Z

TEST(WakeHelperStatusEncode, WritesCompactJsonWithWholeSecondsAndNoNull) {
    const struct {
        WakeHelperStatus status;
        const char* expected;
    } cases[] = {
        {{"3.1", 1, State::enabled, heartbeat + milliseconds{999}, wake},
         R"({"helperVersion":"3.1","daemonVersion":1,"daemonState":1,)"
         R"("lastHeartbeat":"2026-03-01T22:10:05Z","lastScheduledWake":"2026-03-02T05:25:00Z"})"},
        {{"?", 0, State::unknown, heartbeat, std::nullopt},
         R"({"helperVersion":"?","daemonVersion":0,"daemonState":-1,)"
         R"("lastHeartbeat":"2026-03-01T22:10:05Z"})"},
        // Invalid UTF-8 in the version cannot stop the heartbeat; it is replaced, not thrown.
        {{"1.\xff", INT64_MIN, State::notFound, Instant{seconds{-1}}, std::nullopt},
         R"({"helperVersion":"1.)"
         "\xef\xbf\xbd"
         R"(","daemonVersion":-9223372036854775808,"daemonState":3,)"
         R"("lastHeartbeat":"1969-12-31T23:59:59Z"})"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(encodeWakeHelperStatus(c.status), c.expected);
    }
}

class WriteHelperStatus : public ::testing::Test {
protected:
    test::TempDir dir;
    test::ScopedEnvironmentVariable dataHome{"XDG_DATA_HOME", dir.path().string()};
    std::filesystem::path container = dir / appGroupIdentifier;
    std::filesystem::path file = container / helperStatusFileName;
};

TEST_F(WriteHelperStatus, ReplacesTheDocumentThroughANewDirectoryEntry) {
    ASSERT_TRUE(std::filesystem::create_directory(container));
    const WakeHelperStatus first{"3.1", 1, State::enabled, heartbeat + milliseconds{999}, wake};
    ASSERT_TRUE(writeHelperStatus(first));
    struct stat before {};
    ASSERT_EQ(::stat(file.c_str(), &before), 0);

    const WakeHelperStatus second{"3.1", 1, State::enabled, heartbeat + seconds{30}, std::nullopt};
    ASSERT_TRUE(writeHelperStatus(second));
    struct stat after {};
    ASSERT_EQ(::stat(file.c_str(), &after), 0);
    // A fresh inode is what the container watcher sees as a change, and proves a rename.
    EXPECT_NE(before.st_ino, after.st_ino);
    EXPECT_EQ(readSmallFile(file, 4096), encodeWakeHelperStatus(second));
    EXPECT_EQ(test::directoryEntries(container), std::vector<std::string>{"helper-status.json"});
}

TEST_F(WriteHelperStatus, NoContainerWritesNothingAnywhere) {
    EXPECT_FALSE(writeHelperStatus({"3.1", 1, State::enabled, heartbeat, std::nullopt}));
    EXPECT_FALSE(std::filesystem::exists(container)) << "a missing container is not made";
    // Relative values would resolve against the working directory, so make that one observable.
    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    const std::optional<std::string> homes[] = {"home", std::nullopt};
    for (const auto& home : homes) {
        test::ScopedEnvironmentVariable relativeData{"XDG_DATA_HOME", "data"};
        test::ScopedEnvironmentVariable relativeHome{"HOME", home};
        EXPECT_FALSE(writeHelperStatus({"3.1", 1, State::enabled, heartbeat, std::nullopt}));
    }
    std::filesystem::current_path(previous);
    EXPECT_TRUE(test::directoryEntries(dir.path()).empty());
}

} // namespace
} // namespace sollun
