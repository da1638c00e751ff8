// The workspace against real desktop entries, the stand-in application and a private session bus.
// GLib reads where the XDG directories are once per process: the tests share one tree.

#include "SollunHelper/desktop/GioWorkspace.h"

#include "SollunHelper/session/SessionBus.h"
#include "tests/support/LoopWatchdog.h"
#include "tests/support/PrivateBus.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>
#include <systemd/sd-bus.h>

#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>

namespace sollun::helper {
namespace {

namespace fs = std::filesystem;
using test::BackgroundProcess;

constexpr const char* appId = "com.kestrovane.sollun";

bool readableWithin(int fd) {
    pollfd ready{fd, POLLIN, 0};
    return poll(&ready, 1, 10'000) > 0;
}

// The "launched <pid> ..." lines of the stand-ins recording to `record`, once there are `count`
// of them (or what there is after ten seconds).
std::vector<std::string> launches(const fs::path& record, std::size_t count) {
    const int watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    inotify_add_watch(watch, record.parent_path().c_str(), IN_CLOSE_WRITE | IN_MODIFY);
    std::vector<std::string> lines;
    for (char events[4096];; lines.clear()) {
        std::istringstream text(test::readFile(record));
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

class GioWorkspaceTest : public ::testing::Test {
protected:
    void installEntry(const std::string& program) {
        fs::create_directories(entry.parent_path());
        test::writeFile(entry, "[Desktop Entry]\nType=Application\nName=Sollun\nExec=" + program +
                                   " " + record.string() + "\n");
    }

    // What launch() gives its completion, before it returns.
    Workspace::LaunchResult launch(const std::string& location) {
        Workspace::LaunchResult result{"no completion"};
        workspace.launch(location, false, [&](auto given) { result = given; });
        return result;
    }

    static inline test::TempDir tree; // named before GIO first looks
    test::TempDir scratch;
    test::PrivateBus bus{{}};
    test::ScopedEnvironmentVariable dataHome{"XDG_DATA_HOME", (tree / "data").string()};
    test::ScopedEnvironmentVariable sessionBus{"DBUS_SESSION_BUS_ADDRESS", bus.address()};
    const fs::path entry = tree / "data/applications/com.kestrovane.sollun.desktop";
    const fs::path record = scratch / "record";
    platform::SdEventLoop loop;
    SessionBus session{loop};
    GioWorkspace workspace{loop, session};
};

// Nothing of the helper's process may pass on: its start token, its descriptors, the signals its
// loop blocks. Nor may the application end as a zombie of ours.
TEST_F(GioWorkspaceTest, LaunchStartsTheApplicationWithNothingOfOursOrSaysWhyNot) {
    installEntry(SOLLUN_STUB_EXECUTABLE);
    test::ScopedEnvironmentVariable startupId{"DESKTOP_STARTUP_ID", "helper-start"};
    test::ScopedEnvironmentVariable activationToken{"XDG_ACTIVATION_TOKEN", "helper-token"};
    int ends[2];
    ASSERT_EQ(pipe(ends), 0); // inheritable on purpose
    sigset_t loopSignals, previous;
    sigemptyset(&loopSignals);
    sigaddset(&loopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &loopSignals, &previous);
    const auto result = launch(entry.string());
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    ASSERT_TRUE(std::holds_alternative<pid_t>(result)) << std::get<std::string>(result);
    const pid_t pid = std::get<pid_t>(result);
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    EXPECT_EQ(launches(record, 1).size(), 1u);
    EXPECT_EQ(test::readFile(record), "launched " + std::to_string(pid) + "\n")
        << "no token passed on";
    close(ends[1]); // end of file only once no process holds the write end
    EXPECT_TRUE(readableWithin(ends[0]));
    close(ends[0]);
    syscall(SYS_pidfd_send_signal, pidfd, SIGTERM, nullptr, 0);
    EXPECT_TRUE(readableWithin(pidfd)) << "SIGTERM stayed blocked";
    syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0);
    close(pidfd);
    siginfo_t ended{};
    EXPECT_TRUE(waitid(P_ALL, 0, &ended, WEXITED | WNOHANG | WNOWAIT) == -1 || ended.si_pid == 0)
        << "a child of ours ended unreaped: " << ended.si_pid;

    EXPECT_NE(std::get<std::string>(launch(scratch / "absent.desktop")).find("absent.desktop"),
              std::string::npos);
    ASSERT_EQ(mkfifo((scratch / "fifo.desktop").c_str(), 0600), 0);
    EXPECT_NE(std::get<std::string>(launch(scratch / "fifo.desktop")).find("not a file"),
              std::string::npos);
    installEntry("/nonexistent/sollun");
    EXPECT_NE(std::get<std::string>(launch(entry)).find("/nonexistent/sollun"), std::string::npos);
}

// GIO starts an application through a launcher that becomes it: in between, the launch still
// counts as the application running, and a second launch would start another.
TEST_F(GioWorkspaceTest, AnApplicationStillStartingCountsAsRunning) {
    const auto gate = scratch / "gate";
    const auto launcher = scratch / "launcher";
    ASSERT_EQ(mkfifo(gate.c_str(), 0600), 0);
    test::writeFile(launcher, "#!/bin/sh\nread go <\"$1\"\nexec \"$2\" \"$3\"\n");
    fs::permissions(launcher, fs::perms::owner_all);
    fs::create_directories(entry.parent_path());
    test::writeFile(entry, std::string("[Desktop Entry]\nType=Application\nName=Sollun\nTryExec=") +
                               SOLLUN_STUB_EXECUTABLE + "\nExec=" + launcher.string() + " " +
                               gate.string() + " " + SOLLUN_STUB_EXECUTABLE + " " +
                               record.string() + "\n");
    EXPECT_FALSE(workspace.isRunning(appId));

    const auto result = launch(entry.string());
    ASSERT_TRUE(std::holds_alternative<pid_t>(result)) << std::get<std::string>(result);
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, std::get<pid_t>(result), 0));
    EXPECT_TRUE(workspace.isRunning(appId)) << "the launcher has not become Sollun yet";
    test::writeFile(gate, "go\n");
    ASSERT_EQ(launches(record, 1).size(), 1u);
    EXPECT_TRUE(workspace.isRunning(appId));

    syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0);
    EXPECT_TRUE(readableWithin(pidfd));
    close(pidfd);
    // Gone once the system has reaped it; a zombie no longer counts either.
    EXPECT_FALSE(workspace.isRunning(appId));
}

// The user's own process of the entry's program counts, replaced on disk or run as a script by its
// interpreter, and so does the application id owned on the session bus; other users' processes
// do not. A watch follows the same without looking again: a start by anyone is seen soon after,
// an end at once, and an opening from here before its program even runs. Opening passes on the
// desktop's token, or none.
TEST_F(GioWorkspaceTest, IsRunningAndItsWatchSeeTheUsersApplicationHoweverItRuns) {
    fs::create_directory(scratch / "bin");
    const auto program = scratch / "bin" / "sollun";
    fs::copy_file(SOLLUN_STUB_EXECUTABLE, program);
    installEntry(program.string());
    const auto watch = workspace.watchRunning(appId, [&] { loop.exit(0); });
    ASSERT_TRUE(watch);
    EXPECT_FALSE(watch->running());
    EXPECT_FALSE(workspace.isRunning(appId));
    {
        const BackgroundProcess running({program.string(), record.string()});
        ASSERT_EQ(test::runWithWatchdog(loop), 0);
        EXPECT_TRUE(watch->running());
        ASSERT_EQ(launches(record, 1).size(), 1u);
        EXPECT_TRUE(workspace.isRunning(appId));
        fs::copy_file(SOLLUN_STUB_EXECUTABLE, scratch / "bin" / "sollun.new");
        fs::rename(scratch / "bin" / "sollun.new", program); // an upgrade
        EXPECT_TRUE(workspace.isRunning(appId));
    }
    EXPECT_FALSE(workspace.isRunning(appId));
    ASSERT_EQ(test::runWithWatchdog(loop), 0);
    EXPECT_FALSE(watch->running());

    // As a GApplication does. Released with the bus's answer, so the name is gone after.
    sd_bus* owner = nullptr;
    ASSERT_GE(sd_bus_open_user(&owner), 0);
    ASSERT_GE(sd_bus_request_name(owner, appId, 0), 0);
    EXPECT_TRUE(workspace.isRunning(appId));
    ASSERT_EQ(test::runWithWatchdog(loop), 0);
    EXPECT_TRUE(watch->running());
    sd_bus_release_name(owner, appId);
    sd_bus_flush_close_unref(owner);
    EXPECT_FALSE(workspace.isRunning(appId));
    ASSERT_EQ(test::runWithWatchdog(loop), 0);
    EXPECT_FALSE(watch->running());

    test::ScopedEnvironmentVariable startupId{"DESKTOP_STARTUP_ID", "helper-start"};
    test::ScopedEnvironmentVariable activationToken{"XDG_ACTIVATION_TOKEN", "helper-token"};
    fs::remove(record);
    workspace.openURL("sollun://show", entry.string(), "token-1");
    EXPECT_TRUE(watch->running());
    ASSERT_EQ(launches(record, 1).size(), 1u);
    EXPECT_NE(test::readFile(record).find("activation DESKTOP_STARTUP_ID=token-1\n"
                                          "activation XDG_ACTIVATION_TOKEN=token-1\n"),
              std::string::npos);
    workspace.openURL("sollun://show", entry.string(), "");
    const auto both = launches(record, 2);
    ASSERT_EQ(both.size(), 2u);
    EXPECT_EQ(test::readFile(record).find("helper-"), std::string::npos) << "the helper's own";
    for (const auto& line : both)
        kill(std::stoi(line.substr(std::string("launched ").size())), SIGKILL);
    while (watch->running())
        ASSERT_EQ(test::runWithWatchdog(loop), 0);

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

    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to start processes as another user";
    installEntry(SOLLUN_STUB_EXECUTABLE);
    fs::permissions(tree.path(), fs::perms::owner_all | fs::perms::others_exec);
    fs::remove(record);
    const BackgroundProcess rootsOwn({SOLLUN_STUB_EXECUTABLE, record.string()});
    ASSERT_EQ(launches(record, 1).size(), 1u);
    EXPECT_EQ(test::runProcess({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                SOLLUN_WORKSPACE_PROBE, appId})
                  .exitCode,
              1)
        << "root's process counted for nobody";
}

} // namespace
} // namespace sollun::helper
