#include "tests/desktop/BusMonitor.h"

#include "tests/desktop/Harness.h"
#include "tests/support/TempDir.h"

#include <sstream>
#include <stdexcept>

namespace sollun::test {

BusMonitor::BusMonitor(const std::string& address, std::filesystem::path log)
    : log_(std::move(log)) {
    monitor_ = std::make_unique<BackgroundProcess>(
        loggedTo(log_, {"busctl", "--address=" + address, "monitor", "--json=short"}));
    // Becoming a monitor takes the bus a moment: until the monitor shows a call of ours, ask again.
    const auto probed = [&] {
        runProcess({"busctl", "--address=" + address, "call", "org.freedesktop.DBus",
                    "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetId"});
        for (const auto& message : messages())
            if (message.value("member", "") == "GetId")
                return true;
        return false;
    };
    if (!pollUntil(probed, std::chrono::seconds(10)))
        throw std::runtime_error("busctl monitor saw nothing of the bus: " + readFile(log_));
}

std::vector<nlohmann::json> BusMonitor::messages() const {
    std::vector<nlohmann::json> messages;
    std::istringstream lines(readFile(log_));
    // A line still being written has no newline yet; busctl's own notes are not JSON.
    for (std::string line; std::getline(lines, line) && !lines.eof();) {
        auto message = nlohmann::json::parse(line, nullptr, false);
        if (message.is_object())
            messages.push_back(std::move(message));
    }
    return messages;
}

} // namespace sollun::test
