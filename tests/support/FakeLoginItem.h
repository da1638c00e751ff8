#pragma once

#include "SollunHelper/LoginItem.h"

#include <functional>
#include <memory>
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

    // Tells whoever watches; the item's own changes only show when the status is read.
    struct Watch final : LoginItem::Watch {
        explicit Watch(FakeLoginItem& o)
            : owner(o) {}
        ~Watch() override { owner.changed = nullptr; }
        FakeLoginItem& owner;
    };
    std::unique_ptr<LoginItem::Watch> watchStatus(std::function<void()> c) override {
        changed = std::move(c);
        return std::make_unique<Watch>(*this);
    }
    void setStatus(std::int64_t status) {
        currentStatus = status;
        if (changed)
            changed();
    }

    std::function<void()> changed;
    std::int64_t currentStatus = 0;
    std::optional<std::string> failure;
    int registrations = 0;
    int unregistrations = 0;
};

} // namespace sollun::test
