#include "SollunHelper/linux/StatusNotifierItem.h"

#include "SollunHelper/SollunHelperApp.h"
#include "SollunHelper/linux/DBusMenu.h"
#include "SollunHelper/linux/TrayIconPixmaps.h"
#include "platform/Installation.h"

#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string_view>

namespace sollun::helper {
namespace {

constexpr const char* title = "SollunHelper";

// The watcher's name, and nothing else, changing hands; sent by the bus itself.
constexpr const char* watcherOwnerRule =
    "type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',"
    "interface='org.freedesktop.DBus',member='NameOwnerChanged',"
    "arg0='org.kde.StatusNotifierWatcher'";

// a(iiay) without a single pixmap.
int appendNoPixmaps(sd_bus_message* reply) {
    int r = sd_bus_message_open_container(reply, SD_BUS_TYPE_ARRAY, "(iiay)");
    if (r >= 0)
        r = sd_bus_message_close_container(reply);
    return r;
}

} // namespace

const sd_bus_vtable* StatusNotifierItem::vtable() {
    constexpr auto constant = SD_BUS_VTABLE_PROPERTY_CONST;
    static const sd_bus_vtable table[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_PROPERTY("Category", "s", &StatusNotifierItem::onProperty, 0, constant),
        SD_BUS_PROPERTY("Id", "s", &StatusNotifierItem::onProperty, 0, constant),
        SD_BUS_PROPERTY("Title", "s", &StatusNotifierItem::onProperty, 0, constant),
        SD_BUS_PROPERTY("Status", "s", &StatusNotifierItem::onProperty, 0, constant),
        SD_BUS_PROPERTY("WindowId", "i", &StatusNotifierItem::onProperty, 0, constant),
        SD_BUS_PROPERTY("IconThemePath", "s", &StatusNotifierItem::onProperty, 0, constant),
        SD_BUS_PROPERTY("IconName", "s", &StatusNotifierItem::onProperty, 0, constant),
        SD_BUS_PROPERTY("IconPixmap", "a(iiay)", &StatusNotifierItem::onProperty, 0, constant),
        SD_BUS_PROPERTY("OverlayIconName", "s", &StatusNotifierItem::onProperty, 0, constant),
        SD_BUS_PROPERTY("OverlayIconPixmap", "a(iiay)", &StatusNotifierItem::onProperty, 0,
                        constant),
        SD_BUS_PROPERTY("AttentionIconName", "s", &StatusNotifierItem::onProperty, 0, constant),
        SD_BUS_PROPERTY("AttentionIconPixmap", "a(iiay)", &StatusNotifierItem::onProperty, 0,
                        constant),
        SD_BUS_PROPERTY("AttentionMovieName", "s", &StatusNotifierItem::onProperty, 0, constant),
        SD_BUS_PROPERTY("ToolTip", "(sa(iiay)ss)", &StatusNotifierItem::onProperty, 0, constant),
        SD_BUS_PROPERTY("ItemIsMenu", "b", &StatusNotifierItem::onProperty, 0, constant),
        SD_BUS_PROPERTY("Menu", "o", &StatusNotifierItem::onProperty, 0, constant),
        SD_BUS_METHOD_WITH_ARGS("ContextMenu", SD_BUS_ARGS("i", x, "i", y), SD_BUS_NO_RESULT,
                                &StatusNotifierItem::onIgnoredCall, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_METHOD_WITH_ARGS("Activate", SD_BUS_ARGS("i", x, "i", y), SD_BUS_NO_RESULT,
                                &StatusNotifierItem::onIgnoredCall, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_METHOD_WITH_ARGS("SecondaryActivate", SD_BUS_ARGS("i", x, "i", y), SD_BUS_NO_RESULT,
                                &StatusNotifierItem::onIgnoredCall, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_METHOD_WITH_ARGS("Scroll", SD_BUS_ARGS("i", delta, "s", orientation),
                                SD_BUS_NO_RESULT, &StatusNotifierItem::onIgnoredCall,
                                SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_SIGNAL("NewTitle", "", 0),
        SD_BUS_SIGNAL("NewIcon", "", 0),
        SD_BUS_SIGNAL("NewAttentionIcon", "", 0),
        SD_BUS_SIGNAL("NewOverlayIcon", "", 0),
        SD_BUS_SIGNAL("NewToolTip", "", 0),
        SD_BUS_SIGNAL_WITH_ARGS("NewStatus", SD_BUS_ARGS("s", status), 0),
        SD_BUS_VTABLE_END,
    };
    return table;
}

StatusNotifierItem::StatusNotifierItem(sd_bus* bus, Options options)
    : bus_(sd_bus_ref(bus))
    , options_(std::move(options))
    , busName_("org.kde.StatusNotifierItem-" + std::to_string(getpid()) + "-" +
               std::to_string(options_.instance)) {}

StatusNotifierItem::~StatusNotifierItem() {
    sd_bus_slot_unref(registration_);
    sd_bus_slot_unref(watcherMatch_);
    sd_bus_slot_unref(objectSlot_);
    // The tray drops the item when its name goes; the bus may well outlive the item.
    if (ownsName_ && sd_bus_is_open(bus_) > 0)
        sd_bus_release_name_async(bus_, nullptr, busName_.c_str(), nullptr, nullptr);
    sd_bus_unref(bus_);
}

std::variant<std::unique_ptr<StatusNotifierItem>, std::error_code>
StatusNotifierItem::start(sd_bus* bus, Options options) {
    std::unique_ptr<StatusNotifierItem> self(new StatusNotifierItem(bus, std::move(options)));
    int r = sd_bus_add_object_vtable(bus, &self->objectSlot_, statusNotifierItemPath,
                                     statusNotifierItemInterface, vtable(), self.get());
    // The rule goes to the bus before the registration below: a watcher that appears after the
    // bus has handled the registration is then announced to us.
    if (r >= 0)
        r = sd_bus_add_match_async(bus, &self->watcherMatch_, watcherOwnerRule,
                                   &StatusNotifierItem::onWatcherOwnerChanged,
                                   &StatusNotifierItem::onMatchInstalled, self.get());
    // Once, at start, and quick: the bus answers it itself.
    if (r >= 0 && (r = sd_bus_request_name(bus, self->busName_.c_str(), 0)) >= 0)
        self->ownsName_ = true;
    if (r < 0)
        return std::error_code(-r, std::system_category());
    self->registerWithWatcher();
    return self;
}

std::string StatusNotifierItem::shippedIconThemePath() {
    const auto prefix = platform::installPrefix();
    if (!prefix)
        return {};
    // A theme directory, as hosts look for it there: hicolor with its index.theme.
    const auto icons = *prefix / "share" / "sollun-helper" / "icons";
    const auto theme = icons / "hicolor";
    const auto icon =
        theme / "scalable" / "status" / (std::string(statusNotifierIconName) + ".svg");
    std::error_code error;
    return std::filesystem::is_regular_file(theme / "index.theme", error) &&
                   std::filesystem::is_regular_file(icon, error)
               ? icons.string()
               : std::string();
}

void StatusNotifierItem::registerWithWatcher() {
    // A registration still on its way is superseded: its answer no longer matters.
    registration_ = sd_bus_slot_unref(registration_);
    sd_bus_call_method_async(bus_, &registration_, statusNotifierWatcherName,
                             statusNotifierWatcherPath, statusNotifierWatcherName,
                             "RegisterStatusNotifierItem", &StatusNotifierItem::onRegistered, this,
                             "s", busName_.c_str());
}

int StatusNotifierItem::onRegistered(sd_bus_message*, void* userdata, sd_bus_error*) {
    // No watcher, or one that refused: either way a later owner of its name gets asked again.
    auto& self = *static_cast<StatusNotifierItem*>(userdata);
    self.registration_ = sd_bus_slot_unref(self.registration_);
    return 0;
}

int StatusNotifierItem::onMatchInstalled(sd_bus_message*, void*, sd_bus_error*) {
    // Handled here so that a failure does not close the connection; without the rule a
    // restarted tray just does not learn of the item.
    return 0;
}

int StatusNotifierItem::onWatcherOwnerChanged(sd_bus_message* message, void* userdata,
                                              sd_bus_error*) {
    const char* name = nullptr;
    const char* oldOwner = nullptr;
    const char* newOwner = nullptr;
    if (sd_bus_message_read(message, "sss", &name, &oldOwner, &newOwner) < 0)
        return 0;
    if (std::strcmp(name, statusNotifierWatcherName) == 0 && newOwner[0] != '\0')
        static_cast<StatusNotifierItem*>(userdata)->registerWithWatcher();
    return 0;
}

int StatusNotifierItem::onIgnoredCall(sd_bus_message* message, void*, sd_bus_error*) {
    return sd_bus_reply_method_return(message, "");
}

int StatusNotifierItem::onProperty(sd_bus*, const char*, const char*, const char* property,
                                   sd_bus_message* reply, void* userdata, sd_bus_error*) {
    const auto& self = *static_cast<StatusNotifierItem*>(userdata);
    const std::string_view name = property;
    if (name == "Category")
        return sd_bus_message_append(reply, "s", "ApplicationStatus");
    if (name == "Id")
        return sd_bus_message_append(reply, "s", std::string(helperIdentifier).c_str());
    if (name == "Title")
        return sd_bus_message_append(reply, "s", title);
    if (name == "Status")
        return sd_bus_message_append(reply, "s", "Active");
    if (name == "WindowId")
        return sd_bus_message_append(reply, "i", std::int32_t{0});
    if (name == "IconThemePath")
        return sd_bus_message_append(reply, "s", self.options_.iconThemePath.c_str());
    if (name == "IconName")
        return sd_bus_message_append(reply, "s", statusNotifierIconName);
    if (name == "OverlayIconName" || name == "AttentionIconName" || name == "AttentionMovieName")
        return sd_bus_message_append(reply, "s", "");
    if (name == "IconPixmap")
        return appendTrayIconPixmaps(reply);
    if (name == "OverlayIconPixmap" || name == "AttentionIconPixmap")
        return appendNoPixmaps(reply);
    if (name == "ItemIsMenu")
        return sd_bus_message_append(reply, "b", 1);
    if (name == "Menu")
        return sd_bus_message_append(reply, "o", dbusMenuPath);

    // ToolTip: (icon name, pixmaps, title, description); what screen readers announce.
    int r = sd_bus_message_open_container(reply, SD_BUS_TYPE_STRUCT, "sa(iiay)ss");
    if (r >= 0)
        r = sd_bus_message_append(reply, "s", statusNotifierIconName);
    if (r >= 0)
        r = appendNoPixmaps(reply);
    if (r >= 0)
        r = sd_bus_message_append(reply, "ss", title, "");
    if (r >= 0)
        r = sd_bus_message_close_container(reply);
    return r;
}

} // namespace sollun::helper
