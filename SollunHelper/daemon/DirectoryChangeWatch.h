#pragma once

// Tells of changes among the entries of a few directories, all through one inotify instance: a
// file created, deleted, renamed, rewritten or changed in its attributes there, or a directory
// itself going or moving. A directory that does not exist (yet) is waited for: its nearest
// existing ancestor is watched instead, and whenever an ancestor or a watched directory changes
// the watches are set up anew, so that one created later is watched from then on.
//
// Each batch of events the kernel delivers leads to one call of `changed` on the loop. Nothing
// here runs while nothing changes.

#include "platform/EventLoop.h"
#include "platform/linux/Fd.h"

#include <filesystem>
#include <functional>
#include <map>
#include <vector>

namespace sollun::helper {

class DirectoryChangeWatch {
public:
    DirectoryChangeWatch(platform::EventLoop& loop, std::vector<std::filesystem::path> directories,
                         std::function<void()> changed);
    DirectoryChangeWatch(const DirectoryChangeWatch&) = delete;
    DirectoryChangeWatch& operator=(const DirectoryChangeWatch&) = delete;

    // Whether anything is watched (the inotify instance exists and one watch at least was set).
    bool active() const { return !watches_.empty(); }

private:
    void rewatch();
    void readEvents();

    const std::vector<std::filesystem::path> directories_;
    const std::function<void()> changed_;
    platform::Fd fd_;
    // Each watch, and whether it stands in for a directory that does not exist.
    std::map<int, bool> watches_;
    platform::Source source_;
};

} // namespace sollun::helper
