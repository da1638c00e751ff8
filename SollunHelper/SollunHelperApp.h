#pragma once

// The helper's shell: its only user interface is the menu of its status item. The menu is always
// complete and current: HelperAppDelegate fills it from what the helper already holds (never
// waiting for a bus or a scan), and tells its observers whenever something the rows show may have
// changed: the daemon's registration state, the alarm of the accepted wake, whether Sollun runs,
// and the helper's start at login. The menu then fills itself anew and keeps what differs.

#include "SollunHelper/HelperCoordinator.h"
#include "platform/Observable.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sollun::helper {

struct MenuRow {
    enum class Kind { item, separator };
    enum class Action { none, approve, openSollun, toggleStartAtLogin, quit };
    // Each row's id, fixed by its role for the life of the process: a row that comes or goes
    // never moves another one's. A row that is not shown leaves its id unused.
    enum Id : std::int32_t {
        titleRow = 1,
        statusRow,
        upperSeparatorRow,
        approveRow,
        openRow,
        startAtLoginRow,
        lowerSeparatorRow,
        quitRow,
    };

    std::int32_t id = 0;
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
    // `quit` ends the program the normal way. Starts watching what the rows show.
    HelperAppDelegate(HelperCoordinator& coordinator, std::function<void()> quit);
    ~HelperAppDelegate();
    HelperAppDelegate(const HelperAppDelegate&) = delete;
    HelperAppDelegate& operator=(const HelperAppDelegate&) = delete;

    // Fills `menu` anew with the rows as they stand. Reads nothing but the helper's own state,
    // and the login item's entry when word came that it changed.
    void rebuildMenu(std::vector<MenuRow>& menu);

    // Tells `observer` (synchronously, with the field's name) whenever what rebuildMenu() gives
    // may have changed; bursts are the observer's to fold.
    platform::ObservationRegistrar::Subscription
    observeMenu(platform::ObservationRegistrar::Observer observer) {
        return menuRegistrar_.observe(std::move(observer));
    }
    // A host is about to show the menu: what no notice covers is looked at again (the login
    // item's entry at the next rebuild, Sollun's processes in the background).
    void menuWillOpen();

    // What the rows do. `activationToken` raises Sollun's window where the desktop gave one.
    void approve();
    void openSollun(const std::string& activationToken = {});
    void toggleStartAtLogin();
    void perform(MenuRow::Action action);

private:
    void changed(std::string_view field);

    HelperCoordinator& coordinator_;
    std::function<void()> quit_;

    platform::ObservationRegistrar menuRegistrar_;
    // The login item's status as last read; read again at the next rebuild once stale.
    bool startsAtLogin_ = false;
    bool loginStatusStale_ = true;
    std::unique_ptr<Workspace::RunningWatch> mainApp_;
    std::unique_ptr<LoginItem::Watch> loginWatch_;
    platform::ObservationRegistrar::Subscription coordinatorChanges_;
    platform::ObservationRegistrar::Subscription daemonChanges_;
};

} // namespace sollun::helper
