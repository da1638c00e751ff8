#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <vector>

namespace sollun::test {

// A tray host's view of the menu at /MenuBar, read from a bus monitor's messages.
struct HostRow {
    int id = 0;
    nlohmann::json properties = nlohmann::json::object(); // name -> busctl's {"type", "data"}

    std::string label() const;
    bool separator() const;
    bool enabled() const;
    std::optional<int> toggleState() const;
};

// The rows of the first layout a host fetched, with the properties it was sent then; nothing
// when no layout has been fetched yet.
std::optional<std::vector<HostRow>> firstLayout(const std::vector<nlohmann::json>& messages);

// The rows of the latest layout a host fetched, each with the properties that layout gave it and
// every one the host has been told of since (property fetches and signals).
std::vector<HostRow> hostMenu(const std::vector<nlohmann::json>& messages);

// Whether every call to the menu has its answer and no layout is announced that the host has
// not fetched: what a host shows then is what it was told.
bool menuSettled(const std::vector<nlohmann::json>& messages);

// The menu's calls, answers and signals, a line each, for a report.
std::string menuTraffic(const std::vector<nlohmann::json>& messages);

// One line: "Label" for items, "(off)" after disabled ones, "[x]"/"[ ]" after check marks,
// "---" for separators; "(no rows)" for none.
std::string describe(const std::vector<HostRow>& rows);

} // namespace sollun::test
