#pragma once

#include "SollunHelper/LoginItem.h"

#include <optional>
#include <string>

namespace sollun::test {

// A login item whose status and failures the test sets.
struct FakeLoginItem final : helper::LoginItem {
    std::int64_t status() override { return currentStatus; }
    std::optional<std::string> registerItem() override {
        ++registrations;
        if (!failure)
            currentStatus = enabled;
        return failure;
    }
    std::optional<std::string> unregisterItem() override {
        ++unregistrations;
        if (!failure)
            currentStatus = 0;
        return failure;
    }

    std::int64_t currentStatus = 0;
    std::optional<std::string> failure;
    int registrations = 0;
    int unregistrations = 0;
};

} // namespace sollun::test
