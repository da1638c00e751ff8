#include "platform/linux/SdEventLoop.h"

#include "platform/linux/Fd.h"

#include <systemd/sd-event.h>

#include <sys/epoll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

namespace sollun::platform {
namespace {

using std::chrono::microseconds;
using std::chrono::nanoseconds;

constexpr std::uint64_t wallTimerAccuracyUsec = 1000;

// sd-event refuses a source only when memory runs out or the call itself is wrong; neither leaves
// a loop worth running.
void check(int result, const char* what) {
    if (result < 0) {
        std::fprintf(stderr, "%s: %s\n", what, std::strerror(-result));
        std::abort();
    }
}

// One registered sd-event source and the callback it calls; the sd-event source points at this
// object. A callback may destroy its own source: the dispatch keeps a reference to the callback
// and learns of the destruction through `alive`, so nothing is touched after it.
template <class Callback>
struct SdSource final : EventSource {
    explicit SdSource(Callback cb)
        : callback(std::make_shared<Callback>(std::move(cb))) {}
    ~SdSource() override {
        sd_event_source_disable_unref(source);
        *alive = false;
    }

    sd_event_source* source = nullptr;
    std::shared_ptr<Callback> callback;
    std::shared_ptr<bool> alive = std::make_shared<bool>(true);
    std::uint64_t interval = 0; // repeating timers only
};

using TaskSource = SdSource<EventLoop::Task>;
using DirectorySource = SdSource<EventLoop::DirectoryCallback>;
using FdSource = SdSource<EventLoop::FdCallback>;

std::uint64_t wallUsec(EventLoop::TimePoint at) {
    // Instants at or before the epoch mean "now", since 0 would read as "no time" to some callers
    // of sd-event. The latest possible instant stays below USEC_INFINITY, which means "never".
    const auto usec = at.time_since_epoch().count();
    return usec > 0 ? static_cast<std::uint64_t>(usec) : 1;
}

// Whole microseconds, at least one: sd-event's resolution, and 0 would mean "no time".
std::uint64_t bootUsec(nanoseconds duration) {
    return std::max<std::uint64_t>(
        1, static_cast<std::uint64_t>(std::chrono::ceil<microseconds>(duration).count()));
}

// Slack lets the kernel batch wake-ups; a twentieth of the interval, at most sd-event's usual
// quarter second, keeps short intervals short.
std::uint64_t bootAccuracyUsec(std::uint64_t usec) {
    return std::min<std::uint64_t>(250'000, std::max<std::uint64_t>(1, usec / 20));
}

int onTimer(sd_event_source*, std::uint64_t, void* userdata) {
    const auto callback = static_cast<TaskSource*>(userdata)->callback;
    (*callback)();
    return 0;
}

int onRepeatingTimer(sd_event_source* source, std::uint64_t scheduled, void* userdata) {
    auto* self = static_cast<TaskSource*>(userdata);
    // Without a clock reading (the loop not yet run), the tick is taken as on time.
    std::uint64_t now = scheduled;
    (void)sd_event_now(sd_event_source_get_event(source), CLOCK_BOOTTIME, &now);
    // Keep the phase; after a long sleep skip the missed ticks instead of firing a burst.
    const std::uint64_t missed = now > scheduled ? (now - scheduled) / self->interval : 0;
    // Fails only for a loop that has finished, whose sources never fire again anyway.
    (void)sd_event_source_set_time(source, scheduled + (missed + 1) * self->interval);
    const auto callback = self->callback;
    (*callback)();
    return 0;
}

int onInotify(sd_event_source*, int fd, std::uint32_t, void* userdata) {
    auto* self = static_cast<DirectorySource*>(userdata);
    const auto callback = self->callback;
    const auto alive = self->alive;
    alignas(inotify_event) char buffer[4096];
    while (*alive) {
        const ssize_t length = read(fd, buffer, sizeof buffer);
        if (length <= 0)
            break;
        for (ssize_t offset = 0; offset < length && *alive;) {
            inotify_event event;
            std::memcpy(&event, buffer + offset, sizeof event);
            // The name is padded with NULs to the record's length.
            const char* name = buffer + offset + sizeof event;
            offset += static_cast<ssize_t>(sizeof event + event.len);
            (*callback)(
                DirectoryEvent{event.mask, std::string_view(name, strnlen(name, event.len))});
        }
    }
    return 0;
}

int onSignal(sd_event_source*, const signalfd_siginfo*, void* userdata) {
    const auto callback = static_cast<TaskSource*>(userdata)->callback;
    (*callback)();
    return 0;
}

int onFd(sd_event_source*, int, std::uint32_t revents, void* userdata) {
    const auto callback = static_cast<FdSource*>(userdata)->callback;
    (*callback)(revents);
    return 0;
}

} // namespace

SdEventLoop::SdEventLoop() {
    check(sd_event_new(&event_), "sd_event_new");
    check(sd_event_add_defer(event_, &postedSource_, &SdEventLoop::onPosted, this),
          "sd_event_add_defer");
    check(sd_event_source_set_enabled(postedSource_, SD_EVENT_OFF), "sd_event_source_set_enabled");
}

SdEventLoop::~SdEventLoop() {
    sd_event_source_disable_unref(postedSource_);
    sd_event_unref(event_);
}

SdEventLoop& SdEventLoop::main() {
    // Never destroyed: process-lifetime objects keep sources on it until the very end.
    static SdEventLoop* const loop = new SdEventLoop;
    return *loop;
}

void SdEventLoop::post(Task task) {
    posted_.push_back(std::move(task));
    // Fails only once the loop has finished, when nothing posted would run anyway; run() then
    // runs what is left before it returns.
    (void)sd_event_source_set_enabled(postedSource_, SD_EVENT_ONESHOT);
}

int SdEventLoop::onPosted(sd_event_source*, void* userdata) {
    static_cast<SdEventLoop*>(userdata)->runPosted();
    return 0;
}

void SdEventLoop::runPosted() {
    // Only the tasks posted so far: what they post runs at a later iteration, after other
    // sources had their turn.
    std::vector<Task> batch;
    batch.swap(posted_);
    for (auto& task : batch)
        task();
    if (posted_.empty()) {
        batch.clear();
        posted_.swap(batch);
        // Switching a source off cannot fail while the loop runs it.
        (void)sd_event_source_set_enabled(postedSource_, SD_EVENT_OFF);
    }
}

Source SdEventLoop::addWallTimer(TimePoint at, Task callback) {
    auto source = std::make_unique<TaskSource>(std::move(callback));
    check(sd_event_add_time(event_, &source->source, CLOCK_REALTIME, wallUsec(at),
                            wallTimerAccuracyUsec, onTimer, source.get()),
          "sd_event_add_time");
    return source;
}

Source SdEventLoop::addOneShotTimer(nanoseconds after, Task callback) {
    const auto usec = bootUsec(after);
    auto source = std::make_unique<TaskSource>(std::move(callback));
    // A new time source is one-shot: sd-event turns it off once it has fired.
    check(sd_event_add_time_relative(event_, &source->source, CLOCK_BOOTTIME, usec,
                                     bootAccuracyUsec(usec), onTimer, source.get()),
          "sd_event_add_time_relative");
    return source;
}

Source SdEventLoop::addRepeatingTimer(nanoseconds interval, Task callback) {
    const auto usec = bootUsec(interval);
    auto source = std::make_unique<TaskSource>(std::move(callback));
    source->interval = usec;
    check(sd_event_add_time_relative(event_, &source->source, CLOCK_BOOTTIME, usec,
                                     bootAccuracyUsec(usec), onRepeatingTimer, source.get()),
          "sd_event_add_time_relative");
    check(sd_event_source_set_enabled(source->source, SD_EVENT_ON), "sd_event_source_set_enabled");
    return source;
}

std::variant<Source, std::error_code>
SdEventLoop::watchDirectory(const std::filesystem::path& directory, std::uint32_t mask,
                            DirectoryCallback callback) {
    Fd fd(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!fd || inotify_add_watch(fd.get(), directory.c_str(), mask | IN_ONLYDIR) < 0)
        return std::error_code(errno, std::generic_category());
    auto source = std::make_unique<DirectorySource>(std::move(callback));
    if (const int r =
            sd_event_add_io(event_, &source->source, fd.get(), EPOLLIN, onInotify, source.get());
        r < 0)
        return std::error_code(-r, std::generic_category());
    // The source closes it from now on.
    if (const int r = sd_event_source_set_io_fd_own(source->source, 1); r < 0)
        return std::error_code(-r, std::generic_category());
    fd.release();
    return Source(std::move(source));
}

Source SdEventLoop::watchFd(int fd, std::uint32_t events, FdCallback callback) {
    auto source = std::make_unique<FdSource>(std::move(callback));
    check(sd_event_add_io(event_, &source->source, fd, events, onFd, source.get()),
          "sd_event_add_io");
    return source;
}

Source SdEventLoop::watchSignal(int signal, Task callback) {
    auto source = std::make_unique<TaskSource>(std::move(callback));
    check(sd_event_add_signal(event_, &source->source, signal | SD_EVENT_SIGNAL_PROCMASK, onSignal,
                              source.get()),
          "sd_event_add_signal");
    return source;
}

EventLoop::TimePoint SdEventLoop::now() const {
    return std::chrono::floor<microseconds>(Clock::now());
}

int SdEventLoop::run() {
    // Iterations of our own rather than sd_event_loop(), which finishes the loop for good: a loop
    // may run again after exit() (the tests run one several times).
    exitCode_.reset();
    while (!exitCode_) {
        if (const int r = sd_event_run(event_, UINT64_MAX); r < 0)
            return r;
        // What the callback just dispatched has posted runs now that it has returned, rather
        // than at an iteration of its own: an idle program's wake-ups each cost one iteration
        // instead of two.
        if (!exitCode_ && !posted_.empty())
            runPosted();
        // Something that owns a source ended the loop itself, as a bus connection set to exit on
        // disconnect does; that is final.
        if (sd_event_get_state(event_) == SD_EVENT_FINISHED) {
            int code = 0;
            // The state says it finished: the code is there to read.
            (void)sd_event_get_exit_code(event_, &code);
            return code;
        }
    }
    return *exitCode_;
}

void SdEventLoop::exit(int code) {
    exitCode_ = code;
}

} // namespace sollun::platform
