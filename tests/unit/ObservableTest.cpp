#include "platform/Observable.h"

#include "platform/EventLoop.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sollun::platform {
namespace {

struct Owner {
    ObservationRegistrar registrar;
    Observable<std::int64_t> revision{registrar, "lastProcessedRevision", -1};
    Observable<std::optional<int>> wake{registrar, "lastScheduledWake"};
    Observable<std::shared_ptr<int>> timer{registrar, "launchTimer"};
    Observable<int, Notify::always> token{registrar, "wakeObserver"};
};

TEST(Observable, NotifiesOnlyOnAnActualChange) {
    Owner owner;
    std::vector<std::string> changes;
    auto subscription = owner.registrar.observe([&](auto field) { changes.emplace_back(field); });

    EXPECT_FALSE(owner.revision.set(-1));
    EXPECT_TRUE(owner.revision.set(42));
    EXPECT_FALSE(owner.revision.set(42));
    EXPECT_FALSE(owner.wake.set(std::nullopt)); // none over none
    EXPECT_TRUE(owner.wake.set(7));

    // Handles compare by identity: an equal value behind another handle is a change.
    auto handle = std::make_shared<int>(1);
    EXPECT_TRUE(owner.timer.set(handle));
    EXPECT_FALSE(owner.timer.set(handle));
    EXPECT_TRUE(owner.timer.set(std::make_shared<int>(1)));

    EXPECT_TRUE(owner.token.set(0));
    EXPECT_TRUE(owner.token.set(0));

    EXPECT_EQ(changes,
              (std::vector<std::string>{"lastProcessedRevision", "lastScheduledWake", "launchTimer",
                                        "launchTimer", "wakeObserver", "wakeObserver"}));
    EXPECT_EQ(owner.revision.get(), 42);
    EXPECT_EQ(*owner.wake, 7);
}

TEST(Observable, SubscriptionsEndWithTheirHandle) {
    Owner owner;
    int first = 0;
    int second = 0;
    ObservationRegistrar::Subscription a;
    a = owner.registrar.observe([&](auto) {
        ++first;
        a.reset(); // ends itself while being told
    });
    auto b = owner.registrar.observe([&](auto) { ++second; });
    owner.revision.set(1);
    owner.revision.set(2);
    b.reset();
    owner.revision.set(3);
    EXPECT_EQ(first, 1);
    EXPECT_EQ(second, 2);
}

TEST(Observable, ReplacingASourceCancelsTheOldOne) {
    struct Probe : EventSource {
        explicit Probe(bool& gone)
            : gone_(gone) {}
        ~Probe() override { gone_ = true; }
        bool& gone_;
    };
    ObservationRegistrar registrar;
    Observable<Source> timer(registrar, "launchTimer");
    bool gone = false;
    timer.set(std::make_unique<Probe>(gone));
    EXPECT_FALSE(gone);
    timer.set(nullptr);
    EXPECT_TRUE(gone);
}

} // namespace
} // namespace sollun::platform
