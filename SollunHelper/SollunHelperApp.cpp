#include "SollunHelper/SollunHelperApp.h"

#include "platform/Localization.h"

#include <utility>

namespace sollun::helper {
namespace {

MenuRow disabledRow(std::string title) {
    return {MenuRow::Kind::item, std::move(title), false, MenuRow::Action::none, std::nullopt, {}};
}

MenuRow actionRow(std::string title, MenuRow::Action action) {
    return {MenuRow::Kind::item, std::move(title), true, action, std::nullopt, {}};
}

MenuRow separatorRow() {
    return {MenuRow::Kind::separator, {}, false, MenuRow::Action::none, std::nullopt, {}};
}

} // namespace

HelperAppDelegate::HelperAppDelegate(HelperCoordinator& coordinator, std::function<void()> quit)
    : coordinator_(coordinator)
    , quit_(std::move(quit)) {}

void HelperAppDelegate::rebuildMenu(std::vector<MenuRow>& menu) {
    // The status line and the approval row read the state as it is now, not as it was when the
    // coordinator last looked.
    coordinator_.daemon().refreshRegistrationState();

    menu.clear();
    menu.push_back(disabledRow(platform::localized("Sollun — Wake From Sleep")));
    menu.push_back(disabledRow(coordinator_.statusText()));
    menu.push_back(separatorRow());

    if (coordinator_.daemon().registrationState() == WakeDaemonRegistrationState::requiresApproval)
        menu.push_back(
            actionRow(platform::localized("Approve in Login Items…"), MenuRow::Action::approve));

    const bool mainAppRuns = coordinator_.workspace().isRunning(std::string(mainAppIdentifier));
    menu.push_back(actionRow(mainAppRuns ? platform::localized("Open Sollun")
                                         : platform::localized("Launch Sollun"),
                             MenuRow::Action::openSollun));

    auto startAtLogin =
        actionRow(platform::localized("Start at Login"), MenuRow::Action::toggleStartAtLogin);
    startAtLogin.checked = coordinator_.loginItem().status() == LoginItem::enabled;
    menu.push_back(std::move(startAtLogin));

    menu.push_back(separatorRow());

    auto quit = actionRow(platform::localized("Quit SollunHelper"), MenuRow::Action::quit);
    quit.keyEquivalent = "q";
    menu.push_back(std::move(quit));
}

void HelperAppDelegate::approve() {
    coordinator_.daemon().requestApproval();
}

void HelperAppDelegate::openSollun() {
    coordinator_.openMainApp();
}

void HelperAppDelegate::toggleStartAtLogin() {
    // Anything but enabled, a pending approval included, asks for the item to be registered.
    coordinator_.setStartAtLogin(coordinator_.loginItem().status() != LoginItem::enabled);
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
