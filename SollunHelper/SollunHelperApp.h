#pragma once

// The helper's shell: its only user interface is the menu of its status item. The menu is not
// kept up to date while closed: HelperAppDelegate empties and refills it every time it is about
// to be shown, so that every row reflects the state of that moment.

#include "SollunHelper/HelperCoordinator.h"

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sollun::helper {

// The helper's identifier, also its single-instance name on the session bus.
using trust::helperIdentifier;

struct MenuRow {
    enum class Kind { item, separator };
    enum class Action { none, approve, openSollun, toggleStartAtLogin, quit };

    Kind kind = Kind::item;
    std::string title;
    bool enabled = false;
    Action action = Action::none;
    // A row with a check mark: on or off.
    std::optional<bool> checked;
    // The key that chooses the row together with the platform's primary modifier ("q").
    std::string keyEquivalent;

    bool operator==(const MenuRow&) const = default;
};

class HelperAppDelegate {
public:
    // `coordinator` is the process's coordinator (HelperCoordinator::shared() in the program);
    // `quit` ends the program the normal way.
    HelperAppDelegate(HelperCoordinator& coordinator, std::function<void()> quit);

    // Refreshes the daemon's registration state and fills `menu` anew.
    void rebuildMenu(std::vector<MenuRow>& menu);

    // What the rows do.
    void approve();
    void openSollun();
    void toggleStartAtLogin();
    void perform(MenuRow::Action action);

private:
    HelperCoordinator& coordinator_;
    std::function<void()> quit_;
};

} // namespace sollun::helper
