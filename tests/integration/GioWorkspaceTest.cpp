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

#include <fstream>
#include <sstream>

namespace sollun::helper {
namespace {

namespace fs = std::filesystem;
using test::BackgroundProcess;
using test::ScopedEnvironmentVariable;

constexpr const char* appId = "com.kestrovane.sollun";

std::string readText(const fs::path& path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), {}};
}

bool readableWithin(int fd) {
    pollfd ready{fd, POLLIN, 0};
    return poll(&ready, 1, 10'000) > 0;
}

// The stand-in's entry, recording to `record`.
std::string entryText(const std::string& program, const fs::path& record) {
    std::string text = readText(SOLLUN_STUB_DESKTOP_TEMPLATE);
    text.replace(text.find("@PROGRAM@"), 9, program);
    text.replace(text.find("@RECORD@"), 8, record.string());
    return text;
}

// The "launched <pid> <arguments>" lines of the stand-ins recording to `record`, once there are
// `count` of them (or what there is after ten seconds).
std::vector<std::string> launches(const fs::path& record, std::size_t count) {
    const int watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    inotify_add_watch(watch, record.parent_path().c_str(), IN_CLOSE_WRITE | IN_MODIFY);
    std::vector<std::string> lines;
    for (char events[4096];; lines.clear()) {
        std::istringstream text(readText(record));
        for (std::string line; std::getline(text, line);)
            if (line.starts_with("launched "))
                lines.push_back(line);
        if (lines.size() >= count || !readableWithin(watch))
            break;
        while (read(watch, events, sizeof events) > 0) {
        }
    }
    close(watch);
    return lines;
}

pid_t pidOf(const std::string& launch) {
    return std::stoi(launch.substr(9));
}

// A process the workspace started, so not our child, held by a pidfd; killed at the end.
struct Started {
    explicit Started(pid_t pid)
        : fd(static_cast<int>(syscall(SYS_pidfd_open, pid, 0))) {}
    ~Started() {
        kill();
        close(fd);
    }
    bool kill(int signal = SIGKILL) {
        syscall(SYS_pidfd_send_signal, fd, signal, nullptr, 0);
        return readableWithin(fd);
    }
    int fd;
};

// The user's applications get the main application's entry; the system's hold the default
// handler of sollun: URLs (another stand-in, recording elsewhere), chosen in mimeapps.list.
struct DesktopTree {
    test::TempDir root;
    fs::path handlerRecord = root / "handler" / "record";
    DesktopTree() {
        fs::permissions(root.path(), fs::perms::owner_all | fs::perms::others_exec); // the probe
        for (const auto& directory : {"data/applications", "system/applications", "config"})
            fs::create_directories(root / directory);
        fs::create_directories(handlerRecord.parent_path());
        test::writeFile(root / "system/applications/sollun-url-handler.desktop",
                        entryText(SOLLUN_STUB_EXECUTABLE, handlerRecord));
        test::writeFile(root / "config/mimeapps.list", "[Default Applications]\n"
                                                       "x-scheme-handler/sollun="
                                                       "sollun-url-handler.desktop\n");
    }
};

class GioWorkspaceTest : public ::testing::Test {
protected:
    ~GioWorkspaceTest() override {
        fs::remove(userEntry);
        fs::remove(systemEntry);
    }

    void installEntry(const std::string& program, const std::string& extraLines = {}) {
        test::writeFile(userEntry, entryText(program, record) + extraLines);
    }

    // The one completion launch() gives before it returns.
    Workspace::LaunchResult launch(const std::string& location) {
        std::vector<Workspace::LaunchResult> results;
        workspace.launch(location, false, [&](auto result) { results.push_back(result); });
        EXPECT_EQ(results.size(), 1u);
        return results.empty() ? Workspace::LaunchResult{"no completion"} : results.front();
    }

    // Launches the installed entry and waits for the stand-in to record its start.
    std::unique_ptr<Started> launchStub() {
        const auto earlier = launches(record, 0).size();
        const auto result = launch(userEntry.string());
        if (!std::holds_alternative<pid_t>(result)) {
            ADD_FAILURE() << "launch failed: " << std::get<std::string>(result);
            return nullptr;
        }
        auto started = std::make_unique<Started>(std::get<pid_t>(result));
        const auto launched = launches(record, earlier + 1);
        if (launched.size() != earlier + 1 || pidOf(launched.back()) != std::get<pid_t>(result)) {
            ADD_FAILURE() << "the reported process did not start";
            return nullptr;
        }
        return started;
    }

    static inline DesktopTree tree; // before GIO first looks
    test::TempDir scratch;
    std::optional<test::PrivateBus> bus{test::PrivateBus::Options{}};
    ScopedEnvironmentVariable dataHome{"XDG_DATA_HOME", (tree.root / "data").string()};
    ScopedEnvironmentVariable dataDirs{"XDG_DATA_DIRS", (tree.root / "system").string()};
    ScopedEnvironmentVariable configHome{"XDG_CONFIG_HOME", (tree.root / "config").string()};
    ScopedEnvironmentVariable configDirs{"XDG_CONFIG_DIRS", (tree.root / "config").string()};
    std::optional<ScopedEnvironmentVariable> sessionBus{std::in_place, "DBUS_SESSION_BUS_ADDRESS",
                                                        bus->address()};
    const fs::path userEntry = tree.root / "data/applications/com.kestrovane.sollun.desktop";
    const fs::path systemEntry = tree.root / "system/applications/com.kestrovane.sollun.desktop";
    const fs::path record = scratch / "record";
    GioWorkspace workspace;
};

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
    };
    for (const auto& c : cases) {
        fs::remove(userEntry);
        fs::remove(systemEntry);
        if (!c.user.empty())
            test::writeFile(userEntry, c.user);
        if (!c.system.empty())
            test::writeFile(systemEntry, c.system);
        EXPECT_EQ(workspace.locate(appId),
                  c.found ? std::optional(c.found->string()) : std::nullopt)
            << c.what;
    }
}

// What the helper's process holds must not pass on: its own start token, its descriptors, the
// signals its loop blocks to read them from a descriptor. Nor may the application end as a zombie
// of ours. What keeps an application from starting is reported.
TEST_F(GioWorkspaceTest, LaunchStartsTheApplicationWithNothingOfOursOrSaysWhyNot) {
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
    EXPECT_EQ(readText(record), "launched " + std::to_string(pidOf(launches(record, 1)[0])) + "\n");
    close(ends[1]); // end of file only once no process holds the write end
    EXPECT_TRUE(readableWithin(ends[0]));
    close(ends[0]);
    ASSERT_TRUE(started->kill(SIGTERM)) << "SIGTERM stayed blocked";
    siginfo_t ended{};
    EXPECT_TRUE(waitid(P_ALL, 0, &ended, WEXITED | WNOHANG | WNOWAIT) == -1 || ended.si_pid == 0)
        << "a child of ours ended unreaped: " << ended.si_pid;

    const auto errorOf = [&](const std::string& location) {
        const auto result = launch(location);
        return std::holds_alternative<std::string>(result) ? std::get<std::string>(result) : "";
    };
    EXPECT_NE(errorOf(scratch / "absent.desktop").find("absent.desktop"), std::string::npos);
    installEntry("/nonexistent/sollun");
    EXPECT_NE(errorOf(userEntry).find("/nonexistent/sollun"), std::string::npos);
}

// However the application was started, by path or by its entry, as a program replaced on disk
// while it runs or as a script run by its interpreter.
TEST_F(GioWorkspaceTest, IsRunningSeesTheApplicationHoweverItWasStarted) {
    fs::create_directory(scratch / "bin");
    const auto program = scratch / "bin" / "sollun";
    fs::copy_file(SOLLUN_STUB_EXECUTABLE, program);
    installEntry(program.string());
    EXPECT_FALSE(workspace.isRunning(appId));
    {
        const BackgroundProcess direct({program.string(), record.string()});
        ASSERT_EQ(launches(record, 1).size(), 1u);
        EXPECT_TRUE(workspace.isRunning(appId));
        fs::copy_file(SOLLUN_STUB_EXECUTABLE, scratch / "bin" / "sollun.new");
        fs::rename(scratch / "bin" / "sollun.new", program); // an upgrade
        EXPECT_TRUE(workspace.isRunning(appId));
    }
    EXPECT_FALSE(workspace.isRunning(appId));
    auto started = launchStub();
    ASSERT_TRUE(started);
    EXPECT_TRUE(workspace.isRunning(appId));
    started.reset();
    EXPECT_FALSE(workspace.isRunning(appId));

    const std::string body = "open(my $r, '>&=', 3); print $r \"ready\\n\"; close($r); sleep;\n";
    const auto script = scratch / "sollun-script";
    for (const std::string shebang : {"#!/usr/bin/perl\n", "#!/usr/bin/env perl\n"}) {
        test::writeFile(script, shebang + body);
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
    const std::vector<std::string> nobody{"setpriv", "--reuid=65534", "--regid=65534",
                                          "--clear-groups"};
    auto probe = nobody;
    probe.insert(probe.end(), {SOLLUN_WORKSPACE_PROBE, appId});
    const BackgroundProcess anotherUsers({SOLLUN_STUB_EXECUTABLE, record.string()});
    ASSERT_EQ(launches(record, 1).size(), 1u);
    EXPECT_EQ(test::runProcess(probe).exitCode, 1) << "root's process counted";

    ScopedEnvironmentVariable undumpable{"SOLLUN_STUB_UNDUMPABLE", "1"};
    auto own = nobody;
    own.insert(own.end(), {SOLLUN_STUB_EXECUTABLE, (scratch / "own").string()});
    const BackgroundProcess ownProcess(own);
    ASSERT_EQ(launches(scratch / "own", 1).size(), 1u);
    EXPECT_EQ(test::runProcess(probe).exitCode, 0) << "the user's own, not dumpable, was missed";
}

// Owning the application id on the session bus, as a GApplication does, counts; after the bus
// restarted, the workspace asks the new one.
TEST_F(GioWorkspaceTest, IsRunningSeesTheApplicationIdOnTheSessionBusThatRunsNow) {
    EXPECT_FALSE(workspace.isRunning(appId)); // no entry, no process: the name alone tells
    for (int restart = 0; restart < 2; ++restart) {
        if (restart > 0) {
            sessionBus.reset();
            bus.emplace(test::PrivateBus::Options{});
            sessionBus.emplace("DBUS_SESSION_BUS_ADDRESS", bus->address());
        }
        sd_bus* owner = nullptr;
        ASSERT_GE(sd_bus_new(&owner), 0);
        sd_bus_set_address(owner, bus->address().c_str());
        sd_bus_set_bus_client(owner, 1);
        ASSERT_GE(sd_bus_start(owner), 0);
        ASSERT_GE(sd_bus_request_name(owner, appId, 0), 0);
        EXPECT_TRUE(workspace.isRunning(appId));
        // Released with the bus's answer, so that the name is gone when this returns.
        sd_bus_release_name(owner, appId);
        sd_bus_flush_close_unref(owner);
        EXPECT_FALSE(workspace.isRunning(appId));
    }
}

TEST_F(GioWorkspaceTest, OpenUrlGoesToTheLocatedApplicationElseToTheSchemesDefaultHandler) {
    installEntry(SOLLUN_STUB_EXECUTABLE); // handles the scheme too, but is not the user's choice
    workspace.openURL("sollun://show", userEntry.string());
    const auto launched = launches(record, 1);
    ASSERT_EQ(launched.size(), 1u);
    const Started app(pidOf(launched[0]));
    EXPECT_TRUE(launched[0].ends_with(" sollun://show"));

    const auto before = launches(tree.handlerRecord, 0).size();
    workspace.openURL("sollun://show", std::nullopt);
    const auto handled = launches(tree.handlerRecord, before + 1);
    ASSERT_EQ(handled.size(), before + 1);
    const Started handler(pidOf(handled.back()));
    EXPECT_TRUE(handled.back().ends_with(" sollun://show"));
    EXPECT_EQ(launches(record, 1).size(), 1u);
}

} // namespace
} // namespace sollun::helper
