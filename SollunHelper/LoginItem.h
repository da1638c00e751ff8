#pragma once

// The helper's own start at login.

#include <cstdint>
#include <optional>
#include <string>

namespace sollun::helper {

class LoginItem {
public:
    virtual ~LoginItem() = default;

    // 1 when the helper starts at login; anything else means it does not.
    static constexpr std::int64_t enabled = 1;
    virtual std::int64_t status() = 0;

    // The error's description when the change could not be made.
    virtual std::optional<std::string> registerItem() = 0;
    virtual std::optional<std::string> unregisterItem() = 0;
};

} // namespace sollun::helper
