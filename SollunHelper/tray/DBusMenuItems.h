#pragma once

// How the menu's items are read from and written into dbusmenu messages: the properties an item
// has, as bits, the requests' lists of property names and ids, layouts, items with their
// properties, and the changes between two fillings of the rows as ItemsPropertiesUpdated carries
// them. Every function here gives sd-bus's result: negative errno on failure.

#include "SollunHelper/SollunHelperApp.h"

#include <systemd/sd-bus.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace sollun::helper {

// The item properties this menu knows, as bits, so that a request's list of names is read once
// and every item is then filtered without looking at strings again.
enum PropertyBit : unsigned {
    typeBit = 1u << 0,
    labelBit = 1u << 1,
    enabledBit = 1u << 2,
    toggleTypeBit = 1u << 3,
    toggleStateBit = 1u << 4,
    shortcutBit = 1u << 5,
    childrenDisplayBit = 1u << 6,
};
inline constexpr unsigned allProperties = (1u << 7) - 1;

inline constexpr std::pair<PropertyBit, const char*> propertyNames[] = {
    {typeBit, "type"},
    {labelBit, "label"},
    {enabledBit, "enabled"},
    {toggleTypeBit, "toggle-type"},
    {toggleStateBit, "toggle-state"},
    {shortcutBit, "shortcut"},
    {childrenDisplayBit, "children-display"},
};

// A row's title as an item's "label": a single '_' would mark the next character as the
// mnemonic, so each one is doubled.
std::string dbusMenuLabel(const std::string& title);

// The bit of a property's name; 0 for names the menu does not know.
unsigned bitOf(std::string_view name);

// One property's value, as a variant.
int appendValue(sd_bus_message* reply, const MenuRow* row, unsigned bit);

// An empty list asks for every property; names the menu does not know ask for nothing.
int readWantedProperties(sd_bus_message* message, unsigned& wanted);

// An array of ids, pointing into the message.
int readIds(sd_bus_message* message, const std::int32_t*& ids, std::size_t& count);

// The properties an item has; the root is the item without a row.
unsigned presentProperties(const MenuRow* row);

// (ia{sv}av): the item (the root when there is no row), and below the root the rows while `depth`
// allows (negative: all).
int appendLayout(sd_bus_message* reply, const std::vector<MenuRow>& rows, const MenuRow* row,
                 std::int32_t depth, unsigned wanted);

// (ia{sv}): an item with the properties in `wanted`.
int appendItemProperties(sd_bus_message* message, std::int32_t id, const MenuRow* row,
                         unsigned wanted);

// A row shown before and now whose properties differ: those with a new value, those it lost.
struct PropertyChange {
    const MenuRow* row;
    unsigned updated;
    unsigned removed;
};
std::vector<PropertyChange> propertyChanges(const std::vector<MenuRow>& before,
                                            const std::vector<MenuRow>& now);

// ItemsPropertiesUpdated's two arguments, a(ia{sv}) and a(ias), for `changes`.
int appendPropertyChanges(sd_bus_message* signal, const std::vector<PropertyChange>& changes);

} // namespace sollun::helper
