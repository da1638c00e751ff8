#pragma once

// The status item's menu as a desktop's tray shows it: com.canonical.dbusmenu (version 3) at
// /MenuBar on the session bus.
//
// The menu is a root (id 0, shown as a submenu) holding the rows of HelperAppDelegate's last
// rebuild, each under the id of its role (MenuRow::Id), so that an id names the same row for the
// life of the process. The layout is complete from the start: a host may read it at any moment,
// announced or not, and finds the rows as the menu would show them then.
//
// The rows are filled anew whenever the delegate says something they show may have changed (once
// per loop iteration however many changes came), and when a host is about to show the menu
// (AboutToShow(0), or AboutToShowGroup with 0 among the ids), after the delegate has looked again
// at what no notice covers. What differs from the served rows is announced: rows whose label,
// enabled state, toggle or shortcut changed in ItemsPropertiesUpdated (with the properties they
// lost in removedProps), then, for rows added or removed and for hosts that only refetch on it,
// LayoutUpdated(revision, 0) with a new revision. Rows that did not change announce nothing and
// keep the revision; AboutToShow answers whether anything changed.
//
// Items carry "label" (with '_' doubled: hosts read a single one as a mnemonic), "enabled",
// "type" "separator" for separators, "toggle-type" "checkmark" with "toggle-state" 1 or 0 for a
// row with a check mark, and "shortcut" [["Control", key]] for a row with a key equivalent.
//
// A "clicked" event (Event or EventGroup) on an enabled row with an action has the delegate
// perform it, as a task posted to the loop: after the reply has gone, never inside the bus's
// dispatch. A click on an action that is still waiting to run counts once. Other events, and
// clicks on the root, a separator or a disabled row, are ignored; so is a click on an id the
// menu does not show now (a host's layout from before the row went), which Event answers
// without an error and EventGroup lists in idErrors. The other calls answer InvalidArgs for an
// id the menu does not show, and AboutToShowGroup lists such ids in idErrors.
//
// Every handler does work in proportion to its request and the eight rows, and nothing else (an
// opening reads the login item's small entry too): a host may call at a high rate. Everything runs
// on the loop's thread; the bus must be attached to the loop that is given.

#include "SollunHelper/SollunHelperApp.h"
#include "platform/EventLoop.h"
#include "platform/linux/SdBus.h"

#include <systemd/sd-bus.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <system_error>
#include <variant>
#include <vector>

namespace sollun::helper {

inline constexpr const char* dbusMenuPath = "/MenuBar";
inline constexpr const char* dbusMenuInterface = "com.canonical.dbusmenu";

class DBusMenu {
public:
    // Exports the menu at /MenuBar on `bus`, which it keeps a reference to. Gives the error when
    // the object cannot be exported (the path already serves the interface, no memory).
    static std::variant<std::unique_ptr<DBusMenu>, std::error_code>
    start(sd_bus* bus, platform::EventLoop& loop, HelperAppDelegate& delegate);

    DBusMenu(const DBusMenu&) = delete;
    DBusMenu& operator=(const DBusMenu&) = delete;

    // Fills the rows anew and announces what changed; gives whether anything did.
    bool refresh();

    const std::vector<MenuRow>& rows() const { return rows_; }
    std::uint32_t revision() const { return revision_; }

private:
    DBusMenu(sd_bus* bus, platform::EventLoop& loop, HelperAppDelegate& delegate);

    static int onGetLayout(sd_bus_message* message, void* userdata, sd_bus_error* error);
    static int onGetGroupProperties(sd_bus_message* message, void* userdata, sd_bus_error* error);
    static int onGetProperty(sd_bus_message* message, void* userdata, sd_bus_error* error);
    static int onEvent(sd_bus_message* message, void* userdata, sd_bus_error* error);
    static int onEventGroup(sd_bus_message* message, void* userdata, sd_bus_error* error);
    static int onAboutToShow(sd_bus_message* message, void* userdata, sd_bus_error* error);
    static int onAboutToShowGroup(sd_bus_message* message, void* userdata, sd_bus_error* error);
    static int onProperty(sd_bus* bus, const char* path, const char* interface,
                          const char* property, sd_bus_message* reply, void* userdata,
                          sd_bus_error* error);

    static const sd_bus_vtable* vtable();

    // The row shown under `id`; nothing for the root and for ids not shown.
    const MenuRow* rowOf(std::int32_t id) const;
    // Whether `id` names the root or one of the rows shown.
    bool known(std::int32_t id) const;
    void clicked(std::int32_t id);
    void refreshSoon();
    void announceProperties(const std::vector<MenuRow>& before);

    platform::BusRef bus_;
    platform::BusSlot slot_;
    platform::EventLoop& loop_;
    HelperAppDelegate& delegate_;

    platform::ObservationRegistrar::Subscription menuChanges_;
    std::vector<MenuRow> rows_;
    std::uint32_t revision_ = 1;
    platform::Source pendingRefresh_;
    // Clicks deferred to the loop whose actions have not run yet, by MenuRow::Action.
    std::array<platform::Source, 5> pendingActions_;
};

} // namespace sollun::helper
