// The SollunHelper program itself on private system and session buses. The system bus cannot
// start the daemon, so the helper asks for it to be registered and waits for approval.

#include "tests/support/PrivateBus.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <filesystem>

namespace sollun::test {
namespace {

constexpr const char* helperName = "com.kestrovane.sollun.helper";

class HelperProgram : public ::testing::Test {
protected:
    // busctl on the session bus: its output, the call expected to succeed.
    std::string session(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(),
                         {"busctl", "--timeout=10", "--address=" + sessionBus.address()});
        const auto result = runProcess(arguments);
        EXPECT_EQ(result.exitCode, 0) << result.output;
        return result.output;
    }
    std::string menu(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(),
                         {"call", helperName, "/MenuBar", "com.canonical.dbusmenu"});
        return session(arguments);
    }
    void waitForOwner(const std::string& name = helperName) {
        EXPECT_EQ(runProcess(
                      {"gdbus", "wait", "--address", sessionBus.address(), "--timeout", "10", name})
                      .exitCode,
                  0);
    }

    TempDir home;
    ScopedEnvironmentVariable dataHome{"XDG_DATA_HOME", (home / "data").string()};
    ScopedEnvironmentVariable configHome{"XDG_CONFIG_HOME", (home / "config").string()};
    ScopedEnvironmentVariable stateDirectory{"STATE_DIRECTORY", (home / "state").string()};
    PrivateBus systemBus{PrivateBus::Options{}};
    PrivateBus sessionBus{PrivateBus::Options{}};
    ScopedEnvironmentVariable systemAddress{"DBUS_SYSTEM_BUS_ADDRESS", systemBus.address()};
    ScopedEnvironmentVariable sessionAddress{"DBUS_SESSION_BUS_ADDRESS", sessionBus.address()};
    const std::vector<std::string> helper{"setpriv", "--pdeathsig=KILL", SOLLUN_HELPER_EXECUTABLE};
};

TEST_F(HelperProgram, OneInstancePerSessionWithItsMenuOnTheBusUntilQuit) {
    BackgroundProcess first(helper);
    waitForOwner();
    BackgroundProcess second(helper);
    EXPECT_EQ(first.waitForExit(), 0) << "the older instance ends, cleanly";
    waitForOwner(); // the newer one carries on, and answers below

    EXPECT_EQ(menu({"AboutToShow", "i", "0"}), "b true\n");
    EXPECT_EQ(menu({"GetProperty", "is", "2", "label"}),
              "v s \"Waiting for approval in Login Items\"\n");
    menu({"Event", "isvu", "8", "clicked", "s", "", "0"}); // Quit, as a host sends it

    EXPECT_EQ(second.waitForExit(), 0);
}

TEST_F(HelperProgram, ItsTrayIconIsInTheThemeItNamesAndComesAsPixmapsToPaintAsTheyAre) {
    BackgroundProcess program(helper);
    const auto item = "org.kde.StatusNotifierItem-" + std::to_string(program.pid()) + "-1";
    waitForOwner(item);
    const auto property = [&](const char* name) {
        return nlohmann::json::parse(
            session({"--json=short", "get-property", item, "/StatusNotifierItem",
                     "org.kde.StatusNotifierItem", name}))["data"];
    };

    // A theme as hosts read one, wherever the program is: this build's own tree here.
    const std::filesystem::path themes = property("IconThemePath").get<std::string>();
    const auto icon = property("IconName").get<std::string>() + ".svg";
    EXPECT_TRUE(std::filesystem::is_regular_file(themes / "hicolor" / "index.theme")) << themes;
    EXPECT_TRUE(std::filesystem::is_regular_file(themes / "hicolor/scalable/status" / icon));

    std::vector<int> sizes;
    for (const auto& pixmap : property("IconPixmap")) {
        const int size = pixmap[0];
        sizes.push_back(size);
        ASSERT_EQ(pixmap[1], size);
        const std::vector<int> bytes = pixmap[2];
        ASSERT_EQ(bytes.size(), 4u * size * size);
        const auto pixel = [&](int x, int y) { return &bytes[4 * (y * size + x)]; };
        // A, R, G, B: a transparent corner, the opaque disc in the middle.
        EXPECT_EQ(pixel(0, 0)[0], 0) << size;
        EXPECT_EQ(pixel(size / 2, size / 2)[0], 255) << size;
        // The rim is of one colour, which its soft outer edge keeps at every opacity; colours
        // premultiplied by alpha would fade with it. (At 16 px the edge also takes in the disc.)
        if (size < 22)
            continue;
        for (int channel = 1; channel < 4; ++channel) {
            int lowest = 255;
            int highest = 0;
            for (int i = 0; i < size * size; ++i) {
                if (bytes[4 * i] < 32 || bytes[4 * i] == 255)
                    continue;
                lowest = std::min(lowest, bytes[4 * i + channel]);
                highest = std::max(highest, bytes[4 * i + channel]);
            }
            EXPECT_LE(highest - lowest, 16) << size << " px, channel " << channel;
        }
    }
    EXPECT_EQ(sizes, (std::vector<int>{16, 22, 24, 32, 48, 64}));
}

} // namespace
} // namespace sollun::test
