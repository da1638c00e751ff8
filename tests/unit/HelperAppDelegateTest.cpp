#include "SollunHelper/SollunHelperApp.h"
#include "platform/Log.h"
#include "tests/support/DelegateOverFakes.h"
#include "tests/support/FakeEventLoop.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

namespace sollun::helper {
namespace {

using namespace test;
using Action = MenuRow::Action;

MenuRow item(std::string title, Action action, std::optional<bool> checked = std::nullopt,
             std::string key = {}) {
    return {MenuRow::Kind::item, std::move(title), action != Action::none, action, checked, key};
}

class HelperAppDelegateTest : public ::testing::Test {
protected:
    FakeEventLoop loop;
    platform::ScopedMemoryLog log;
    DelegateOverFakes fakes{loop};
};

// Each rebuild reads the world as it is then, the registration state included (only the
// rebuild's own refresh can notice it changed), and replaces whatever the menu held.
TEST_F(HelperAppDelegateTest, EveryRebuildReadsTheWorldAsItIsThen) {
    const struct {
        std::int64_t service;
        std::int64_t loginItem;
        bool mainAppRuns;
    } cases[] = {
        {serviceEnabled, 0, false},
        {serviceRequiresApproval, LoginItem::enabled, true},
        {serviceNotFound, 3, false}, // a login item status other than enabled: no check mark
        {-1, 2, true},
    };
    const MenuRow separator{MenuRow::Kind::separator, {}, false, Action::none, {}, {}};
    std::vector<MenuRow> menu(9, item("stale", Action::quit));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.service);
        fakes.service.status = c.service;
        fakes.loginItem->currentStatus = c.loginItem;
        fakes.workspace->running = c.mainAppRuns;
        fakes.delegate.rebuildMenu(menu);

        std::vector<MenuRow> expected{item("Sollun \xE2\x80\x94 Wake From Sleep", Action::none),
                                      item(fakes.coordinator.statusText(), Action::none),
                                      separator};
        if (c.service == serviceRequiresApproval)
            expected.push_back(item("Approve in Login Items\xE2\x80\xA6", Action::approve));
        expected.push_back(
            item(c.mainAppRuns ? "Open Sollun" : "Launch Sollun", Action::openSollun));
        expected.push_back(
            item("Start at Login", Action::toggleStartAtLogin, c.loginItem == LoginItem::enabled));
        expected.push_back(separator);
        expected.push_back(item("Quit SollunHelper", Action::quit, std::nullopt, "q"));
        EXPECT_EQ(menu, expected);
    }
}

TEST_F(HelperAppDelegateTest, EachActionDoesItsOwnThingOnly) {
    // action, login item status, then approvals, URLs opened, login item registrations and
    // unregistrations, quits
    const std::tuple<Action, std::int64_t, std::vector<int>> cases[] = {
        {Action::approve, 0, {1, 0, 0, 0, 0}},
        {Action::openSollun, 0, {0, 1, 0, 0, 0}},
        // Anything but enabled, waiting for approval included, asks for registration.
        {Action::toggleStartAtLogin, 0, {0, 0, 1, 0, 0}},
        {Action::toggleStartAtLogin, 2, {0, 0, 1, 0, 0}},
        {Action::toggleStartAtLogin, LoginItem::enabled, {0, 0, 0, 1, 0}},
        {Action::quit, 0, {0, 0, 0, 0, 1}},
        {Action::none, 0, {0, 0, 0, 0, 0}},
    };
    for (const auto& [action, loginStatus, expected] : cases) {
        SCOPED_TRACE(testing::Message() << "action " << static_cast<int>(action)
                                        << ", login item status " << loginStatus);
        fakes.forgetEffects();
        fakes.loginItem->currentStatus = loginStatus;
        fakes.delegate.perform(action);
        loop.runPending();
        EXPECT_EQ(fakes.effects(), expected);
        EXPECT_EQ(fakes.workspace->urls, std::vector<std::string>(expected[1], "sollun://show"));
    }
    HelperAppDelegate(fakes.coordinator, nullptr).perform(Action::quit); // no quit: nothing
}

} // namespace
} // namespace sollun::helper
