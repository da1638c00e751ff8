#include "SollunHelper/daemon/DirectoryChangeWatch.h"
#include "SollunHelper/daemon/ProductGroup.h"
#include "SollunHelper/desktop/XdgAutostartLoginItem.h"
#include "platform/linux/SdEventLoop.h"
#include "shared/AtomicFile.h"
#include "tests/support/FakeEventLoop.h"
#include "tests/support/LoopWatchdog.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <glib.h>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

namespace sollun::helper {
namespace {

using namespace test;
namespace fs = std::filesystem;

constexpr gid_t user = 65534;
constexpr gid_t product = 4242;

// As a setgid-`product` program started by an unprivileged user, in a child process whose own
// alarm is the watchdog.
TEST(ProductGroup, IsHeldOnlyWhileConnectingAndNeverPassedToChildren) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to play a setgid program (CI runs as root)";
    const pid_t pid = fork();
    if (pid == 0) {
        alarm(10);
        if (setgroups(0, nullptr) != 0 || setresgid(user, product, product) != 0 ||
            setresuid(user, user, user) != 0)
            _exit(10);
        ProductGroup::lowerAtStart();
        gid_t real = 0, effective = 0, saved = 0;
        getresgid(&real, &effective, &saved);
        if (real != user || effective != user || saved != product ||
            ProductGroup::group() != product)
            _exit(11);
        // Twice: a reconnect after a bus restart raises it again from the saved group.
        for (int i = 0; i < 2; ++i)
            if (ProductGroup::whileRaised([] { return static_cast<int>(getegid()); }) != product ||
                getegid() != user)
                _exit(12);
        execl("/bin/sh", "sh", "-c",
              "grep -qx 'Gid:\t65534\t65534\t65534\t65534' /proc/self/status", nullptr);
        _exit(13);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status)) << "killed by its alarm";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "a launched child must hold none of the product group";
}

TEST(XdgAutostart, WritesAnEntryThatRunsTheExecutableAndRemovesIt) {
    TempDir home;
    // Made by the first registration. Where a relative or missing XDG_CONFIG_HOME leads is
    // xdg::configHome()'s, tested with the platform.
    const fs::path configHome = home / "config";
    const fs::path entry = configHome / "autostart/com.kestrovane.sollun.helper.desktop";
    ScopedEnvironmentVariable configDirs{"XDG_CONFIG_DIRS", (home / "system").string()};
    ScopedEnvironmentVariable configHomeVariable{"XDG_CONFIG_HOME", configHome.string()};
    FakeEventLoop loop;
    XdgAutostartLoginItem item{loop, "/usr/bin/SollunHelper"};
    EXPECT_EQ(item.status(), 0);
    EXPECT_EQ(item.registerItem(), std::nullopt);
    EXPECT_EQ(readSmallFile(entry, 4096), "[Desktop Entry]\nType=Application\nName=SollunHelper\n"
                                          "Exec=/usr/bin/SollunHelper\nNoDisplay=true\n"
                                          "X-GNOME-Autostart-enabled=true\n");
    EXPECT_EQ(item.status(), LoginItem::enabled);
    EXPECT_EQ(item.unregisterItem(), std::nullopt);
    EXPECT_EQ(item.status(), 0);
    EXPECT_FALSE(fs::exists(entry));

    // The desktop unescapes Exec as a string, reads "%%" as "%", then splits it as a shell would.
    const char* path = "/o/Sollun Apps/\"$HOME\" `x` \\ 100%/a'b\n";
    ASSERT_EQ(XdgAutostartLoginItem(loop, path).registerItem(), std::nullopt);
    const auto written = readSmallFile(entry, 4096).value_or("");
    g_autoptr(GKeyFile) keys = g_key_file_new();
    ASSERT_TRUE(
        g_key_file_load_from_data(keys, written.data(), written.size(), G_KEY_FILE_NONE, nullptr));
    g_autofree gchar* exec = g_key_file_get_string(keys, "Desktop Entry", "Exec", nullptr);
    std::string command = exec;
    for (std::size_t at = 0; (at = command.find("%%", at)) != std::string::npos; ++at)
        command.erase(at, 1);
    g_auto(GStrv) argv = nullptr;
    ASSERT_TRUE(g_shell_parse_argv(command.c_str(), nullptr, &argv, nullptr)) << command;
    EXPECT_EQ(std::vector<std::string>(argv, argv + g_strv_length(argv)),
              std::vector<std::string>{path});
}

// Whoever changes the entry, and even when its directory comes and goes, a watch tells.
TEST(XdgAutostart, AWatchSeesTheEntryChangeByAnyHand) {
    TempDir home;
    const fs::path directory = home / "config/autostart";
    ScopedEnvironmentVariable configHome{"XDG_CONFIG_HOME", (home / "config").string()};
    ScopedEnvironmentVariable configDirs{"XDG_CONFIG_DIRS", (home / "system").string()};
    platform::SdEventLoop loop;
    XdgAutostartLoginItem item{loop, "/usr/bin/SollunHelper"};
    std::int64_t wanted = LoginItem::enabled;
    const auto watch = item.watchStatus([&] {
        if (item.status() == wanted)
            loop.exit(0);
    });
    ASSERT_TRUE(watch);

    ASSERT_EQ(item.registerItem(), std::nullopt); // makes the directory
    ASSERT_EQ(runWithWatchdog(loop), 0);
    wanted = 0;
    fs::remove(directory / "com.kestrovane.sollun.helper.desktop");
    ASSERT_EQ(runWithWatchdog(loop), 0);
    wanted = LoginItem::enabled;
    fs::remove_all(directory);
    fs::create_directory(directory);
    writeFile(directory / "com.kestrovane.sollun.helper.desktop",
              "[Desktop Entry]\nType=Application\nName=Mine\nExec=/usr/bin/SollunHelper\n");
    ASSERT_EQ(runWithWatchdog(loop), 0);
}

// A directory that does not exist yet is waited for from its nearest ancestor, level by level,
// and once it exists, what appears in it is told.
TEST(DirectoryChangeWatch, WaitsForAMissingDirectoryThenWatchesIt) {
    TempDir root;
    platform::SdEventLoop loop;
    DirectoryChangeWatch watch(loop, {root / "a" / "b"}, [&] { loop.exit(0); });
    ASSERT_TRUE(watch.active());
    fs::create_directory(root / "a");
    EXPECT_EQ(test::runWithWatchdog(loop), 0);
    fs::create_directory(root / "a" / "b");
    EXPECT_EQ(test::runWithWatchdog(loop), 0);
    writeFile(root / "a" / "b" / "x.service", "");
    EXPECT_EQ(test::runWithWatchdog(loop), 0);
    fs::remove_all(root / "a");
    EXPECT_EQ(test::runWithWatchdog(loop), 0);
    fs::create_directories(root / "a" / "b");
    writeFile(root / "a" / "b" / "y.service", "");
    EXPECT_EQ(test::runWithWatchdog(loop), 0);
}

} // namespace
} // namespace sollun::helper
