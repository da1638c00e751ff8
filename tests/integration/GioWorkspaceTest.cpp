// The workspace against real desktop entries, the stand-in application and a private session bus.
//
// GLib reads where the XDG directories are once per process, and GIO's index of entries and
// default handlers follows changes on disk with a delay. So these tests share one desktop tree,
// set up before GIO first looks, whose default handler for sollun: URLs never changes; each test
// installs the main application's entry itself, which the workspace reads without GIO's index.
// Run in one process with other suites, they expect to be the first to use GIO.

#include "SollunHelper/linux/GioWorkspace.h"

#include "tests/support/PrivateBus.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>
#include <systemd/sd-bus.h>

#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

namespace sollun::helper {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::BackgroundProcess;
using test::PrivateBus;
using test::ScopedEnvironmentVariable;
using test::TempDir;
using test::writeFile;

constexpr const char* appId = "com.kestrovane.sollun";
constexpr auto waitLimit = 10s;

std::string readText(const fs::path& path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), {}};
}

std::string entryText(const std::string& program, const fs::path& record,
                      const std::string& extraLines = {}) {
    std::string text = readText(SOLLUN_STUB_DESKTOP_TEMPLATE);
    text.replace(text.find("@PROGRAM@"), 9, program);
    text.replace(text.find("@RECORD@"), 8, record.string());
    return text + extraLines;
}

struct Launch {
    pid_t pid = -1;
    std::vector<std::string> arguments;
};

std::vector<Launch> launchesIn(const fs::path& record) {
    std::vector<Launch> launches;
    std::istringstream lines(readText(record));
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string word;
        if (!(words >> word) || word != "launched")
            continue;
        auto& launch = launches.emplace_back();
        words >> launch.pid;
        while (words >> word)
            launch.arguments.push_back(word);
    }
    return launches;
}

// The record's launches once there are `count`, or those there are after the limit.
std::vector<Launch> waitForLaunches(const fs::path& record, std::size_t count) {
    const int watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    inotify_add_watch(watch, record.parent_path().c_str(), IN_CLOSE_WRITE | IN_MODIFY);
    const auto deadline = std::chrono::steady_clock::now() + waitLimit;
    auto launches = launchesIn(record);
    for (char events[4096]; launches.size() < count; launches = launchesIn(record)) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd ready{watch, POLLIN, 0};
        if (left <= 0ms || poll(&ready, 1, static_cast<int>(left.count())) <= 0)
            break;
        while (read(watch, events, sizeof events) > 0) {
        }
    }
    close(watch);
    return launches;
}

bool readableWithin(int fd, std::chrono::milliseconds limit) {
    pollfd ready{fd, POLLIN, 0};
    return poll(&ready, 1, static_cast<int>(limit.count())) > 0;
}

// A process the workspace started, so not our child, held by a pidfd; killed when the test ends.
class Started {
public:
    explicit Started(pid_t pid)
        : fd_(static_cast<int>(syscall(SYS_pidfd_open, pid, 0))) {}
    ~Started() {
        signal(SIGKILL);
        waitForExit();
        close(fd_);
    }
    void signal(int number) { syscall(SYS_pidfd_send_signal, fd_, number, nullptr, 0); }
    bool waitForExit() { return readableWithin(fd_, waitLimit); }

private:
    int fd_;
};

// Owns a name on a bus, as a GApplication owns its id.
class BusName {
public:
    BusName(const std::string& address, const char* name) {
        sd_bus_new(&bus_);
        sd_bus_set_address(bus_, address.c_str());
        sd_bus_set_bus_client(bus_, 1);
        EXPECT_GE(sd_bus_start(bus_), 0);
        EXPECT_GE(sd_bus_request_name(bus_, name, 0), 0);
        name_ = name;
    }
    // Released with the bus's answer, so that the name is gone when the object is: a plain
    // disconnect is handled by the bus some time later.
    ~BusName() {
        sd_bus_release_name(bus_, name_.c_str());
        sd_bus_flush_close_unref(bus_);
    }

private:
    sd_bus* bus_ = nullptr;
    std::string name_;
};

// The user's applications get the main application's entry; the system's hold the default
// handler of sollun: URLs (another stand-in, recording elsewhere), chosen in mimeapps.list.
struct DesktopTree {
    TempDir root;
    fs::path dataHome = root / "data";
    fs::path dataDirs = root / "system";
    fs::path configHome = root / "config";
    fs::path handlerRecord = root / "handler" / "record";

    DesktopTree() {
        fs::permissions(root.path(), fs::perms::owner_all | fs::perms::group_exec |
                                         fs::perms::others_exec); // for the probe
        for (const auto& directory : {dataHome / "applications", dataDirs / "applications",
                                      configHome, handlerRecord.parent_path()})
            fs::create_directories(directory);
        writeFile(dataDirs / "applications" / "sollun-url-handler.desktop",
                  entryText(SOLLUN_STUB_EXECUTABLE, handlerRecord));
        writeFile(configHome / "mimeapps.list",
                  "[Default Applications]\nx-scheme-handler/sollun=sollun-url-handler.desktop\n");
    }
};

DesktopTree& desktopTree() {
    static DesktopTree tree;
    return tree;
}

class GioWorkspaceTest : public ::testing::Test {
protected:
    ~GioWorkspaceTest() override {
        std::error_code ignored;
        fs::remove(userEntry, ignored);
        fs::remove(systemEntry, ignored);
    }

    void installEntry(const std::string& program, const std::string& extraLines = {}) {
        writeFile(userEntry, entryText(program, record, extraLines));
    }

    Workspace::LaunchResult launchOnce(const std::string& location) {
        std::vector<Workspace::LaunchResult> results;
        workspace.launch(location, false, [&](auto result) { results.push_back(result); });
        EXPECT_EQ(results.size(), 1u) << "one completion, before launch() returns";
        return results.empty() ? Workspace::LaunchResult{"no completion"} : results.front();
    }

    // Launches the installed entry and waits for the stand-in to record its start.
    std::unique_ptr<Started> launchStub() {
        const auto earlier = launchesIn(record).size();
        const auto result = launchOnce(userEntry.string());
        if (!std::holds_alternative<pid_t>(result)) {
            ADD_FAILURE() << "launch failed: " << std::get<std::string>(result);
            return nullptr;
        }
        auto started = std::make_unique<Started>(std::get<pid_t>(result));
        const auto launches = waitForLaunches(record, earlier + 1);
        if (launches.size() != earlier + 1 || launches.back().pid != std::get<pid_t>(result)) {
            ADD_FAILURE() << "the reported process did not start";
            return nullptr;
        }
        return started;
    }

    DesktopTree& tree = desktopTree();
    TempDir scratch;
    std::unique_ptr<PrivateBus> bus = std::make_unique<PrivateBus>(PrivateBus::Options{});
    ScopedEnvironmentVariable dataHome{"XDG_DATA_HOME", tree.dataHome.string()};
    ScopedEnvironmentVariable dataDirs{"XDG_DATA_DIRS", tree.dataDirs.string()};
    ScopedEnvironmentVariable configHome{"XDG_CONFIG_HOME", tree.configHome.string()};
    ScopedEnvironmentVariable configDirs{"XDG_CONFIG_DIRS", tree.configHome.string()};
    ScopedEnvironmentVariable sessionBus{"DBUS_SESSION_BUS_ADDRESS", bus->address()};

    const fs::path userEntry = tree.dataHome / "applications" / "com.kestrovane.sollun.desktop";
    const fs::path systemEntry = tree.dataDirs / "applications" / "com.kestrovane.sollun.desktop";
    const fs::path record = scratch / "record";
    GioWorkspace workspace;
};

// ---- Locating ----

// Each case follows the one before with the same workspace: the directories are read as they are
// now, not as they were at an earlier lookup.
TEST_F(GioWorkspaceTest, LocateAgreesWithTheDesktopOnWhichEntryCounts) {
    const std::string usable = entryText(SOLLUN_STUB_EXECUTABLE, record);
    const std::string noProgram = entryText("/nonexistent/sollun", record);
    const struct {
        const char* what;
        std::string user, system;
        std::optional<fs::path> found;
    } cases[] = {
        {"nothing installed", "", "", std::nullopt},
        {"system entry only", "", usable, systemEntry},
        {"the user's entry comes first", usable, usable, userEntry},
        {"hidden by the user", usable + "Hidden=true\n", usable, std::nullopt},
        {"unusable user entry passed over", noProgram, usable, systemEntry},
        {"unusable entry alone", noProgram, "", std::nullopt},
        {"kept out of menus, still installed", usable + "NoDisplay=true\n", "", userEntry},
        {"removed again", "", "", std::nullopt},
    };
    for (const auto& c : cases) {
        fs::remove(userEntry);
        fs::remove(systemEntry);
        if (!c.user.empty())
            writeFile(userEntry, c.user);
        if (!c.system.empty())
            writeFile(systemEntry, c.system);
        EXPECT_EQ(workspace.locate(appId),
                  c.found ? std::optional(c.found->string()) : std::nullopt)
            << c.what;
    }
}

// ---- Launching ----

// What the helper's process holds must not pass on: its own start token, its descriptors, the
// signals its loop blocks to read them from a descriptor. Nor may the application end as a zombie
// of ours.
TEST_F(GioWorkspaceTest, LaunchStartsTheApplicationInTheBackgroundWithNothingOfOurs) {
    installEntry(SOLLUN_STUB_EXECUTABLE);
    ScopedEnvironmentVariable startupId{"DESKTOP_STARTUP_ID", "helper-start"};
    ScopedEnvironmentVariable activationToken{"XDG_ACTIVATION_TOKEN", "helper-token"};
    int ends[2];
    ASSERT_EQ(pipe(ends), 0); // inheritable on purpose
    sigset_t loopSignals, previous;
    sigemptyset(&loopSignals);
    sigaddset(&loopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &loopSignals, &previous);
    const auto started = launchStub();
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    ASSERT_TRUE(started);
    EXPECT_TRUE(launchesIn(record).front().arguments.empty());
    EXPECT_EQ(readText(record).find("activation"), std::string::npos) << readText(record);

    close(ends[1]); // end of file only once no process holds the write end
    EXPECT_TRUE(readableWithin(ends[0], waitLimit));
    close(ends[0]);
    started->signal(SIGTERM);
    ASSERT_TRUE(started->waitForExit()) << "SIGTERM stayed blocked";
    siginfo_t ended{};
    EXPECT_TRUE(waitid(P_ALL, 0, &ended, WEXITED | WNOHANG | WNOWAIT) == -1 || ended.si_pid == 0)
        << "a child of ours ended unreaped: " << ended.si_pid;
}

TEST_F(GioWorkspaceTest, LaunchReportsWhatKeepsTheApplicationFromStarting) {
    const auto errorOf = [&](const std::string& location) {
        const auto result = launchOnce(location);
        return std::holds_alternative<std::string>(result) ? std::get<std::string>(result) : "";
    };
    EXPECT_NE(errorOf(scratch / "absent.desktop").find("absent.desktop"), std::string::npos);
    installEntry("/nonexistent/sollun");
    EXPECT_NE(errorOf(userEntry).find("/nonexistent/sollun"), std::string::npos);
    // GIO's own refusal: the entry wants a terminal, and none can be found.
    installEntry(SOLLUN_STUB_EXECUTABLE, "Terminal=true\n");
    ScopedEnvironmentVariable path{"PATH", scratch.path().string()};
    EXPECT_NE(errorOf(userEntry), "");
    EXPECT_FALSE(fs::exists(record));
}

// ---- Running check ----

TEST_F(GioWorkspaceTest, IsRunningSeesTheApplicationHoweverItWasStarted) {
    fs::create_directory(scratch / "bin");
    const auto program = scratch / "bin" / "sollun";
    fs::copy_file(SOLLUN_STUB_EXECUTABLE, program);
    installEntry(program.string());
    EXPECT_FALSE(workspace.isRunning(appId));
    {
        const BackgroundProcess direct({program.string(), record.string()});
        ASSERT_EQ(waitForLaunches(record, 1).size(), 1u);
        EXPECT_TRUE(workspace.isRunning(appId));
        // An upgrade puts a new file in the old one's place under the running process.
        fs::copy_file(SOLLUN_STUB_EXECUTABLE, scratch / "bin" / "sollun.new");
        fs::rename(scratch / "bin" / "sollun.new", program);
        EXPECT_TRUE(workspace.isRunning(appId));
    }
    EXPECT_FALSE(workspace.isRunning(appId));

    const auto started = launchStub();
    ASSERT_TRUE(started);
    EXPECT_TRUE(workspace.isRunning(appId));
    started->signal(SIGKILL);
    ASSERT_TRUE(started->waitForExit());
    EXPECT_FALSE(workspace.isRunning(appId));
}

TEST_F(GioWorkspaceTest, IsRunningMatchesAScriptByItsInterpreterAndPath) {
    const std::string body = "open(my $r, '>&=', 3); print $r \"ready\\n\"; close($r); sleep;\n";
    const auto script = scratch / "sollun-script";
    for (const std::string shebang : {"#!/usr/bin/perl\n", "#!/usr/bin/env perl\n"}) {
        writeFile(script, shebang + body);
        fs::permissions(script, fs::perms::owner_all);
        installEntry(script.string());
        {
            BackgroundProcess otherScript({"perl", "-e", body}, 3);
            ASSERT_EQ(otherScript.readLine(), "ready");
            EXPECT_FALSE(workspace.isRunning(appId)) << shebang;
        }
        BackgroundProcess running({script.string()}, 3);
        ASSERT_EQ(running.readLine(), "ready");
        EXPECT_TRUE(workspace.isRunning(appId)) << shebang;
    }
}

// As the helper runs in earnest, as an ordinary user: other users' processes are in sight, and one
// of the user's own that is not dumpable hides its executable.
TEST_F(GioWorkspaceTest, IsRunningCountsOnlyTheUsersOwnProcesses) {
    if (getuid() != 0)
        GTEST_SKIP() << "needs to start processes as another user";
    installEntry(SOLLUN_STUB_EXECUTABLE);
    fs::permissions(scratch.path(), fs::perms::all);
    const std::vector<std::string> asNobody{"setpriv", "--reuid=65534", "--regid=65534",
                                            "--clear-groups"};
    const auto probe = [&] {
        auto argv = asNobody;
        argv.insert(argv.end(), {SOLLUN_WORKSPACE_PROBE, appId});
        return test::runProcess(argv).exitCode;
    };
    const BackgroundProcess anotherUsers({SOLLUN_STUB_EXECUTABLE, record.string()});
    ASSERT_EQ(waitForLaunches(record, 1).size(), 1u);
    EXPECT_EQ(probe(), 1) << "root's process counted";

    ScopedEnvironmentVariable undumpable{"SOLLUN_STUB_UNDUMPABLE", "1"};
    auto argv = asNobody;
    argv.insert(argv.end(), {SOLLUN_STUB_EXECUTABLE, (scratch / "own").string()});
    const BackgroundProcess own(argv);
    ASSERT_EQ(waitForLaunches(scratch / "own", 1).size(), 1u);
    EXPECT_EQ(probe(), 0) << "the user's own, not dumpable, was missed";
}

TEST_F(GioWorkspaceTest, IsRunningSeesTheApplicationIdOnTheSessionBusThatRunsNow) {
    EXPECT_FALSE(workspace.isRunning(appId)); // no entry, no process: the name alone tells
    {
        BusName name(bus->address(), appId);
        EXPECT_TRUE(workspace.isRunning(appId));
    }
    EXPECT_FALSE(workspace.isRunning(appId));
    // The session bus restarts; the workspace's connection to the old one is closed.
    bus = std::make_unique<PrivateBus>(PrivateBus::Options{});
    ScopedEnvironmentVariable address{"DBUS_SESSION_BUS_ADDRESS", bus->address()};
    BusName name(bus->address(), appId);
    EXPECT_TRUE(workspace.isRunning(appId));
}

// ---- Opening URLs ----

TEST_F(GioWorkspaceTest, OpenUrlGoesToTheLocatedApplicationElseToTheSchemesDefaultHandler) {
    installEntry(SOLLUN_STUB_EXECUTABLE); // handles the scheme too, but is not the user's choice
    const std::vector<std::string> url{"sollun://show"};
    workspace.openURL(url.front(), userEntry.string());
    const auto launches = waitForLaunches(record, 1);
    ASSERT_EQ(launches.size(), 1u);
    const Started app(launches.front().pid);
    EXPECT_EQ(launches.front().arguments, url);

    const auto before = launchesIn(tree.handlerRecord).size();
    workspace.openURL(url.front(), std::nullopt);
    const auto handled = waitForLaunches(tree.handlerRecord, before + 1);
    ASSERT_EQ(handled.size(), before + 1);
    const Started handler(handled.back().pid);
    EXPECT_EQ(handled.back().arguments, url);
    EXPECT_EQ(launchesIn(record).size(), 1u);
}

} // namespace
} // namespace sollun::helper
