#pragma once

// The helper's own start at login.

#include <cstdint>
#include <functional>
#include <memory>
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

    // Until destroyed, calls `changed` on the loop whenever status() may have changed, whoever
    // changed it (this program, or the user editing the desktop's settings). Nothing when the
    // platform cannot tell.
    class Watch {
    public:
        virtual ~Watch() = default;
    };
    virtual std::unique_ptr<Watch> watchStatus(std::function<void()> changed) = 0;
};

} // namespace sollun::helper
