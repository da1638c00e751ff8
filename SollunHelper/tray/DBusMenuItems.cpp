#include "SollunHelper/tray/DBusMenuItems.h"

#include <algorithm>
#include <cerrno>
#include <string_view>

namespace sollun::helper {
namespace {

// Whether the property `bit`, present in both rows, has the same value in both.
bool sameValue(const MenuRow& a, const MenuRow& b, unsigned bit) {
    switch (bit) {
    case labelBit:
        return a.title == b.title;
    case enabledBit:
        return a.enabled == b.enabled;
    case toggleStateBit:
        return a.checked == b.checked;
    case shortcutBit:
        return a.keyEquivalent == b.keyEquivalent;
    default: // type and toggle-type have one value each
        return true;
    }
}

int appendShortcut(sd_bus_message* reply, const std::string& key) {
    int r = sd_bus_message_open_container(reply, SD_BUS_TYPE_VARIANT, "aas");
    if (r >= 0)
        r = sd_bus_message_open_container(reply, SD_BUS_TYPE_ARRAY, "as");
    if (r >= 0)
        r = sd_bus_message_append(reply, "as", 2, "Control", key.c_str());
    if (r >= 0)
        r = sd_bus_message_close_container(reply);
    if (r >= 0)
        r = sd_bus_message_close_container(reply);
    return r;
}

int appendProperties(sd_bus_message* reply, const MenuRow* row, unsigned wanted) {
    int r = sd_bus_message_open_container(reply, SD_BUS_TYPE_ARRAY, "{sv}");
    const unsigned chosen = presentProperties(row) & wanted;
    for (const auto& [bit, name] : propertyNames) {
        if (r < 0 || (chosen & bit) == 0)
            continue;
        r = sd_bus_message_open_container(reply, SD_BUS_TYPE_DICT_ENTRY, "sv");
        if (r >= 0)
            r = sd_bus_message_append_basic(reply, SD_BUS_TYPE_STRING, name);
        if (r >= 0)
            r = appendValue(reply, row, bit);
        if (r >= 0)
            r = sd_bus_message_close_container(reply);
    }
    if (r >= 0)
        r = sd_bus_message_close_container(reply);
    return r;
}

} // namespace

unsigned bitOf(std::string_view name) {
    for (const auto& [bit, known] : propertyNames)
        if (name == known)
            return bit;
    return 0;
}

int appendValue(sd_bus_message* reply, const MenuRow* row, unsigned bit) {
    switch (bit) {
    case childrenDisplayBit:
        return sd_bus_message_append(reply, "v", "s", "submenu");
    case typeBit:
        return sd_bus_message_append(reply, "v", "s", "separator");
    case labelBit:
        return sd_bus_message_append(reply, "v", "s", dbusMenuLabel(row->title).c_str());
    case enabledBit:
        return sd_bus_message_append(reply, "v", "b", static_cast<int>(row->enabled));
    case toggleTypeBit:
        return sd_bus_message_append(reply, "v", "s", "checkmark");
    case toggleStateBit:
        return sd_bus_message_append(reply, "v", "i", *row->checked ? 1 : 0);
    case shortcutBit:
        return appendShortcut(reply, row->keyEquivalent);
    default:
        return -EINVAL;
    }
}

std::string dbusMenuLabel(const std::string& title) {
    std::string label;
    label.reserve(title.size());
    for (const char c : title) {
        label += c;
        if (c == '_')
            label += '_';
    }
    return label;
}

int readWantedProperties(sd_bus_message* message, unsigned& wanted) {
    int r = sd_bus_message_enter_container(message, SD_BUS_TYPE_ARRAY, "s");
    if (r < 0)
        return r;
    bool any = false;
    wanted = 0;
    const char* name = nullptr;
    while ((r = sd_bus_message_read_basic(message, SD_BUS_TYPE_STRING, &name)) > 0) {
        any = true;
        wanted |= bitOf(name);
    }
    if (r < 0)
        return r;
    if (!any)
        wanted = allProperties;
    return sd_bus_message_exit_container(message);
}

int readIds(sd_bus_message* message, const std::int32_t*& ids, std::size_t& count) {
    const void* data = nullptr;
    std::size_t size = 0;
    const int r = sd_bus_message_read_array(message, SD_BUS_TYPE_INT32, &data, &size);
    if (r < 0)
        return r;
    ids = static_cast<const std::int32_t*>(data);
    count = size / sizeof(std::int32_t);
    return 0;
}

unsigned presentProperties(const MenuRow* row) {
    if (row == nullptr)
        return childrenDisplayBit;
    if (row->kind == MenuRow::Kind::separator)
        return typeBit;
    unsigned present = labelBit | enabledBit;
    if (row->checked)
        present |= toggleTypeBit | toggleStateBit;
    if (!row->keyEquivalent.empty())
        present |= shortcutBit;
    return present;
}

int appendLayout(sd_bus_message* reply, const std::vector<MenuRow>& rows, const MenuRow* row,
                 std::int32_t depth, unsigned wanted) {
    const std::int32_t id = row != nullptr ? row->id : 0;
    int r = sd_bus_message_open_container(reply, SD_BUS_TYPE_STRUCT, "ia{sv}av");
    if (r >= 0)
        r = sd_bus_message_append_basic(reply, SD_BUS_TYPE_INT32, &id);
    if (r >= 0)
        r = appendProperties(reply, row, wanted);
    if (r >= 0)
        r = sd_bus_message_open_container(reply, SD_BUS_TYPE_ARRAY, "v");
    if (row == nullptr && depth != 0) {
        const std::int32_t below = depth < 0 ? -1 : depth - 1;
        for (std::size_t i = 0; r >= 0 && i < rows.size(); ++i) {
            r = sd_bus_message_open_container(reply, SD_BUS_TYPE_VARIANT, "(ia{sv}av)");
            if (r >= 0)
                r = appendLayout(reply, rows, &rows[i], below, wanted);
            if (r >= 0)
                r = sd_bus_message_close_container(reply);
        }
    }
    if (r >= 0)
        r = sd_bus_message_close_container(reply);
    if (r >= 0)
        r = sd_bus_message_close_container(reply);
    return r;
}

int appendItemProperties(sd_bus_message* message, std::int32_t id, const MenuRow* row,
                         unsigned wanted) {
    int r = sd_bus_message_open_container(message, SD_BUS_TYPE_STRUCT, "ia{sv}");
    if (r >= 0)
        r = sd_bus_message_append_basic(message, SD_BUS_TYPE_INT32, &id);
    if (r >= 0)
        r = appendProperties(message, row, wanted);
    if (r >= 0)
        r = sd_bus_message_close_container(message);
    return r;
}

std::vector<PropertyChange> propertyChanges(const std::vector<MenuRow>& before,
                                            const std::vector<MenuRow>& now) {
    std::vector<PropertyChange> changes;
    for (const MenuRow& row : now) {
        const auto old = std::find_if(before.begin(), before.end(),
                                      [&](const MenuRow& r) { return r.id == row.id; });
        if (old == before.end() || *old == row)
            continue;
        const unsigned was = presentProperties(&*old);
        const unsigned is = presentProperties(&row);
        unsigned updated = is & ~was;
        for (const auto& [bit, name] : propertyNames)
            if ((is & was & bit) != 0 && !sameValue(*old, row, bit))
                updated |= bit;
        if ((updated | (was & ~is)) != 0)
            changes.push_back({&row, updated, was & ~is});
    }
    return changes;
}

int appendPropertyChanges(sd_bus_message* signal, const std::vector<PropertyChange>& changes) {
    int r = sd_bus_message_open_container(signal, SD_BUS_TYPE_ARRAY, "(ia{sv})");
    for (const PropertyChange& change : changes)
        if (r >= 0 && change.updated != 0)
            r = appendItemProperties(signal, change.row->id, change.row, change.updated);
    if (r >= 0)
        r = sd_bus_message_close_container(signal);
    if (r >= 0)
        r = sd_bus_message_open_container(signal, SD_BUS_TYPE_ARRAY, "(ias)");
    for (const PropertyChange& change : changes) {
        if (r < 0 || change.removed == 0)
            continue;
        r = sd_bus_message_open_container(signal, SD_BUS_TYPE_STRUCT, "ias");
        if (r >= 0)
            r = sd_bus_message_append_basic(signal, SD_BUS_TYPE_INT32, &change.row->id);
        if (r >= 0)
            r = sd_bus_message_open_container(signal, SD_BUS_TYPE_ARRAY, "s");
        for (const auto& [bit, name] : propertyNames)
            if (r >= 0 && (change.removed & bit) != 0)
                r = sd_bus_message_append_basic(signal, SD_BUS_TYPE_STRING, name);
        if (r >= 0)
            r = sd_bus_message_close_container(signal);
        if (r >= 0)
            r = sd_bus_message_close_container(signal);
    }
    if (r >= 0)
        r = sd_bus_message_close_container(signal);
    return r;
}

} // namespace sollun::helper
