#include "shared/WakeHelperStatus.h"

#include "shared/AppGroup.h"
#include "shared/AtomicFile.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace sollun {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using State = WakeDaemonRegistrationState;

const Instant heartbeat{seconds{1'772'403'005}}; // 2026-03-01T22:10:05Z
const Instant wake{seconds{1'772'429'100}};      // 2026-03-02T05:25:00Z

TEST(WakeDaemonRegistrationState, OnlyTheFiveRawValuesHaveACaseButAnyServiceCodeMapsToOne) {
    for (const std::int64_t value : {INT64_MIN, std::int64_t{-2}, std::int64_t{4}, INT64_MAX}) {
        EXPECT_EQ(registrationStateFromRawValue(value), std::nullopt) << value;
        EXPECT_EQ(registrationStateFromServiceStatus(value), State::unknown) << value;
    }
    EXPECT_EQ(registrationStateFromRawValue(-1), State::unknown);
    EXPECT_EQ(registrationStateFromServiceStatus(-1), State::unknown);
    EXPECT_EQ(registrationStateFromRawValue(3), State::notFound);
    EXPECT_EQ(registrationStateFromServiceStatus(0), State::notRegistered);
}

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

TEST(WakeHelperStatusDecode, AcceptsWhatTheMainApplicationMayFind) {
    const WakeHelperStatus written{"3.1", 1, State::enabled, heartbeat, wake};
    EXPECT_EQ(decodeWakeHelperStatus(*encodeWakeHelperStatus(written)), written);

    const struct {
        const char* json;
        WakeHelperStatus expected;
    } cases[] = {
        {R"({"lastHeartbeat":"2026-03-01T23:10:05+01:00","daemonState":-1,"daemonVersion":7,)"
         R"("helperVersion":"","lastScheduledWake":null,"other":1})",
         {"", 7, State::unknown, heartbeat, std::nullopt}},
        {R"({"helperVersion":"3.1","daemonVersion":1,"daemonState":2,)"
         R"("lastHeartbeat":"2026-03-01T22:10:05.25Z"})",
         {"3.1", 1, State::requiresApproval, heartbeat + milliseconds{250}, std::nullopt}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(decodeWakeHelperStatus(c.json), c.expected) << c.json;
    }
}

TEST(WakeHelperStatusDecode, RejectsAMissingOrMistypedMemberWhole) {
    // The valid document with one member replaced; an empty replacement removes the member.
    const auto documentWith = [](const std::string& replacedKey, const std::string& replacement) {
        const std::pair<std::string, std::string> valid[] = {
            {"helperVersion", R"("3.1")"},
            {"daemonVersion", "1"},
            {"daemonState", "1"},
            {"lastHeartbeat", R"("2026-03-01T22:10:05Z")"},
            {"lastScheduledWake", R"("2026-03-02T05:25:00Z")"},
        };
        std::string json;
        for (const auto& [key, value] : valid) {
            const std::string& member = key == replacedKey ? replacement : value;
            if (!member.empty()) {
                json += (json.empty() ? "{\"" : ",\"") + key + "\":" + member;
            }
        }
        return json + "}";
    };
    ASSERT_TRUE(decodeWakeHelperStatus(documentWith("", "")));

    const struct {
        std::string key;
        std::vector<std::string> replacements;
    } cases[] = {
        {"helperVersion", {"", "null", "3.1"}},
        {"daemonVersion", {"", "null", R"("1")", "1.0"}},
        {"daemonState", {"", "null", "4", "-2", R"("enabled")"}},
        {"lastHeartbeat", {"", "null", R"("2026-03-01T22:10:05")"}},
        {"lastScheduledWake", {"5", R"("tomorrow")"}},
    };
    for (const auto& c : cases) {
        for (const auto& replacement : c.replacements) {
            const auto json = documentWith(c.key, replacement);
            EXPECT_EQ(decodeWakeHelperStatus(json), std::nullopt) << json;
        }
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

TEST_F(WriteHelperStatus, MissingContainerIsNotCreated) {
    EXPECT_FALSE(writeHelperStatus({"3.1", 1, State::enabled, heartbeat, std::nullopt}));
    EXPECT_FALSE(std::filesystem::exists(container));
}

TEST_F(WriteHelperStatus, NoContainerWritesNothingAnywhere) {
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

TEST_F(WriteHelperStatus, ReaderInAnotherProcessOnlySeesWholeDocuments) {
    ASSERT_TRUE(std::filesystem::create_directory(container));
    constexpr int writes = 2000;
    // Versions of varying length, so that a torn or mixed read could not pass for a whole one.
    const auto status = [](std::int64_t n) {
        return WakeHelperStatus{std::string(static_cast<std::size_t>(n % 37) * 40, 'v'), n,
                                State::enabled, heartbeat + seconds{n}, wake};
    };
    ASSERT_TRUE(writeHelperStatus(status(0)));

    const pid_t child = ::fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        // The child's own watchdog: if the last document never shows up, SIGALRM ends it.
        ::alarm(45);
        std::int64_t seen = 0;
        while (seen != writes) {
            const auto text = readSmallFile(file, 1 << 16);
            const auto read = text ? decodeWakeHelperStatus(*text) : std::nullopt;
            if (!read || read->daemonVersion < seen || *read != status(read->daemonVersion)) {
                ::_exit(1);
            }
            seen = read->daemonVersion;
        }
        ::_exit(0);
    }

    int failures = 0;
    for (int n = 1; n <= writes; ++n) {
        failures += writeHelperStatus(status(n)) ? 0 : 1;
    }
    int childStatus = 0;
    ASSERT_EQ(::waitpid(child, &childStatus, 0), child);
    EXPECT_EQ(failures, 0);
    EXPECT_TRUE(WIFEXITED(childStatus) && WEXITSTATUS(childStatus) == 0) << childStatus;
    EXPECT_EQ(test::directoryEntries(container), std::vector<std::string>{"helper-status.json"});
}

} // namespace
} // namespace sollun
