#include "platform/TimeZoneWatch.h"

#include <sys/epoll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

namespace sollun::platform {

std::variant<std::unique_ptr<TimeZoneWatch>, std::error_code>
TimeZoneWatch::start(EventLoop& loop, std::function<void()> changed,
                     const std::filesystem::path& setting) {
    const int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0)
        return std::error_code(errno, std::generic_category());
    // The directory, not the file: a replacement is a new file, which a watch on the old one
    // would never see.
    constexpr std::uint32_t mask =
        IN_CREATE | IN_MOVED_TO | IN_CLOSE_WRITE | IN_DELETE | IN_MOVED_FROM | IN_ONLYDIR;
    if (inotify_add_watch(fd, setting.parent_path().c_str(), mask) < 0) {
        const std::error_code error(errno, std::generic_category());
        close(fd);
        return error;
    }
    std::unique_ptr<TimeZoneWatch> watch(
        new TimeZoneWatch(fd, setting.filename().string(), std::move(changed)));
    watch->source_ =
        loop.watchFd(fd, EPOLLIN, [self = watch.get()](std::uint32_t) { self->onReadable(); });
    return watch;
}

TimeZoneWatch::TimeZoneWatch(int fd, std::string name, std::function<void()> changed)
    : fd_(fd)
    , name_(std::move(name))
    , changed_(std::move(changed)) {}

TimeZoneWatch::~TimeZoneWatch() {
    source_.reset();
    close(fd_);
}

void TimeZoneWatch::onReadable() {
    bool touched = false;
    alignas(inotify_event) char buffer[4096];
    ssize_t length;
    while ((length = read(fd_, buffer, sizeof buffer)) > 0) {
        for (ssize_t offset = 0; offset < length;) {
            inotify_event event;
            std::memcpy(&event, buffer + offset, sizeof event);
            // The name is padded with NULs to the record's length.
            const std::string_view name(buffer + offset + sizeof event,
                                        strnlen(buffer + offset + sizeof event, event.len));
            touched = touched || (event.mask & IN_Q_OVERFLOW) != 0 || name == name_;
            offset += static_cast<ssize_t>(sizeof event + event.len);
        }
    }
    // Last: the callback may end this watch.
    if (touched)
        changed_();
}

} // namespace sollun::platform
