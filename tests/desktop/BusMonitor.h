#pragma once

#include "tests/support/Subprocess.h"

#include <nlohmann/json.hpp>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace sollun::test {

// Every message on a bus from now on, as busctl's monitor writes them (one JSON object a line)
// into `log`, which stays there for a report.
class BusMonitor {
public:
    // Returns once the monitor sees the bus's traffic; throws std::runtime_error when it does not.
    BusMonitor(const std::string& address, std::filesystem::path log);

    // The messages so far, in the order the bus sent them.
    std::vector<nlohmann::json> messages() const;

private:
    std::filesystem::path log_;
    std::unique_ptr<BackgroundProcess> monitor_;
};

} // namespace sollun::test
