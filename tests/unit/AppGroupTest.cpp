#include "shared/AppGroup.h"

#include "shared/WakeSchedule.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

namespace sollun {
namespace {

TEST(AppGroupContainerURL, FollowsTheXdgDataHomeRules) {
    const std::optional<std::string> unset;
    const struct {
        std::optional<std::string> dataHome;
        std::optional<std::string> home;
        std::optional<std::filesystem::path> expected;
    } cases[] = {
        {"/xdg", "/home/u", "/xdg/group.com.kestrovane.sollun"},
        {"/xdg/", unset, "/xdg/group.com.kestrovane.sollun"},
        {"xdg", "/home/u", "/home/u/.local/share/group.com.kestrovane.sollun"},
        {"", "/home/u", "/home/u/.local/share/group.com.kestrovane.sollun"},
        {unset, "/", "/.local/share/group.com.kestrovane.sollun"},
        {unset, "home/u", std::nullopt},
        {"xdg", "", std::nullopt},
        {unset, unset, std::nullopt},
    };
    for (const auto& c : cases) {
        test::ScopedEnvironmentVariable dataHome{"XDG_DATA_HOME", c.dataHome};
        test::ScopedEnvironmentVariable home{"HOME", c.home};
        EXPECT_EQ(appGroupContainerURL(), c.expected)
            << c.dataHome.value_or("(unset)") << " " << c.home.value_or("(unset)");
        EXPECT_EQ(wakeScheduleFileURL(),
                  c.expected ? std::optional{*c.expected / "wake-schedule.json"} : std::nullopt);
    }
}

TEST(AppGroupContainerURL, IsLookedUpAfreshAndNeverCreated) {
    test::TempDir first;
    test::TempDir second;
    test::ScopedEnvironmentVariable dataHome{"XDG_DATA_HOME", first.path().string()};
    EXPECT_EQ(appGroupContainerURL(), first / appGroupIdentifier);
    ::setenv("XDG_DATA_HOME", second.path().c_str(), 1);
    EXPECT_EQ(appGroupContainerURL(), second / appGroupIdentifier);
    EXPECT_FALSE(std::filesystem::exists(first / appGroupIdentifier));
    EXPECT_FALSE(std::filesystem::exists(second / appGroupIdentifier));
}

} // namespace
} // namespace sollun
