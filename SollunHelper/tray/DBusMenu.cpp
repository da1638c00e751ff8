#include "SollunHelper/tray/DBusMenu.h"

#include "SollunHelper/tray/DBusMenuItems.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

namespace sollun::helper {
namespace {

constexpr std::uint32_t protocolVersion = 3;

using platform::BusMessage;

// The method return for `call`; `r` tells whether it could be made.
BusMessage newReturn(sd_bus_message* call, int& r) {
    BusMessage reply;
    r = sd_bus_message_new_method_return(call, platform::out(reply));
    return reply;
}

int sendReply(BusMessage reply, int r) {
    if (r < 0)
        return r;
    return sd_bus_send(nullptr, reply.get(), nullptr);
}

int unknownId(sd_bus_error* error, std::int32_t id) {
    return sd_bus_error_setf(error, SD_BUS_ERROR_INVALID_ARGS, "No menu item with id %d", id);
}

} // namespace

const sd_bus_vtable* DBusMenu::vtable() {
    static const sd_bus_vtable table[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_PROPERTY("Version", "u", &DBusMenu::onProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST),
        SD_BUS_PROPERTY("TextDirection", "s", &DBusMenu::onProperty, 0,
                        SD_BUS_VTABLE_PROPERTY_CONST),
        SD_BUS_PROPERTY("Status", "s", &DBusMenu::onProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST),
        SD_BUS_PROPERTY("IconThemePath", "as", &DBusMenu::onProperty, 0,
                        SD_BUS_VTABLE_PROPERTY_CONST),
        SD_BUS_METHOD_WITH_ARGS(
            "GetLayout", SD_BUS_ARGS("i", parentId, "i", recursionDepth, "as", propertyNames),
            SD_BUS_RESULT("u", revision, "(ia{sv}av)", layout), &DBusMenu::onGetLayout,
            SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_METHOD_WITH_ARGS("GetGroupProperties", SD_BUS_ARGS("ai", ids, "as", propertyNames),
                                SD_BUS_RESULT("a(ia{sv})", properties),
                                &DBusMenu::onGetGroupProperties, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_METHOD_WITH_ARGS("GetProperty", SD_BUS_ARGS("i", id, "s", name),
                                SD_BUS_RESULT("v", value), &DBusMenu::onGetProperty,
                                SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_METHOD_WITH_ARGS("Event",
                                SD_BUS_ARGS("i", id, "s", eventId, "v", data, "u", timestamp),
                                SD_BUS_NO_RESULT, &DBusMenu::onEvent, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_METHOD_WITH_ARGS("EventGroup", SD_BUS_ARGS("a(isvu)", events),
                                SD_BUS_RESULT("ai", idErrors), &DBusMenu::onEventGroup,
                                SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_METHOD_WITH_ARGS("AboutToShow", SD_BUS_ARGS("i", id), SD_BUS_RESULT("b", needUpdate),
                                &DBusMenu::onAboutToShow, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_METHOD_WITH_ARGS("AboutToShowGroup", SD_BUS_ARGS("ai", ids),
                                SD_BUS_RESULT("ai", updatesNeeded, "ai", idErrors),
                                &DBusMenu::onAboutToShowGroup, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_SIGNAL_WITH_ARGS("ItemsPropertiesUpdated",
                                SD_BUS_ARGS("a(ia{sv})", updatedProps, "a(ias)", removedProps), 0),
        SD_BUS_SIGNAL_WITH_ARGS("LayoutUpdated", SD_BUS_ARGS("u", revision, "i", parent), 0),
        SD_BUS_SIGNAL_WITH_ARGS("ItemActivationRequested", SD_BUS_ARGS("i", id, "u", timestamp), 0),
        SD_BUS_VTABLE_END,
    };
    return table;
}

DBusMenu::DBusMenu(sd_bus* bus, platform::EventLoop& loop, HelperAppDelegate& delegate)
    : bus_(sd_bus_ref(bus))
    , loop_(loop)
    , delegate_(delegate) {}

std::variant<std::unique_ptr<DBusMenu>, std::error_code>
DBusMenu::start(sd_bus* bus, platform::EventLoop& loop, HelperAppDelegate& delegate) {
    std::unique_ptr<DBusMenu> self(new DBusMenu(bus, loop, delegate));
    delegate.rebuildMenu(self->rows_);
    const int r = sd_bus_add_object_vtable(bus, platform::out(self->slot_), dbusMenuPath,
                                           dbusMenuInterface, vtable(), self.get());
    if (r < 0)
        return std::error_code(-r, std::system_category());
    self->menuChanges_ =
        delegate.observeMenu([menu = self.get()](std::string_view) { menu->refreshSoon(); });
    return self;
}

void DBusMenu::refreshSoon() {
    if (pendingRefresh_)
        return;
    pendingRefresh_ = loop_.defer([this] {
        pendingRefresh_.reset();
        refresh();
    });
}

bool DBusMenu::refresh() {
    std::vector<MenuRow> before = std::move(rows_);
    delegate_.rebuildMenu(rows_);
    if (rows_ == before)
        return false;
    announceProperties(before);
    ++revision_;
    // Nobody listening, or a full queue, is no reason to fail anything: a host that missed it
    // reads a current layout whenever it asks.
    (void)sd_bus_emit_signal(bus_.get(), dbusMenuPath, dbusMenuInterface, "LayoutUpdated", "ui",
                             revision_, std::int32_t{0});
    return true;
}

// ItemsPropertiesUpdated for the rows shown before and now whose properties differ: the changed
// ones with their values, the ones gone by name. Nothing when no such row.
void DBusMenu::announceProperties(const std::vector<MenuRow>& before) {
    const auto changes = propertyChanges(before, rows_);
    if (changes.empty())
        return;
    BusMessage signal;
    int r = sd_bus_message_new_signal(bus_.get(), platform::out(signal), dbusMenuPath,
                                      dbusMenuInterface, "ItemsPropertiesUpdated");
    if (r >= 0)
        r = appendPropertyChanges(signal.get(), changes);
    if (r >= 0)
        (void)sd_bus_send(bus_.get(), signal.get(), nullptr); // as for LayoutUpdated
}

const MenuRow* DBusMenu::rowOf(std::int32_t id) const {
    for (const MenuRow& row : rows_)
        if (row.id == id)
            return &row;
    return nullptr;
}

bool DBusMenu::known(std::int32_t id) const {
    return id == 0 || rowOf(id) != nullptr;
}

void DBusMenu::clicked(std::int32_t id) {
    const MenuRow* row = rowOf(id);
    if (row == nullptr || row->kind != MenuRow::Kind::item || !row->enabled ||
        row->action == MenuRow::Action::none)
        return;
    auto& pending = pendingActions_[static_cast<std::size_t>(row->action)];
    if (pending)
        return;
    pending = loop_.defer([this, &pending, action = row->action] {
        pending.reset();
        delegate_.perform(action);
    });
}

int DBusMenu::onProperty(sd_bus*, const char*, const char*, const char* property,
                         sd_bus_message* reply, void*, sd_bus_error*) {
    if (std::strcmp(property, "Version") == 0)
        return sd_bus_message_append(reply, "u", protocolVersion);
    if (std::strcmp(property, "TextDirection") == 0)
        return sd_bus_message_append(reply, "s", "ltr");
    if (std::strcmp(property, "Status") == 0)
        return sd_bus_message_append(reply, "s", "normal");
    return sd_bus_message_append(reply, "as", 0);
}

int DBusMenu::onGetLayout(sd_bus_message* message, void* userdata, sd_bus_error* error) {
    const auto& self = *static_cast<DBusMenu*>(userdata);
    std::int32_t parentId = 0;
    std::int32_t depth = 0;
    unsigned wanted = 0;
    int r = sd_bus_message_read(message, "ii", &parentId, &depth);
    if (r >= 0)
        r = readWantedProperties(message, wanted);
    if (r < 0)
        return r;
    if (!self.known(parentId))
        return unknownId(error, parentId);

    BusMessage reply = newReturn(message, r);
    if (r >= 0)
        r = sd_bus_message_append(reply.get(), "u", self.revision_);
    if (r >= 0)
        r = appendLayout(reply.get(), self.rows_, self.rowOf(parentId), depth, wanted);
    return sendReply(std::move(reply), r);
}

int DBusMenu::onGetGroupProperties(sd_bus_message* message, void* userdata, sd_bus_error*) {
    const auto& self = *static_cast<DBusMenu*>(userdata);
    const std::int32_t* ids = nullptr;
    std::size_t count = 0;
    unsigned wanted = 0;
    int r = readIds(message, ids, count);
    if (r >= 0)
        r = readWantedProperties(message, wanted);
    if (r < 0)
        return r;

    BusMessage reply = newReturn(message, r);
    if (r >= 0)
        r = sd_bus_message_open_container(reply.get(), SD_BUS_TYPE_ARRAY, "(ia{sv})");
    // No ids ask for every item. Ids the menu does not show are left out, and each item is
    // answered once however often it is asked for, so the answer never outgrows the menu.
    std::vector<std::int32_t> answered;
    const auto answer = [&](std::int32_t id) {
        if (r < 0 || !self.known(id) ||
            std::find(answered.begin(), answered.end(), id) != answered.end())
            return;
        answered.push_back(id);
        r = appendItemProperties(reply.get(), id, self.rowOf(id), wanted);
    };
    if (count == 0) {
        answer(0);
        for (const MenuRow& row : self.rows_)
            answer(row.id);
    }
    for (std::size_t i = 0; i < count; ++i)
        answer(ids[i]);
    if (r >= 0)
        r = sd_bus_message_close_container(reply.get());
    return sendReply(std::move(reply), r);
}

int DBusMenu::onGetProperty(sd_bus_message* message, void* userdata, sd_bus_error* error) {
    const auto& self = *static_cast<DBusMenu*>(userdata);
    std::int32_t id = 0;
    const char* name = nullptr;
    int r = sd_bus_message_read(message, "is", &id, &name);
    if (r < 0)
        return r;
    if (!self.known(id))
        return unknownId(error, id);
    const MenuRow* row = self.rowOf(id);
    const unsigned bit = bitOf(name);
    if ((presentProperties(row) & bit) == 0)
        return sd_bus_error_setf(error, SD_BUS_ERROR_INVALID_ARGS,
                                 "Menu item %d has no property %s", id, name);

    BusMessage reply = newReturn(message, r);
    if (r >= 0)
        r = appendValue(reply.get(), row, bit);
    return sendReply(std::move(reply), r);
}

int DBusMenu::onEvent(sd_bus_message* message, void* userdata, sd_bus_error*) {
    auto& self = *static_cast<DBusMenu*>(userdata);
    std::int32_t id = 0;
    const char* eventId = nullptr;
    std::uint32_t timestamp = 0;
    int r = sd_bus_message_read(message, "is", &id, &eventId);
    if (r >= 0)
        r = sd_bus_message_skip(message, "v");
    if (r >= 0)
        r = sd_bus_message_read(message, "u", &timestamp);
    if (r < 0)
        return r;
    // A row gone since the host fetched its layout is no error of the host's.
    if (std::strcmp(eventId, "clicked") == 0)
        self.clicked(id);
    return sd_bus_reply_method_return(message, "");
}

int DBusMenu::onEventGroup(sd_bus_message* message, void* userdata, sd_bus_error*) {
    auto& self = *static_cast<DBusMenu*>(userdata);
    std::vector<std::int32_t> idErrors;
    int r = sd_bus_message_enter_container(message, SD_BUS_TYPE_ARRAY, "(isvu)");
    if (r < 0)
        return r;
    while ((r = sd_bus_message_enter_container(message, SD_BUS_TYPE_STRUCT, "isvu")) > 0) {
        std::int32_t id = 0;
        const char* eventId = nullptr;
        std::uint32_t timestamp = 0;
        r = sd_bus_message_read(message, "is", &id, &eventId);
        if (r >= 0)
            r = sd_bus_message_skip(message, "v");
        if (r >= 0)
            r = sd_bus_message_read(message, "u", &timestamp);
        if (r >= 0)
            r = sd_bus_message_exit_container(message);
        if (r < 0)
            return r;
        if (!self.known(id))
            idErrors.push_back(id);
        else if (std::strcmp(eventId, "clicked") == 0)
            self.clicked(id);
    }
    if (r < 0)
        return r;

    BusMessage reply = newReturn(message, r);
    if (r >= 0)
        r = sd_bus_message_append_array(reply.get(), SD_BUS_TYPE_INT32, idErrors.data(),
                                        idErrors.size() * sizeof(std::int32_t));
    return sendReply(std::move(reply), r);
}

int DBusMenu::onAboutToShow(sd_bus_message* message, void* userdata, sd_bus_error* error) {
    auto& self = *static_cast<DBusMenu*>(userdata);
    std::int32_t id = 0;
    const int r = sd_bus_message_read(message, "i", &id);
    if (r < 0)
        return r;
    if (!self.known(id))
        return unknownId(error, id);
    // Only the root has rows below it.
    if (id != 0)
        return sd_bus_reply_method_return(message, "b", 0);
    self.delegate_.menuWillOpen();
    return sd_bus_reply_method_return(message, "b", static_cast<int>(self.refresh()));
}

int DBusMenu::onAboutToShowGroup(sd_bus_message* message, void* userdata, sd_bus_error*) {
    auto& self = *static_cast<DBusMenu*>(userdata);
    const std::int32_t* ids = nullptr;
    std::size_t count = 0;
    int r = readIds(message, ids, count);
    if (r < 0)
        return r;
    // The ids are those of the layout the host has, the one before this refresh.
    bool root = false;
    std::vector<std::int32_t> idErrors;
    for (std::size_t i = 0; i < count; ++i) {
        if (ids[i] == 0)
            root = true;
        else if (!self.known(ids[i]))
            idErrors.push_back(ids[i]);
    }
    bool changed = false;
    if (root) {
        self.delegate_.menuWillOpen();
        changed = self.refresh();
    }

    BusMessage reply = newReturn(message, r);
    const std::int32_t rootId = 0;
    if (r >= 0)
        r = sd_bus_message_append_array(reply.get(), SD_BUS_TYPE_INT32, &rootId,
                                        changed ? sizeof rootId : 0);
    if (r >= 0)
        r = sd_bus_message_append_array(reply.get(), SD_BUS_TYPE_INT32, idErrors.data(),
                                        idErrors.size() * sizeof(std::int32_t));
    return sendReply(std::move(reply), r);
}

} // namespace sollun::helper
