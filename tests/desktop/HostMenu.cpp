#include "tests/desktop/HostMenu.h"

#include <map>
#include <utility>

namespace sollun::test {
namespace {

using nlohmann::json;

constexpr const char* menuPath = "/MenuBar";

// A call is named by its sender and serial; its answer names it so.
using CallKey = std::pair<std::string, std::uint64_t>;

std::string field(const json& message, const char* name) {
    return message.value(name, "");
}

bool isMenuCall(const json& message) {
    return field(message, "type") == "method_call" && field(message, "path") == menuPath;
}

// A call sent with the no-reply flag gets no answer.
bool awaitsReply(const json& message) {
    return (message.value("flags", 0u) & 1u) == 0;
}

bool isMenuSignal(const json& message, const char* member) {
    return field(message, "type") == "signal" && field(message, "path") == menuPath &&
           field(message, "member") == member;
}

const json& data(const json& message) {
    return message.at("payload").at("data");
}

// Walks the messages, calling `onReply(member, reply)` for each answer to a menu call and
// `onOther(message)` for the rest.
template <typename OnReply, typename OnOther>
void walk(const std::vector<json>& messages, OnReply onReply, OnOther onOther) {
    std::map<CallKey, std::string> calls;
    for (const auto& message : messages) {
        const auto type = field(message, "type");
        if (isMenuCall(message) && awaitsReply(message)) {
            calls[{field(message, "sender"), message.value("cookie", 0ull)}] =
                field(message, "member");
        } else if (type == "method_return" || type == "error") {
            const auto call =
                calls.find({field(message, "destination"), message.value("reply_cookie", 0ull)});
            if (call == calls.end())
                continue;
            const auto member = call->second;
            calls.erase(call);
            onReply(member, message);
            continue;
        }
        onOther(message);
    }
}

// The children of a (ia{sv}av) layout's root, with their properties.
std::vector<HostRow> layoutRows(const json& reply) {
    std::vector<HostRow> rows;
    for (const auto& child : data(reply).at(1).at(2)) {
        const auto& item = child.at("data");
        rows.push_back({item.at(0).get<int>(), item.at(1)});
    }
    return rows;
}

} // namespace

std::string HostRow::label() const {
    return properties.contains("label") ? properties["label"].value("data", "") : "";
}

bool HostRow::separator() const {
    return properties.contains("type") && properties["type"].value("data", "") == "separator";
}

bool HostRow::enabled() const {
    return !properties.contains("enabled") || properties["enabled"].value("data", true);
}

std::optional<int> HostRow::toggleState() const {
    if (!properties.contains("toggle-state"))
        return std::nullopt;
    return properties["toggle-state"].value("data", -1);
}

std::optional<std::vector<HostRow>> firstLayout(const std::vector<json>& messages) {
    std::optional<std::vector<HostRow>> first;
    walk(
        messages,
        [&](const std::string& member, const json& reply) {
            // An error answers too: with no rows.
            if (!first && member == "GetLayout")
                first = field(reply, "type") == "method_return" ? layoutRows(reply)
                                                                : std::vector<HostRow>{};
        },
        [](const json&) {});
    return first;
}

std::vector<HostRow> hostMenu(const std::vector<json>& messages) {
    std::vector<int> order;
    std::map<int, json> known;
    const auto merge = [&](const json& updates) {
        for (const auto& update : updates)
            known[update.at(0).get<int>()].update(update.at(1));
    };
    walk(
        messages,
        [&](const std::string& member, const json& reply) {
            if (field(reply, "type") != "method_return")
                return;
            if (member == "GetLayout") {
                order.clear();
                for (const auto& row : layoutRows(reply)) {
                    order.push_back(row.id);
                    known[row.id] = row.properties;
                }
            } else if (member == "GetGroupProperties") {
                merge(data(reply).at(0));
            }
        },
        [&](const json& message) {
            if (!isMenuSignal(message, "ItemsPropertiesUpdated"))
                return;
            merge(data(message).at(0));
            for (const auto& removed : data(message).at(1))
                for (auto& properties = known[removed.at(0).get<int>()];
                     const auto& name : removed.at(1))
                    if (properties.is_object())
                        properties.erase(name.get<std::string>());
        });
    std::vector<HostRow> rows;
    for (const int id : order)
        rows.push_back({id, known[id]});
    return rows;
}

bool menuSettled(const std::vector<json>& messages) {
    std::size_t calls = 0;
    std::size_t answers = 0;
    std::uint64_t announced = 0;
    std::uint64_t fetched = 0;
    for (const auto& message : messages)
        calls += isMenuCall(message) && awaitsReply(message) ? 1 : 0;
    walk(
        messages,
        [&](const std::string& member, const json& reply) {
            ++answers;
            if (member == "GetLayout" && field(reply, "type") == "method_return")
                fetched = std::max(fetched, data(reply).at(0).get<std::uint64_t>());
        },
        [&](const json& message) {
            if (isMenuSignal(message, "LayoutUpdated"))
                announced = std::max(announced, data(message).at(0).get<std::uint64_t>());
        });
    return answers == calls && fetched >= announced;
}

std::string menuTraffic(const std::vector<json>& messages) {
    std::string text;
    const auto line = [&](const std::string& what, const json& message) {
        const auto payload = message.contains("payload") ? message["payload"].dump() : "";
        text += what + " " + payload.substr(0, 1500) + "\n";
    };
    walk(
        messages,
        [&](const std::string& member, const json& reply) {
            line("  " + field(reply, "type") + " to " + member, reply);
        },
        [&](const json& message) {
            if (field(message, "path") == menuPath)
                line(field(message, "type") + " " + field(message, "member"), message);
        });
    return text;
}

std::string describe(const std::vector<HostRow>& rows) {
    if (rows.empty())
        return "(no rows)";
    std::string text;
    for (const auto& row : rows) {
        if (!text.empty())
            text += " | ";
        if (row.separator()) {
            text += "---";
            continue;
        }
        text += row.label();
        if (!row.enabled())
            text += " (off)";
        if (const auto state = row.toggleState())
            text += *state == 1 ? " [x]" : " [ ]";
    }
    return text;
}

} // namespace sollun::test
