#include "SollunHelper/tray/StatusNotifierItem.h"

#include "SollunHelper/SollunHelperApp.h"
#include "SollunHelper/tray/DBusMenu.h"
#include "SollunHelper/tray/TrayIconPixmaps.h"
#include "platform/Installation.h"
#include "shared/ProductNames.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string_view>
#include <utility>

namespace sollun::helper {
namespace {

constexpr const char* title = "SollunHelper";

// The watcher's name, and nothing else, changing hands; sent by the bus itself.
constexpr const char* watcherOwnerRule =
    "type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',"
    "interface='org.freedesktop.DBus',member='NameOwnerChanged',"
    "arg0='org.kde.StatusNotifierWatcher'";

// A watcher that drops the item again soon after it was registered again is asked again after a
// while, twice as long each time up to a minute; after a minute without a drop, at once again.
constexpr std::chrono::milliseconds firstRegisterAgainDelay{250};
constexpr std::chrono::milliseconds lastRegisterAgainDelay{60'000};

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
                                &StatusNotifierItem::onActivate, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_METHOD_WITH_ARGS("ProvideXdgActivationToken", SD_BUS_ARGS("s", token),
                                SD_BUS_NO_RESULT, &StatusNotifierItem::onProvideToken,
                                SD_BUS_VTABLE_UNPRIVILEGED),
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

StatusNotifierItem::StatusNotifierItem(sd_bus* bus, platform::EventLoop& loop, Options options)
    : bus_(sd_bus_ref(bus))
    , loop_(loop)
    , options_(std::move(options))
    , busName_("org.kde.StatusNotifierItem-" + std::to_string(getpid()) + "-" +
               std::to_string(options_.instance)) {}

StatusNotifierItem::~StatusNotifierItem() {
    // The tray drops the item when its name goes; the bus may well outlive the item.
    if (ownsName_ && sd_bus_is_open(bus_.get()) > 0)
        (void)sd_bus_release_name_async(bus_.get(), nullptr, busName_.c_str(), nullptr, nullptr);
}

std::variant<std::unique_ptr<StatusNotifierItem>, std::error_code>
StatusNotifierItem::start(sd_bus* bus, platform::EventLoop& loop, Options options) {
    std::unique_ptr<StatusNotifierItem> self(new StatusNotifierItem(bus, loop, std::move(options)));
    auto* const item = self.get();
    int r = sd_bus_add_object_vtable(bus, platform::out(item->objectSlot_), statusNotifierItemPath,
                                     statusNotifierItemInterface, vtable(), item);
    // The rules go to the bus before the registration below: a watcher that appears, or drops
    // the item, after the bus has handled the registration is then announced to us.
    if (r >= 0)
        r = sd_bus_add_match_async(bus, platform::out(item->watcherMatch_), watcherOwnerRule,
                                   &StatusNotifierItem::onWatcherOwnerChanged,
                                   &StatusNotifierItem::onMatchInstalled, item);
    if (r >= 0)
        r = sd_bus_match_signal_async(
            bus, platform::out(item->unregisteredMatch_), statusNotifierWatcherName, nullptr,
            statusNotifierWatcherName, "StatusNotifierItemUnregistered",
            &StatusNotifierItem::onItemUnregistered, &StatusNotifierItem::onMatchInstalled, item);
    if (r >= 0)
        r = sd_bus_match_signal_async(
            bus, platform::out(item->hostMatch_), statusNotifierWatcherName, nullptr,
            statusNotifierWatcherName, "StatusNotifierHostRegistered",
            &StatusNotifierItem::onHostRegistered, &StatusNotifierItem::onMatchInstalled, item);
    // Once, at start, and quick: the bus answers it itself.
    if (r >= 0 && (r = sd_bus_request_name(bus, item->busName_.c_str(), 0)) >= 0)
        item->ownsName_ = true;
    if (r < 0)
        return std::error_code(-r, std::system_category());
    item->registerWithWatcher(true);
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

void StatusNotifierItem::registerWithWatcher(bool check) {
    // A registration still on its way is superseded: its answer no longer matters.
    registration_.reset();
    checkAfterRegistration_ = check;
    // A call that cannot even be queued means the session bus has gone, which ends the helper
    // (SessionEnd); the next watcher to appear is registered with anyway.
    (void)sd_bus_call_method_async(bus_.get(), platform::out(registration_),
                                   statusNotifierWatcherName, statusNotifierWatcherPath,
                                   statusNotifierWatcherName, "RegisterStatusNotifierItem",
                                   &StatusNotifierItem::onRegistered, this, "s", busName_.c_str());
}

void StatusNotifierItem::registerAgain() {
    using Clock = std::chrono::steady_clock;
    const auto now = Clock::now();
    if (now - lastRegisteredAgain_ > lastRegisterAgainDelay)
        registerAgainDelay_ = {};
    const auto due = lastRegisteredAgain_ + registerAgainDelay_;
    if (now < due) {
        if (!registerAgainTimer_)
            registerAgainTimer_ = loop_.addOneShotTimer(due - now, [this] {
                registerAgainTimer_.reset();
                registerAgain();
            });
        return;
    }
    registerAgainTimer_.reset();
    lastRegisteredAgain_ = now;
    registerAgainDelay_ =
        std::clamp(registerAgainDelay_ * 2, firstRegisterAgainDelay, lastRegisterAgainDelay);
    // Not checked again: a watcher that lists the item in a form of its own must not have it
    // registered over and over.
    registerWithWatcher(false);
}

void StatusNotifierItem::checkListed(bool registerIfUnread) {
    // A query on its way is superseded, and what it was to do is left to this one.
    if (listQuery_)
        registerIfUnread = registerIfUnread || registerIfUnread_;
    listQuery_.reset();
    registerIfUnread_ = registerIfUnread;
    // As for the registration above.
    (void)sd_bus_call_method_async(bus_.get(), platform::out(listQuery_), statusNotifierWatcherName,
                                   statusNotifierWatcherPath, "org.freedesktop.DBus.Properties",
                                   "Get", &StatusNotifierItem::onListed, this, "ss",
                                   statusNotifierWatcherName, "RegisteredStatusNotifierItems");
}

bool StatusNotifierItem::isThisItem(std::string_view entry) const {
    const std::string_view name = entry.substr(0, entry.find('/'));
    const char* unique = nullptr;
    return name == busName_ || (sd_bus_get_unique_name(bus_.get(), &unique) >= 0 && name == unique);
}

int StatusNotifierItem::onRegistered(sd_bus_message* message, void* userdata, sd_bus_error*) {
    // No watcher, or one that refused: either way a later owner of its name gets asked again.
    auto& self = *static_cast<StatusNotifierItem*>(userdata);
    self.registration_.reset();
    if (!sd_bus_message_is_method_error(message, nullptr) && self.checkAfterRegistration_)
        self.checkListed(false);
    return 0;
}

int StatusNotifierItem::onListed(sd_bus_message* message, void* userdata, sd_bus_error*) {
    auto& self = *static_cast<StatusNotifierItem*>(userdata);
    self.listQuery_.reset();
    bool read = false;
    bool listed = false;
    if (!sd_bus_message_is_method_error(message, nullptr) &&
        sd_bus_message_enter_container(message, SD_BUS_TYPE_VARIANT, "as") > 0 &&
        sd_bus_message_enter_container(message, SD_BUS_TYPE_ARRAY, "s") > 0) {
        const char* entry = nullptr;
        int r = 0;
        while ((r = sd_bus_message_read_basic(message, SD_BUS_TYPE_STRING, &entry)) > 0)
            listed = listed || self.isThisItem(entry);
        read = r == 0;
    }
    if (read ? !listed : self.registerIfUnread_)
        self.registerAgain();
    return 0;
}

int StatusNotifierItem::onItemUnregistered(sd_bus_message* message, void* userdata, sd_bus_error*) {
    auto& self = *static_cast<StatusNotifierItem*>(userdata);
    const char* entry = nullptr;
    if (sd_bus_message_read(message, "s", &entry) >= 0 && self.isThisItem(entry))
        self.checkListed(true);
    return 0;
}

int StatusNotifierItem::onHostRegistered(sd_bus_message*, void* userdata, sd_bus_error*) {
    static_cast<StatusNotifierItem*>(userdata)->checkListed(false);
    return 0;
}

int StatusNotifierItem::onMatchInstalled(sd_bus_message*, void*, sd_bus_error*) {
    // Handled here so that a failure does not close the connection; without a rule the tray
    // just does not learn of the item again after a restart or a drop.
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
        static_cast<StatusNotifierItem*>(userdata)->registerWithWatcher(true);
    return 0;
}

int StatusNotifierItem::onActivate(sd_bus_message* message, void* userdata, sd_bus_error*) {
    auto& self = *static_cast<StatusNotifierItem*>(userdata);
    // Clicks that come while one waits to run count once.
    if (self.options_.activate && !self.pendingActivation_) {
        self.pendingActivation_ = self.loop_.defer([&self] {
            self.pendingActivation_.reset();
            self.options_.activate(std::exchange(self.activationToken_, {}));
        });
    }
    return sd_bus_reply_method_return(message, "");
}

int StatusNotifierItem::onProvideToken(sd_bus_message* message, void* userdata, sd_bus_error*) {
    const char* token = nullptr;
    const int r = sd_bus_message_read(message, "s", &token);
    if (r < 0)
        return r;
    static_cast<StatusNotifierItem*>(userdata)->activationToken_ = token;
    return sd_bus_reply_method_return(message, "");
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
