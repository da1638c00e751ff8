#include "SollunHelper/daemon/DirectoryChangeWatch.h"

#include <sys/epoll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cstring>
#include <utility>

namespace sollun::helper {
namespace {

constexpr std::uint32_t watchedEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                        IN_CLOSE_WRITE | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF |
                                        IN_ONLYDIR;

// Events after which the set of directories that exist may differ.
constexpr std::uint32_t structureEvents =
    IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED | IN_Q_OVERFLOW;

} // namespace

DirectoryChangeWatch::DirectoryChangeWatch(platform::EventLoop& loop,
                                           std::vector<std::filesystem::path> directories,
                                           std::function<void()> changed)
    : directories_(std::move(directories))
    , changed_(std::move(changed))
    , fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
    if (!fd_)
        return;
    rewatch();
    source_ = loop.watchFd(fd_.get(), EPOLLIN, [this](std::uint32_t) { readEvents(); });
}

void DirectoryChangeWatch::rewatch() {
    std::map<int, bool> watches;
    for (const auto& directory : directories_) {
        // The directory, else the nearest ancestor that exists.
        auto target = directory;
        std::error_code error;
        while (!std::filesystem::is_directory(target, error) && target.has_relative_path())
            target = target.parent_path();
        // An ancestor shared with another directory answers the same watch.
        if (const int wd = inotify_add_watch(fd_.get(), target.c_str(), watchedEvents); wd >= 0)
            watches[wd] = watches[wd] || target != directory;
    }
    for (const auto& [wd, standIn] : watches_)
        if (!watches.contains(wd))
            inotify_rm_watch(fd_.get(), wd);
    watches_ = std::move(watches);
}

void DirectoryChangeWatch::readEvents() {
    bool changed = false;
    bool restructured = false;
    alignas(inotify_event) char buffer[4096];
    for (ssize_t length; (length = read(fd_.get(), buffer, sizeof buffer)) > 0;) {
        for (ssize_t offset = 0; offset < length;) {
            inotify_event event;
            std::memcpy(&event, buffer + offset, sizeof event);
            offset += static_cast<ssize_t>(sizeof event + event.len);
            // What a removed watch still reports is no change.
            const auto watch = watches_.find(event.wd);
            if (watch == watches_.end() && (event.mask & IN_Q_OVERFLOW) == 0)
                continue;
            changed = true;
            restructured = restructured || (event.mask & structureEvents) != 0 ||
                           (watch != watches_.end() && watch->second);
        }
    }
    if (restructured)
        rewatch();
    if (changed)
        changed_();
}

} // namespace sollun::helper
