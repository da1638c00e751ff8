#include "platform/Observable.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>

namespace sollun::platform {
namespace {

TEST(Observable, ReportsActualChangesToTheSubscriptionsAliveThen) {
    ObservationRegistrar registrar;
    Observable<std::int64_t> revision{registrar, "revision", -1};
    Observable<std::optional<int>> wake{registrar, "wake"};
    Observable<std::shared_ptr<int>> timer{registrar, "timer"};
    Observable<int, Notify::always> token{registrar, "token"};
    std::vector<std::string> changes;
    ObservationRegistrar::Subscription once;
    once = registrar.observe([&](auto field) {
        changes.push_back("once " + std::string(field));
        once.reset(); // ends itself while being told
    });
    auto all = registrar.observe([&](auto field) { changes.emplace_back(field); });

    EXPECT_FALSE(revision.set(-1));
    EXPECT_TRUE(revision.set(42));
    EXPECT_FALSE(revision.set(42));
    EXPECT_FALSE(wake.set(std::nullopt)); // none over none
    EXPECT_TRUE(wake.set(7));
    // Handles compare by identity: an equal value behind another handle is a change.
    auto handle = std::make_shared<int>(1);
    EXPECT_TRUE(timer.set(handle));
    EXPECT_FALSE(timer.set(handle));
    EXPECT_TRUE(timer.set(std::make_shared<int>(1)));
    EXPECT_TRUE(token.set(0));
    EXPECT_TRUE(token.set(0));
    all.reset();
    revision.set(1);
    EXPECT_EQ(changes, (std::vector<std::string>{"once revision", "revision", "wake", "timer",
                                                 "timer", "token", "token"}));
}

} // namespace
} // namespace sollun::platform
