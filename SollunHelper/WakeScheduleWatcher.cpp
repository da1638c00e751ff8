#include "SollunHelper/WakeScheduleWatcher.h"

#include "shared/AppGroup.h"

#include <sys/inotify.h>

#include <filesystem>
#include <system_error>
#include <utility>
#include <variant>

namespace sollun::helper {
namespace {

// The container's entries changing, and the container itself being renamed, moved or deleted.
// A file rewritten in place leaves the entries as they are; the poll notices that. A file replaced
// by a rename, as the helper writes its status, is an entry change.
constexpr std::uint32_t containerEvents =
    IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_MOVE_SELF | IN_DELETE_SELF;

} // namespace

const platform::Logger& watcherLog() {
    static const platform::Logger logger("com.kestrovane.sollun.helper", "watcher");
    return logger;
}

WakeScheduleWatcher::WakeScheduleWatcher(platform::EventLoop& loop, std::function<void()> onChange)
    : loop_(loop)
    , onChange_(std::move(onChange)) {}

void WakeScheduleWatcher::start() {
    // Deferred, not called: onChange never runs inside the loop's callback for the event or tick.
    // The watcher holds the task, which goes with it.
    auto changed = [this] {
        if (pendingChange_)
            return;
        pendingChange_ = loop_.defer([this] {
            pendingChange_.reset();
            onChange_();
        });
    };

    if (const auto container = appGroupContainerURL(); !container) {
        watcherLog().error("No App Group container; relying on poll only");
    } else {
        // Should this fail, the watch below fails too and says why.
        std::error_code ignored;
        std::filesystem::create_directories(*container, ignored);

        // Every event counts once, an overflow too: it stands for the events that were lost, and
        // one re-read covers them all. IN_IGNORED is the exception. The kernel sends it after
        // IN_DELETE_SELF (or an unmount) to say the watch has ended; the loss of the directory
        // was already counted, and counting it again would only repeat the re-read. The source
        // stays in place but hears nothing more; the watch is not set up again, and from then on
        // the poll alone notices changes.
        auto watch = loop_.watchDirectory(*container, containerEvents,
                                          [changed](const platform::DirectoryEvent& event) {
                                              if ((event.mask & IN_IGNORED) == 0)
                                                  changed();
                                          });
        if (const auto* error = std::get_if<std::error_code>(&watch))
            watcherLog().error("Failed to open container for watching: %{public}s",
                               error->message());
        else
            dirSource_ = std::move(std::get<platform::Source>(watch));
    }

    pollTimer_ = loop_.addRepeatingTimer(pollInterval, changed);
}

} // namespace sollun::helper
