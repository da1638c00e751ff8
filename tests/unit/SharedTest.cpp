#include "shared/AppGroup.h"
#include "shared/AtomicFile.h"
#include "shared/ProductIdentities.h"
#include "shared/ProductNames.h"
#include "shared/Requirement.h"
#include "shared/Rfc3339.h"
#include "shared/WakeHelperStatus.h"
#include "shared/WakeSchedule.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace sollun {
namespace {

using namespace std::chrono_literals;
using std::chrono::seconds;
using State = WakeDaemonRegistrationState;
using namespace trust;

Instant at(std::int64_t wholeSeconds, std::int64_t micros = 0) {
    return Instant{seconds{wholeSeconds}} + std::chrono::microseconds{micros};
}
constexpr std::int64_t wakeSeconds = 1'772'429'100;
const Instant wakeAt = at(wakeSeconds);      // 2026-03-02T05:25:00Z
const Instant alarmAt = wakeAt + 5min;       // 2026-03-02T05:30:00Z
const Instant heartbeat = at(1'772'403'005); // 2026-03-01T22:10:05Z

// The strict profile: the shape exactly, fields in range, every year from 0000 to 9999, and a
// fraction of any length, kept to the microsecond.
TEST(Rfc3339, ParsesTheProfileExactlyAndNothingElse) {
    const std::pair<const char*, Instant> valid[] = {
        {"2026-03-02T05:25:00Z", wakeAt},
        {"2026-03-01T23:55:00-05:30", wakeAt},
        {"2026-03-02T05:25:00.123456789012+01:00", at(wakeSeconds - 3600, 123'456)},
        {"2000-02-29T00:00:00Z", at(951'782'400)},
        {"1969-12-31T23:59:59.5Z", at(-1, 500'000)},
        {"2262-04-11T23:47:16.854775808Z", at(9'223'372'036, 854'775)}, // nanoseconds' end
        {"0001-01-01T00:00:00Z", at(-62'135'596'800)}, // what date libraries call the distant past
        {"4001-01-01T00:00:00Z", at(64'092'211'200)},  // and the distant future
        {"9999-12-31T23:59:59Z", at(253'402'300'799)},
        {"0000-01-01T00:59:59+01:00", rfc3339::earliest}, // in UTC a year the text has not
        {"9999-12-31T23:00:00.5-01:00", rfc3339::latest},
    };
    for (const auto& [text, expected] : valid)
        EXPECT_EQ(rfc3339::parse(text), expected) << text;
    for (const char* text :
         {"2026-03-02T05:25:00", "2026-3-02T05:25:00Z", "2026-03-02t05:25:00Z",
          "2026-03-02T05:25:00z", " 2026-03-02T05:25:00Z", "2026-02-29T00:00:00Z",
          "1900-02-29T00:00:00Z", "2026-03-02T24:00:00Z", "2026-12-31T23:59:60Z",
          "2026-03-02T05:25:00.Z", "2026-03-02T05:25:00.5.5Z", "2026-03-02T05:25:00+0200",
          "2026-03-02T05:25:00+24:00", "2026-03-02T05:25:00+02:00Z", "10000-01-01T00:00:00Z",
          "-001-01-01T00:00:00Z"})
        EXPECT_EQ(rfc3339::parse(text), std::nullopt) << text;
    // Written back for the whole range, and nothing beyond it, however far.
    const std::pair<Instant, std::optional<std::string>> written[] = {
        {rfc3339::earliest, "0000-01-01T00:00:00Z"},
        {rfc3339::latest, "9999-12-31T23:59:59Z"},
        {at(64'092'211'200), "4001-01-01T00:00:00Z"},
        {rfc3339::earliest - 1us, std::nullopt},
        {rfc3339::latest + 1us, std::nullopt},
        {wakeAt + std::chrono::years{65'536}, std::nullopt}, // not as the year 2026 again
    };
    for (const auto& [instant, text] : written)
        EXPECT_EQ(rfc3339::format(instant), text) << instant.time_since_epoch().count();
    // A date embedded in a larger buffer is read only as far as the view goes.
    EXPECT_EQ(rfc3339::parse(std::string_view{"2026-03-02T05:25:00Z0", 20}), wakeAt);
}

// Round trips and arbitrary input are the fuzzer's; here, what the main application may write.
TEST(WakeSchedule, DecodesWhatTheMainApplicationWritesAndRefusesAnyOtherDocumentWhole) {
    const std::pair<std::string, WakeSchedule> cases[] = {
        {R"({"wakeDate":"2026-03-02T05:25:00Z","alarmDate":"2026-03-02T05:30:00Z",)"
         R"("revision":42,"writerVersion":"3.1"})",
         WakeSchedule{wakeAt, alarmAt, 42, "3.1"}},
        {R"({"wakeDate":null,"revision":-9223372036854775808,"writerVersion":null})",
         WakeSchedule{{}, {}, INT64_MIN, {}}},
        // Offsets, and unknown keys (differently cased known ones among them) ignored.
        {R"({"revision":2,"wakeDate":"2026-03-02T07:25:00+02:00","WakeDate":"soon","x":[1]})",
         WakeSchedule{wakeAt, {}, 2, {}}},
    };
    for (const auto& [json, expected] : cases)
        EXPECT_EQ(decodeWakeSchedule(json), expected) << json;
    for (const char* json :
         {"null", R"({"revision":1}{"revision":2})", "{}", R"({"revision":"42"})",
          R"({"revision":42.0})", R"({"revision":9223372036854775808})",
          R"({"revision":1,"wakeDate":"2026-03-02T05:25:00"})",
          R"({"revision":1,"alarmDate":1772429100})"})
        EXPECT_EQ(decodeWakeSchedule(json), std::nullopt) << json;
}

// The parser takes a NUL byte for the end of its input; either reader must see what follows.
TEST(SharedDocuments, AllowOnlyWhitespaceAfterTheirObject) {
    const std::string schedule = R"({"revision":7})";
    const std::string status = R"({"helperVersion":"3.1","daemonVersion":1,"daemonState":1,)"
                               R"("lastHeartbeat":"2026-03-01T22:10:05Z"})";
    using namespace std::string_literals;
    for (const auto& tail : {""s, " \t\r\n"s, "\0"s, "\0garbage"s, " \0 }"s, " x"s}) {
        const bool valid = tail.find_first_not_of(" \t\r\n") == std::string::npos;
        EXPECT_EQ(decodeWakeSchedule(schedule + tail).has_value(), valid) << tail.size();
        EXPECT_EQ(decodeWakeHelperStatus(status + tail).has_value(), valid) << tail.size();
    }
}

TEST(WakeSchedule, ReadsRegularFilesUpToTheSizeLimitOnly) {
    test::TempDir dir;
    const auto path = dir / wakeScheduleFileName;
    EXPECT_EQ(readWakeSchedule(path), std::nullopt);
    // Trailing whitespace keeps the document valid at any size.
    std::string json = R"({"revision":7})";
    json.resize(wakeScheduleSizeLimit, ' ');
    test::writeFile(path, json);
    EXPECT_EQ(readWakeSchedule(path), (WakeSchedule{{}, {}, 7, {}}));
    test::writeFile(path, json + ' ');
    EXPECT_EQ(readWakeSchedule(path), std::nullopt);

    std::filesystem::remove(path);
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    // Should opening the FIFO wait for a writer after all, SIGALRM ends the run instead.
    ::alarm(10);
    EXPECT_EQ(readWakeSchedule(path), std::nullopt);
    ::alarm(0);
}

TEST(WakeHelperStatus, EncodesWholeSecondsWithoutNullAndReplacesInvalidUtf8) {
    EXPECT_EQ(
        encodeWakeHelperStatus({"3.1", 1, State::enabled, heartbeat + 999ms, wakeAt}),
        R"({"helperVersion":"3.1","daemonVersion":1,"daemonState":1,)"
        R"("lastHeartbeat":"2026-03-01T22:10:05Z","lastScheduledWake":"2026-03-02T05:25:00Z"})");
    // Invalid UTF-8 in the version cannot stop the heartbeat.
    EXPECT_EQ(encodeWakeHelperStatus({"1.\xff", 0, State::unknown, heartbeat, std::nullopt}),
              "{\"helperVersion\":\"1.\xef\xbf\xbd\",\"daemonVersion\":0,\"daemonState\":-1,"
              R"("lastHeartbeat":"2026-03-01T22:10:05Z"})");
}

TEST(WakeHelperStatus, WritesOnlyIntoAnExistingContainerThroughANewDirectoryEntry) {
    test::TempDir dir;
    test::ScopedEnvironmentVariable dataHome{"XDG_DATA_HOME", dir.path().string()};
    const auto container = dir / appGroupIdentifier;
    const auto file = container / helperStatusFileName;
    const WakeHelperStatus first{"3.1", 1, State::enabled, heartbeat, wakeAt};
    EXPECT_FALSE(writeHelperStatus(first));
    EXPECT_FALSE(std::filesystem::exists(container)) << "a missing container is not made";

    ASSERT_TRUE(std::filesystem::create_directory(container));
    ASSERT_TRUE(writeHelperStatus(first));
    struct stat before = {};
    ASSERT_EQ(::stat(file.c_str(), &before), 0);
    const WakeHelperStatus second{"3.1", 1, State::enabled, heartbeat + 30s, std::nullopt};
    ASSERT_TRUE(writeHelperStatus(second));
    struct stat after = {};
    ASSERT_EQ(::stat(file.c_str(), &after), 0);
    // A fresh inode is what the container watcher sees as a change, and proves a rename.
    EXPECT_NE(before.st_ino, after.st_ino);
    EXPECT_EQ(readSmallFile(file, 4096), encodeWakeHelperStatus(second));
    EXPECT_EQ(test::directoryEntries(container), std::vector<std::string>{"helper-status.json"});
}

constexpr gid_t helperGroup = 1001, appGroup = 1002, daemonGroup = 1003, otherGroup = 1004;

IdentityTable productLikeTable() {
    const std::string team{signingTeamIdentifier};
    return IdentityTable{{
        {std::string{helperIdentifier}, team, helperGroup, std::nullopt},
        {std::string{mainAppIdentifier}, team, appGroup, std::nullopt},
        {std::string{daemonIdentifier}, team, daemonGroup, uid_t{0}},
        {"org.example.other", "OTHERTEAM1", otherGroup, std::nullopt},
    }};
}

// Credentials the bus attested, or (`attested` false) ones read from /proc, which prove nothing.
PeerCredentials peer(std::optional<uid_t> uid, std::optional<gid_t> gid,
                     std::vector<gid_t> supplementary = {}, bool attested = true) {
    return {uid, 4242, gid, std::move(supplementary), attested};
}

TEST(RequirementTexts, AdmitOnlyTheProductsOwnPeers) {
    const std::string daemon = daemonRequirementText(), client = clientRequirementText();
    const struct {
        const std::string& requirement;
        const char* what;
        PeerCredentials peer;
        bool admitted;
    } cases[] = {
        {daemon, "helper, primary group", peer(1000, helperGroup), true},
        {daemon, "main app, supplementary group", peer(1000, 100, {27, appGroup}), true},
        {daemon, "helper without a reported uid", peer(std::nullopt, helperGroup), true},
        {daemon, "helper read from /proc", peer(1000, helperGroup, {}, false), false},
        {daemon, "neither group", peer(1000, 100, {27, 44}), false},
        {daemon, "daemon group only, as root", peer(0, daemonGroup), false},
        {daemon, "other vendor's group", peer(1000, otherGroup), false},
        {daemon, "no groups reported", peer(1000, std::nullopt), false},
        {client, "root, daemon group supplementary", peer(0, 0, {daemonGroup}), true},
        {client, "daemon group, another uid", peer(1000, daemonGroup), false},
        {client, "daemon group, no uid reported", peer(std::nullopt, daemonGroup), false},
        {client, "root without the group", peer(0, 0, {helperGroup}), false},
        {client, "root, daemon group, from /proc", peer(0, daemonGroup, {}, false), false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(satisfies(c.requirement, c.peer, productLikeTable()), c.admitted) << c.what;
}

TEST(Requirement, FailsClosed) {
    const PeerCredentials root = peer(0, daemonGroup, {helperGroup, appGroup});
    EXPECT_FALSE(evaluate(Requirement{}, root, productLikeTable()));
    for (const auto& text : {daemonRequirementText(), clientRequirementText()})
        EXPECT_FALSE(satisfies(text, root, IdentityTable{})) << "an empty table admits nobody";
    using namespace std::string_literals;
    for (const auto& text :
         {""s, "anchor generic"s, "Identifier x"s, "identifier"s, "identifier == x"s,
          R"(identifier "x)"s, "identifier x y"s, "identifier x\0"s, "(identifier x"s, "()"s,
          "identifier x and"s, "identifier x && identifier y"s, "not"s,
          "certificate leaf[subject.O] = x"s, "info [x] = y"s}) {
        EXPECT_FALSE(parseRequirement(text)) << text;
        EXPECT_FALSE(satisfies(text, root, productLikeTable())) << text;
    }
}

} // namespace
} // namespace sollun
