#pragma once

// Tells the coordinator that the wake schedule may have changed: every change of the shared
// container's entries (a file added, removed or renamed there; the directory itself renamed or
// deleted) and every tick of a 5-second poll leads to a call of `onChange`, made on the main loop
// after the event's own callback has returned. Changes that come while that call is still to be
// made are covered by it: a flood of writes costs one read per turn of the loop, not one per
// write. The watch makes reactions quick; the poll makes them certain, also when there is no
// container or it cannot be watched.
//
// There is no stop: the coordinator keeps the watcher for the life of the process. After the
// directory has been deleted or moved the watch is not set up again; the poll carries on.

#include "platform/EventLoop.h"
#include "platform/Log.h"

#include <chrono>
#include <functional>
#include <memory>

namespace sollun::helper {

const platform::Logger& watcherLog();

class WakeScheduleWatcher {
public:
    static constexpr std::chrono::seconds pollInterval{5};

    WakeScheduleWatcher(platform::EventLoop& loop, std::function<void()> onChange);
    WakeScheduleWatcher(const WakeScheduleWatcher&) = delete;
    WakeScheduleWatcher& operator=(const WakeScheduleWatcher&) = delete;

    // Sets up the directory watch if it can, then starts the poll. Once.
    void start();

    bool watchesDirectory() const { return dirSource_ != nullptr; }

private:
    platform::EventLoop& loop_;
    std::function<void()> onChange_;
    platform::Source dirSource_;
    platform::Source pollTimer_;
    platform::Source pendingChange_;
};

} // namespace sollun::helper
