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
// shell restarted, or started after the helper). Registration is asynchronous and its outcome is
// ignored; without any watcher (a session without a tray) the item serves its objects all the
// same.
//
// Activate, SecondaryActivate, ContextMenu and Scroll do nothing: a host opens the menu itself.
// Everything runs on the loop the bus is attached to.

#include <systemd/sd-bus.h>

#include <memory>
#include <string>
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
    };

    // Exports the item on `bus` (which it keeps a reference to), takes its name and registers
    // it with the watcher, if there is one. Gives the error when the object cannot be exported
    // or the name cannot be had.
    static std::variant<std::unique_ptr<StatusNotifierItem>, std::error_code>
    start(sd_bus* bus, Options options);

    // The helper's own icon theme directory, shipped with the program:
    // <prefix>/share/sollun-helper/ icons beside the executable's <prefix>/bin, in the build tree
    // as in an installation; "" when its theme or icon is not there.
    static std::string shippedIconThemePath();

    ~StatusNotifierItem();
    StatusNotifierItem(const StatusNotifierItem&) = delete;
    StatusNotifierItem& operator=(const StatusNotifierItem&) = delete;

    // org.kde.StatusNotifierItem-<pid>-<instance>.

private:
    StatusNotifierItem(sd_bus* bus, Options options);

    static const sd_bus_vtable* vtable();
    static int onProperty(sd_bus* bus, const char* path, const char* interface,
                          const char* property, sd_bus_message* reply, void* userdata,
                          sd_bus_error* error);
    static int onIgnoredCall(sd_bus_message* message, void* userdata, sd_bus_error* error);
    static int onWatcherOwnerChanged(sd_bus_message* message, void* userdata, sd_bus_error* error);
    static int onMatchInstalled(sd_bus_message* message, void* userdata, sd_bus_error* error);
    static int onRegistered(sd_bus_message* message, void* userdata, sd_bus_error* error);

    void registerWithWatcher();

    sd_bus* bus_;
    Options options_;
    std::string busName_;
    sd_bus_slot* objectSlot_ = nullptr;
    sd_bus_slot* watcherMatch_ = nullptr;
    sd_bus_slot* registration_ = nullptr;
    bool ownsName_ = false;
};

} // namespace sollun::helper
