#include "SollunHelper/linux/XdgAutostartLoginItem.h"
#include "shared/AtomicFile.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <glib.h>

namespace sollun::helper {
namespace {

using namespace test;
namespace fs = std::filesystem;

constexpr const char* entryName = "autostart/com.kestrovane.sollun.helper.desktop";

class XdgAutostartTest : public ::testing::Test {
protected:
    std::optional<std::string> entry() const { return readSmallFile(configHome / entryName, 4096); }
    static void writeEntry(const fs::path& configDir, std::string_view contents) {
        fs::create_directories(configDir / "autostart");
        writeFile(configDir / entryName, contents);
    }

    TempDir home;
    const fs::path configHome = home / "config"; // made by the first registration
    const fs::path systemConfig = home / "system";
    ScopedEnvironmentVariable homeVariable{"HOME", home.path().string()};
    ScopedEnvironmentVariable configHomeVariable{"XDG_CONFIG_HOME", configHome.string()};
    ScopedEnvironmentVariable configDirs{"XDG_CONFIG_DIRS", "relative:" + systemConfig.string()};
    XdgAutostartLoginItem item{"/usr/bin/SollunHelper"};
};

TEST_F(XdgAutostartTest, RegisteringWritesAnEntryAndUnregisteringRemovesIt) {
    // XDG_CONFIG_HOME when absolute, else ~/.config.
    const std::pair<std::optional<std::string>, fs::path> homes[] = {
        {configHome.string(), configHome / entryName},
        {"relative/config", home / ".config" / entryName},
        {std::nullopt, home / ".config" / entryName}};
    for (const auto& [value, path] : homes) {
        ScopedEnvironmentVariable configHomeValue("XDG_CONFIG_HOME", value);
        EXPECT_EQ(item.status(), 0);
        EXPECT_EQ(item.registerItem(), std::nullopt);
        EXPECT_EQ(readSmallFile(path, 4096),
                  "[Desktop Entry]\nType=Application\nName=SollunHelper\n"
                  "Exec=/usr/bin/SollunHelper\nNoDisplay=true\n"
                  "X-GNOME-Autostart-enabled=true\n");
        EXPECT_EQ(item.status(), LoginItem::enabled);
        EXPECT_EQ(item.unregisterItem(), std::nullopt);
        EXPECT_EQ(item.status(), 0);
        EXPECT_FALSE(fs::exists(path));
        EXPECT_EQ(item.unregisterItem(), std::nullopt) << "already gone is fine";
    }
}

// The desktop unescapes Exec as a string, reads "%%" as "%", then splits it as a shell would.
TEST_F(XdgAutostartTest, AnyExecutablePathSurvivesQuoting) {
    for (const char* path : {"/opt/Sollun Apps/SollunHelper", "/o/\"$HOME\" `x` \\ 100%/a'b\n"}) {
        ASSERT_EQ(XdgAutostartLoginItem(path).registerItem(), std::nullopt);
        GKeyFile* keys = g_key_file_new();
        ASSERT_TRUE(g_key_file_load_from_data(keys, entry()->data(), entry()->size(),
                                              G_KEY_FILE_NONE, nullptr));
        gchar* exec = g_key_file_get_string(keys, "Desktop Entry", "Exec", nullptr);
        std::string command = exec;
        for (std::size_t at = 0; (at = command.find("%%", at)) != std::string::npos; ++at)
            command.erase(at, 1);
        gchar** argv = nullptr;
        ASSERT_TRUE(g_shell_parse_argv(command.c_str(), nullptr, &argv, nullptr)) << command;
        EXPECT_EQ(std::vector<std::string>(argv, argv + g_strv_length(argv)),
                  std::vector<std::string>{path});
        g_strfreev(argv);
        g_free(exec);
        g_key_file_unref(keys);
    }
}

} // namespace
} // namespace sollun::helper
