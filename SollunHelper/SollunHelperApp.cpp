#include "SollunHelper/SollunHelperApp.h"

#include "platform/Localization.h"
#include "shared/ProductNames.h"

#include <utility>

namespace sollun::helper {
namespace {

MenuRow disabledRow(MenuRow::Id id, std::string title) {
    return {id, MenuRow::Kind::item, std::move(title), false, MenuRow::Action::none, {}, {}};
}

MenuRow actionRow(MenuRow::Id id, std::string title, MenuRow::Action action) {
    return {id, MenuRow::Kind::item, std::move(title), true, action, {}, {}};
}

MenuRow separatorRow(MenuRow::Id id) {
    return {id, MenuRow::Kind::separator, {}, false, MenuRow::Action::none, {}, {}};
}

} // namespace

HelperAppDelegate::HelperAppDelegate(HelperCoordinator& coordinator, std::function<void()> quit)
    : coordinator_(coordinator)
    , quit_(std::move(quit)) {
    // The status line reads the registration state and the accepted wake's alarm; the approval
    // row the registration state.
    coordinatorChanges_ = coordinator_.observe([this](std::string_view field) {
        if (field == "lastScheduledAlarm")
            changed(field);
    });
    daemonChanges_ = coordinator_.daemon().observe([this](std::string_view field) {
        if (field == "registrationState")
            changed(field);
    });
    mainApp_ = coordinator_.workspace().watchRunning(std::string(mainAppIdentifier),
                                                     [this] { changed("mainAppRuns"); });
    loginWatch_ = coordinator_.loginItem().watchStatus([this] {
        loginStatusStale_ = true;
        changed("startsAtLogin");
    });
}

HelperAppDelegate::~HelperAppDelegate() = default;

void HelperAppDelegate::changed(std::string_view field) {
    menuRegistrar_.didChange(field);
}

void HelperAppDelegate::rebuildMenu(std::vector<MenuRow>& menu) {
    if (loginStatusStale_) {
        startsAtLogin_ = coordinator_.loginItem().status() == LoginItem::enabled;
        loginStatusStale_ = false;
    }

    menu.clear();
    menu.push_back(disabledRow(MenuRow::titleRow, platform::localized("Sollun — Wake From Sleep")));
    menu.push_back(disabledRow(MenuRow::statusRow, coordinator_.statusText()));
    menu.push_back(separatorRow(MenuRow::upperSeparatorRow));

    if (coordinator_.daemon().registrationState() == WakeDaemonRegistrationState::requiresApproval)
        menu.push_back(actionRow(MenuRow::approveRow,
                                 platform::localized("Approve in Login Items…"),
                                 MenuRow::Action::approve));

    const bool mainAppRuns = mainApp_ && mainApp_->running();
    menu.push_back(actionRow(MenuRow::openRow,
                             mainAppRuns ? platform::localized("Open Sollun")
                                         : platform::localized("Launch Sollun"),
                             MenuRow::Action::openSollun));

    auto startAtLogin = actionRow(MenuRow::startAtLoginRow, platform::localized("Start at Login"),
                                  MenuRow::Action::toggleStartAtLogin);
    startAtLogin.checked = startsAtLogin_;
    menu.push_back(std::move(startAtLogin));

    menu.push_back(separatorRow(MenuRow::lowerSeparatorRow));

    auto quit = actionRow(MenuRow::quitRow, platform::localized("Quit SollunHelper"),
                          MenuRow::Action::quit);
    quit.keyEquivalent = "q";
    menu.push_back(std::move(quit));
}

void HelperAppDelegate::menuWillOpen() {
    // The entry is small and a host opens its menu by hand: reading it then covers the
    // directories nobody watches.
    loginStatusStale_ = true;
    if (mainApp_)
        mainApp_->recheck();
}

void HelperAppDelegate::approve() {
    coordinator_.daemon().requestApproval();
}

void HelperAppDelegate::openSollun(const std::string& activationToken) {
    coordinator_.openMainApp(activationToken);
}

void HelperAppDelegate::toggleStartAtLogin() {
    // Anything but enabled, a pending approval included, asks for the item to be registered.
    coordinator_.setStartAtLogin(coordinator_.loginItem().status() != LoginItem::enabled);
    // Shown at once, whether or not the platform tells of its own change.
    loginStatusStale_ = true;
    changed("startsAtLogin");
}

void HelperAppDelegate::perform(MenuRow::Action action) {
    switch (action) {
    case MenuRow::Action::none:
        return;
    case MenuRow::Action::approve:
        approve();
        return;
    case MenuRow::Action::openSollun:
        openSollun();
        return;
    case MenuRow::Action::toggleStartAtLogin:
        toggleStartAtLogin();
        return;
    case MenuRow::Action::quit:
        if (quit_)
            quit_();
        return;
    }
}

} // namespace sollun::helper
