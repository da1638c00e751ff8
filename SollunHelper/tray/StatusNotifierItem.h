#pragma once

// The helper's icon in the desktop's tray: an org.kde.StatusNotifierItem at /StatusNotifierItem,
// under the name org.kde.StatusNotifierItem-<pid>-<instance> on the session bus. The item is
// only a menu (ItemIsMenu): its Menu is the DBusMenu at /MenuBar on the same connection. Its icon
// is the full-colour "sollun-helper", looked up in IconThemePath first when one is given, and
// served as pixels too (IconPixmap) for hosts that find it nowhere. Nothing about it changes
// while it runs.
//
// A tray learns of the item through org.kde.StatusNotifierWatcher: the item registers its name
// there when it starts, and again every time the watcher's name gets a new owner (the desktop's
// shell restarted, or started after the helper). A watcher may also drop an item while it runs
// (one starting up with the shell does): whenever the watcher says it unregistered this item
// (StatusNotifierItemUnregistered with the item's name or unique name, with or without a path
// after it), once a registration has been answered, and whenever a tray host registers with it,
// the item reads the watcher's RegisteredStatusNotifierItems, and registers again when it is not
// among them (or, after a drop, when the list cannot be read). A watcher that keeps dropping the
// item is asked again less and less often, down to once a minute. All of this is asynchronous and
// driven by the watcher's signals: nothing is asked of the bus while nothing happens, and without
// any watcher (a session without a tray) the item serves its objects all the same.
//
// Activate (a host's left click, where it does not open the menu itself) does what the menu's
// "Open Sollun" row does, as a task posted to the loop after the reply. A host may first hand over
// an activation token with ProvideXdgActivationToken; the next activation passes it on to raise
// Sollun's window, and it is used once. SecondaryActivate, ContextMenu (hosts open the menu
// themselves) and Scroll do nothing. Everything runs on the loop the bus is attached to.

#include "platform/EventLoop.h"
#include "platform/linux/SdBus.h"

#include <systemd/sd-bus.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>
#include <variant>

namespace sollun::helper {

inline constexpr const char* statusNotifierItemPath = "/StatusNotifierItem";
inline constexpr const char* statusNotifierItemInterface = "org.kde.StatusNotifierItem";
inline constexpr const char* statusNotifierWatcherName = "org.kde.StatusNotifierWatcher";
inline constexpr const char* statusNotifierWatcherPath = "/StatusNotifierWatcher";
inline constexpr const char* statusNotifierIconName = "sollun-helper";

class StatusNotifierItem {
public:
    struct Options {
        // A directory holding an icon theme tree with the item's icon ("" when there is none).
        std::string iconThemePath;
        // Tells the items of one process apart in their bus names.
        int instance = 1;
        // What a host's Activate does, with the activation token the host gave for it ("" when
        // none).
        std::function<void(const std::string& activationToken)> activate;
    };

    // Exports the item on `bus` (which it keeps a reference to, and which is attached to
    // `loop`), takes its name and registers it with the watcher, if there is one. Gives the
    // error when the object cannot be exported or the name cannot be had.
    static std::variant<std::unique_ptr<StatusNotifierItem>, std::error_code>
    start(sd_bus* bus, platform::EventLoop& loop, Options options);

    // The helper's own icon theme directory, shipped with the program:
    // <prefix>/share/sollun-helper/ icons beside the executable's <prefix>/bin, in the build tree
    // as in an installation; "" when its theme or icon is not there.
    static std::string shippedIconThemePath();

    ~StatusNotifierItem();
    StatusNotifierItem(const StatusNotifierItem&) = delete;
    StatusNotifierItem& operator=(const StatusNotifierItem&) = delete;

private:
    StatusNotifierItem(sd_bus* bus, platform::EventLoop& loop, Options options);

    static const sd_bus_vtable* vtable();
    static int onProperty(sd_bus* bus, const char* path, const char* interface,
                          const char* property, sd_bus_message* reply, void* userdata,
                          sd_bus_error* error);
    static int onIgnoredCall(sd_bus_message* message, void* userdata, sd_bus_error* error);
    static int onActivate(sd_bus_message* message, void* userdata, sd_bus_error* error);
    static int onProvideToken(sd_bus_message* message, void* userdata, sd_bus_error* error);
    static int onWatcherOwnerChanged(sd_bus_message* message, void* userdata, sd_bus_error* error);
    static int onItemUnregistered(sd_bus_message* message, void* userdata, sd_bus_error* error);
    static int onHostRegistered(sd_bus_message* message, void* userdata, sd_bus_error* error);
    static int onMatchInstalled(sd_bus_message* message, void* userdata, sd_bus_error* error);
    static int onRegistered(sd_bus_message* message, void* userdata, sd_bus_error* error);
    static int onListed(sd_bus_message* message, void* userdata, sd_bus_error* error);

    // Registers the item's name; `check` reads the watcher's list once it has answered.
    void registerWithWatcher(bool check);
    // Registers again after the watcher lost the item; soon after the last time, only after a
    // delay that grows.
    void registerAgain();
    // Reads the watcher's list and registers again when the item is not in it; when
    // `registerIfUnread`, also when the list cannot be read.
    void checkListed(bool registerIfUnread);
    // Whether a watcher's entry ("<bus name>[/<path>]") is this item.
    bool isThisItem(std::string_view entry) const;

    platform::BusRef bus_;
    platform::EventLoop& loop_;
    Options options_;
    std::string busName_;
    platform::BusSlot objectSlot_;
    platform::BusSlot watcherMatch_;
    platform::BusSlot unregisteredMatch_;
    platform::BusSlot hostMatch_;
    platform::BusSlot registration_;
    platform::BusSlot listQuery_;
    bool ownsName_ = false;
    bool checkAfterRegistration_ = false;
    bool registerIfUnread_ = false;
    std::chrono::steady_clock::time_point lastRegisteredAgain_{};
    std::chrono::milliseconds registerAgainDelay_{};
    platform::Source registerAgainTimer_;

    std::string activationToken_;
    platform::Source pendingActivation_;
};

} // namespace sollun::helper
