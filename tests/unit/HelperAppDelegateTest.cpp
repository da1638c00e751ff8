#include "SollunHelper/SollunHelperApp.h"
#include "platform/Log.h"
#include "tests/support/FakeDaemonTransport.h"
#include "tests/support/FakeEventLoop.h"
#include "tests/support/FakeLoginItem.h"
#include "tests/support/FakeWorkspace.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace sollun::helper {
namespace {

using namespace test;
using Action = MenuRow::Action;

MenuRow item(std::string title, Action action, std::optional<bool> checked = std::nullopt,
             std::string key = {}) {
    return {MenuRow::Kind::item, std::move(title), action != Action::none, action, checked, key};
}

// The whole menu as it must read for one state of the world.
std::vector<MenuRow> expectedMenu(const std::string& statusLine, bool approval, bool mainAppRuns,
                                  bool startsAtLogin) {
    const MenuRow separator{MenuRow::Kind::separator, {}, false, Action::none, {}, {}};
    std::vector<MenuRow> rows{item("Sollun \xE2\x80\x94 Wake From Sleep", Action::none),
                              item(statusLine, Action::none), separator};
    if (approval)
        rows.push_back(item("Approve in Login Items\xE2\x80\xA6", Action::approve));
    rows.push_back(item(mainAppRuns ? "Open Sollun" : "Launch Sollun", Action::openSollun));
    rows.push_back(item("Start at Login", Action::toggleStartAtLogin, startsAtLogin));
    rows.push_back(separator);
    rows.push_back(item("Quit SollunHelper", Action::quit, std::nullopt, "q"));
    return rows;
}

class HelperAppDelegateTest : public ::testing::Test {
protected:
    HelperAppDelegateTest() {
        auto workspaceOwned = std::make_unique<FakeWorkspace>();
        auto loginOwned = std::make_unique<FakeLoginItem>();
        workspace = workspaceOwned.get();
        loginItem = loginOwned.get();
        coordinator = std::make_unique<HelperCoordinator>(
            loop,
            std::make_unique<WakeDaemonController>(loop,
                                                   std::make_unique<FakeDaemonService>(service),
                                                   std::make_shared<FakeConnector>()),
            std::move(workspaceOwned), std::make_unique<FakeSystemWake>(), std::move(loginOwned));
        delegate = std::make_unique<HelperAppDelegate>(*coordinator, [this] { ++quits; });
    }

    std::vector<MenuRow> rebuilt() {
        // Whatever the menu held before goes.
        std::vector<MenuRow> menu(9, item("stale", Action::quit));
        delegate->rebuildMenu(menu);
        return menu;
    }

    // approvals, URLs opened, login item registrations and unregistrations, quits
    std::vector<int> effects() const {
        return {service.approvals, static_cast<int>(workspace->urls.size()),
                loginItem->registrations, loginItem->unregistrations, quits};
    }

    FakeEventLoop loop;
    platform::ScopedMemoryLog log;
    ServiceScript service;
    FakeWorkspace* workspace = nullptr;
    FakeLoginItem* loginItem = nullptr;
    std::unique_ptr<HelperCoordinator> coordinator;
    int quits = 0;
    std::unique_ptr<HelperAppDelegate> delegate;
};

TEST_F(HelperAppDelegateTest, RowsForEveryRegistrationState) {
    const std::tuple<std::int64_t, const char*, bool> cases[] = {
        {serviceEnabled, "Active \xE2\x80\x94 no upcoming alarm", false},
        {serviceRequiresApproval, "Waiting for approval in Login Items", true},
        {serviceNotRegistered, "Not set up", false},
        {serviceNotFound, "Not set up", false},
        {4, "Checking\xE2\x80\xA6", false},
        {-1, "Checking\xE2\x80\xA6", false},
    };
    for (const auto& [status, statusLine, approval] : cases) {
        SCOPED_TRACE(status);
        // Only the rebuild's own refresh can notice the new state.
        service.status = status;
        const auto menu = rebuilt();
        EXPECT_EQ(menu, expectedMenu(statusLine, approval, false, false));
        EXPECT_EQ(menu.size(), approval ? 8u : 7u);
        EXPECT_EQ(menu[1].title, coordinator->statusText());
    }
}

TEST_F(HelperAppDelegateTest, OpenOrLaunchAndTheCheckMarkFollowTheWorldAtRebuildTime) {
    // login item status, main application running, check mark
    const std::tuple<std::int64_t, bool, bool> cases[] = {{LoginItem::enabled, false, true},
                                                          {0, true, false},
                                                          {2, false, false},
                                                          {3, true, false},
                                                          {-5, false, false}};
    for (const auto& [status, running, checked] : cases) {
        SCOPED_TRACE(status);
        loginItem->currentStatus = status;
        workspace->running = running;
        auto menu = rebuilt();
        EXPECT_EQ(menu,
                  expectedMenu("Active \xE2\x80\x94 no upcoming alarm", false, running, checked));
        // A built menu does not follow the world.
        workspace->running = !running;
        EXPECT_EQ(menu[3].title, running ? "Open Sollun" : "Launch Sollun");
    }
}

TEST_F(HelperAppDelegateTest, EachActionDoesItsOwnThingOnly) {
    const std::tuple<Action, std::int64_t, std::vector<int>> cases[] = {
        {Action::approve, 0, {1, 0, 0, 0, 0}},
        {Action::openSollun, 0, {0, 1, 0, 0, 0}},
        {Action::toggleStartAtLogin, 0, {0, 0, 1, 0, 0}},
        // Anything but enabled, waiting for approval included, asks for registration.
        {Action::toggleStartAtLogin, 2, {0, 0, 1, 0, 0}},
        {Action::toggleStartAtLogin, 3, {0, 0, 1, 0, 0}},
        {Action::toggleStartAtLogin, LoginItem::enabled, {0, 0, 0, 1, 0}},
        {Action::quit, 0, {0, 0, 0, 0, 1}},
        {Action::none, 0, {0, 0, 0, 0, 0}},
    };
    for (const auto& [action, loginStatus, expected] : cases) {
        SCOPED_TRACE(testing::Message() << "action " << static_cast<int>(action)
                                        << ", login item status " << loginStatus);
        service.approvals = quits = loginItem->registrations = loginItem->unregistrations = 0;
        workspace->urls.clear();
        loginItem->currentStatus = loginStatus;
        delegate->perform(action);
        loop.runPending();
        EXPECT_EQ(effects(), expected);
        EXPECT_EQ(workspace->urls, std::vector<std::string>(expected[1], "sollun://show"));
    }
    HelperAppDelegate withoutQuit(*coordinator, nullptr);
    withoutQuit.perform(Action::quit);
}

TEST_F(HelperAppDelegateTest, TheCheckMarkFollowsTheLoginItemNotTheLastClick) {
    delegate->toggleStartAtLogin();
    EXPECT_EQ(rebuilt()[4].checked, true);
    loginItem->failure = "the desktop refused";
    delegate->toggleStartAtLogin();
    EXPECT_EQ(loginItem->unregistrations, 1);
    EXPECT_EQ(rebuilt()[4].checked, true);
}

} // namespace
} // namespace sollun::helper
