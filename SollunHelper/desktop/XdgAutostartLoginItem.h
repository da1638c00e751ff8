#pragma once

// The helper's start at login as the desktop knows it: the XDG autostart entry
// $XDG_CONFIG_HOME/autostart/com.kestrovane.sollun.helper.desktop (~/.config when the variable
// is unset or relative). As the desktop does, the first entry of that name counts: the user's,
// else a system-wide one in $XDG_CONFIG_DIRS/autostart. The helper starts at login when that
// entry exists and is not hidden (Hidden=true is how a user turns a system-wide entry off).
//
// A watch on the status follows the user's autostart directory through inotify (entries written,
// removed or renamed there, the directory itself going); while the directory does not exist, its
// nearest existing parent, for the directory to appear. The system-wide directories, which only
// an administrator changes, are not watched.

#include "SollunHelper/LoginItem.h"
#include "platform/EventLoop.h"

#include <filesystem>

namespace sollun::helper {

class XdgAutostartLoginItem final : public LoginItem {
public:
    // The entry starts `executable`; watches run on `loop`.
    XdgAutostartLoginItem(platform::EventLoop& loop, std::filesystem::path executable);

    // This program's own executable.
    static std::filesystem::path ownExecutable();

    std::int64_t status() override;
    std::optional<std::string> registerItem() override;
    std::optional<std::string> unregisterItem() override;
    std::unique_ptr<Watch> watchStatus(std::function<void()> changed) override;

private:
    platform::EventLoop& loop_;
    std::filesystem::path executable_;
};

} // namespace sollun::helper
