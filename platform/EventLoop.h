#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <list>
#include <memory>
#include <string_view>
#include <system_error>
#include <variant>

namespace sollun::platform {

// An event source registered with a loop. Destroying the handle cancels the source: its callback
// is never called afterwards. Whoever uses `this` in a callback keeps the handle as a member, so
// that destroying the owner cancels what would call back into it.
class EventSource {
public:
    virtual ~EventSource() = default;
};
using Source = std::unique_ptr<EventSource>;

// What an inotify watch reports, one call per kernel event.
struct DirectoryEvent {
    std::uint32_t mask =
        0; // IN_CREATE, IN_MOVED_TO, IN_DELETE_SELF, IN_IGNORED, IN_Q_OVERFLOW, ...
    // The entry the event is about, empty for the directory itself; valid during the call only.
    std::string_view name;
};

// The program's one main loop. Everything that touches the programs' state runs in its callbacks
// on the thread that calls run(), the only thread either program has; nothing in here is
// thread-safe.
//
// Callbacks are plain std::function values. A callback may destroy its own source, or any other.
class EventLoop {
public:
    using Clock = std::chrono::system_clock;
    // Wall-clock instants to the microsecond, sd-event's own resolution, which reaches ±292,000
    // years; the clock's own nanosecond time_point would end in 2262.
    using TimePoint = std::chrono::time_point<Clock, std::chrono::microseconds>;
    using Task = std::function<void()>;

    virtual ~EventLoop() = default;

    // Runs `task` on the loop after the current callback has returned, in the order posted.
    // A posted task belongs to the loop: it captures what it needs and no owner that may be gone
    // by then.
    virtual void post(Task task) = 0;

    // The same for a task that uses its owner, who keeps the source: the task runs once, in the
    // order posted, unless the source was destroyed before. Once it has run the source is spent;
    // an owner that asks whether one is still to run resets it in the task.
    [[nodiscard]] Source defer(Task task);

    // One-shot timer at a wall-clock instant, accurate to a millisecond. It follows steps of the
    // clock, and an instant that passed while the machine slept fires as soon as it runs again.
    // An instant in the past fires at the next iteration; one however far ahead waits for it.
    [[nodiscard]] virtual Source addWallTimer(TimePoint at, Task callback) = 0;

    // One-shot timer `after` from now, on the clock that counts suspended time, with the slack of
    // a repeating timer of that interval.
    [[nodiscard]] virtual Source addOneShotTimer(std::chrono::nanoseconds after, Task callback) = 0;

    // Repeating timer on the clock that counts suspended time; the first tick comes one
    // interval after creation. Ticks missed during sleep are not made up: one tick, then the
    // next one on the original phase.
    [[nodiscard]] virtual Source addRepeatingTimer(std::chrono::nanoseconds interval,
                                                   Task callback) = 0;

    // Watches a directory (inotify `mask`, IN_ONLYDIR added); the callback gets one call per
    // event. Gives the error when the directory cannot be watched.
    using DirectoryCallback = std::function<void(const DirectoryEvent&)>;
    [[nodiscard]] virtual std::variant<Source, std::error_code>
    watchDirectory(const std::filesystem::path& directory, std::uint32_t mask,
                   DirectoryCallback callback) = 0;

    // Calls back whenever `fd` is ready for `events` (EPOLLIN, EPOLLOUT, ...), with the ready
    // set. The descriptor stays the caller's.
    using FdCallback = std::function<void(std::uint32_t revents)>;
    [[nodiscard]] virtual Source watchFd(int fd, std::uint32_t events, FdCallback callback) = 0;

    // Calls back on the loop when the process receives `signal`, which is blocked for the
    // process's normal delivery while the source lives.
    [[nodiscard]] virtual Source watchSignal(int signal, Task callback) = 0;

    // The wall clock as this loop's timers see it.
    virtual TimePoint now() const = 0;

    // Runs until exit() is called on the loop's thread; returns the code given to it. A loop may
    // run again afterwards.
    virtual int run() = 0;
    virtual void exit(int code) = 0;
};

// Deferred tasks of one owner, any number of them at a time: each runs once, in the order
// deferred, and those that have not run when the owner destroys this never do.
class DeferredTasks {
public:
    explicit DeferredTasks(EventLoop& loop)
        : loop_(loop) {}
    DeferredTasks(const DeferredTasks&) = delete;
    DeferredTasks& operator=(const DeferredTasks&) = delete;

    void defer(EventLoop::Task task);

private:
    EventLoop& loop_;
    std::list<Source> pending_;
};

} // namespace sollun::platform
