#include "tests/support/FakeEventLoop.h"

#include <algorithm>

namespace sollun::test {

class FakeEventLoop::Handle final : public platform::EventSource {
public:
    explicit Handle(std::shared_ptr<Entry> entry)
        : entry_(std::move(entry)) {}
    ~Handle() override { entry_->alive = false; }

private:
    std::shared_ptr<Entry> entry_;
};

void FakeEventLoop::post(Task task) {
    posted_.push_back(std::move(task));
}

platform::Source FakeEventLoop::add(std::shared_ptr<Entry> entry) {
    entries_.push_back(entry);
    return std::make_unique<Handle>(std::move(entry));
}

platform::Source FakeEventLoop::addWallTimer(TimePoint at, Task callback) {
    auto entry = std::make_shared<Entry>(Entry::Kind::wall);
    entry->wallDue = at;
    entry->task = std::move(callback);
    return add(std::move(entry));
}

platform::Source FakeEventLoop::addOneShotTimer(std::chrono::nanoseconds after, Task callback) {
    auto entry = std::make_shared<Entry>(Entry::Kind::oneShot);
    entry->bootDue = bootNow_ + after;
    entry->task = std::move(callback);
    return add(std::move(entry));
}

platform::Source FakeEventLoop::addRepeatingTimer(std::chrono::nanoseconds interval,
                                                  Task callback) {
    auto entry = std::make_shared<Entry>(Entry::Kind::repeating);
    entry->bootDue = bootNow_ + interval;
    entry->interval = interval;
    entry->task = std::move(callback);
    return add(std::move(entry));
}

std::variant<platform::Source, std::error_code>
FakeEventLoop::watchDirectory(const std::filesystem::path& directory, std::uint32_t,
                              DirectoryCallback callback) {
    if (auto failing = failingWatches_.find(directory); failing != failingWatches_.end()) {
        const auto error = std::make_error_code(failing->second);
        failingWatches_.erase(failing);
        return error;
    }
    auto entry = std::make_shared<Entry>(Entry::Kind::directory);
    entry->directory = directory;
    entry->onDirectory = std::move(callback);
    return add(std::move(entry));
}

platform::Source FakeEventLoop::watchFd(int, std::uint32_t, FdCallback) {
    return add(std::make_shared<Entry>(Entry::Kind::fd));
}

platform::Source FakeEventLoop::watchSignal(int signal, Task callback) {
    auto entry = std::make_shared<Entry>(Entry::Kind::signal);
    entry->signal = signal;
    entry->task = std::move(callback);
    return add(std::move(entry));
}

int FakeEventLoop::run() {
    exitCode_.reset();
    while (!exitCode_) {
        runPending();
        if (exitCode_)
            break;
        // Nothing left to do but wait: jump to the next timer, as real time would.
        auto next = nextDue(TimePoint::max(), std::chrono::nanoseconds::max());
        if (!next || untilDue(*next) == std::chrono::nanoseconds::max())
            return -1; // would sleep for ever
        advance(std::max(untilDue(*next), std::chrono::nanoseconds::zero()));
    }
    return *exitCode_;
}

void FakeEventLoop::runPending() {
    while (!posted_.empty()) {
        auto task = std::move(posted_.front());
        posted_.pop_front();
        task();
    }
}

// All timers compared on the boot clock: how long from now until each is due. A wall timer
// further away than its nanoseconds can say is as good as never, or overdue.
std::chrono::nanoseconds FakeEventLoop::untilDue(const Entry& entry) const {
    if (entry.kind != Entry::Kind::wall)
        return entry.bootDue - bootNow_;
    using std::chrono::nanoseconds;
    constexpr auto reach = std::chrono::floor<std::chrono::microseconds>(nanoseconds::max());
    const auto ahead = entry.wallDue - wallNow_;
    return ahead >= reach ? nanoseconds::max() : ahead <= -reach ? nanoseconds::min() : ahead;
}

std::shared_ptr<FakeEventLoop::Entry> FakeEventLoop::nextDue(TimePoint wallLimit,
                                                             std::chrono::nanoseconds bootLimit) {
    std::erase_if(entries_, [](const auto& entry) { return !entry->alive; });
    std::shared_ptr<Entry> best;
    for (const auto& entry : entries_) {
        const bool due =
            entry->kind == Entry::Kind::wall ? entry->wallDue <= wallLimit
            : entry->kind == Entry::Kind::oneShot || entry->kind == Entry::Kind::repeating
                ? entry->bootDue <= bootLimit
                : false;
        if (due && (!best || untilDue(*entry) < untilDue(*best)))
            best = entry;
    }
    return best;
}

void FakeEventLoop::fire(const std::shared_ptr<Entry>& entry) {
    if (entry->kind != Entry::Kind::repeating) {
        entry->alive = false; // one-shot
        auto task = std::move(entry->task);
        task();
    } else {
        entry->bootDue += entry->interval;
        while (entry->bootDue <= bootNow_)
            entry->bootDue += entry->interval; // missed ticks are not made up
        auto task = entry->task;
        task();
    }
    runPending();
}

void FakeEventLoop::advance(std::chrono::nanoseconds duration) {
    runPending();
    const auto wallEnd = wallNow_ + std::chrono::floor<std::chrono::microseconds>(duration);
    const auto bootEnd = bootNow_ + duration;
    while (auto entry = nextDue(wallEnd, bootEnd)) {
        // Move both clocks to the moment this timer is due.
        const auto step = std::max(untilDue(*entry), std::chrono::nanoseconds::zero());
        wallNow_ += std::chrono::floor<std::chrono::microseconds>(step);
        bootNow_ += step;
        fire(entry);
    }
    wallNow_ = wallEnd;
    bootNow_ = bootEnd;
}

void FakeEventLoop::setWallClock(TimePoint instant) {
    wallNow_ = instant;
    runPending();
    while (auto entry = nextDue(wallNow_, bootNow_))
        fire(entry);
}

void FakeEventLoop::failWatch(const std::filesystem::path& directory, std::errc error) {
    failingWatches_[directory] = error;
}

int FakeEventLoop::emitDirectoryEvent(const std::filesystem::path& directory, std::uint32_t mask) {
    int delivered = 0;
    for (const auto& entry : std::vector(entries_)) {
        if (entry->alive && entry->kind == Entry::Kind::directory &&
            entry->directory == directory) {
            auto callback = entry->onDirectory;
            callback(platform::DirectoryEvent{mask, {}});
            ++delivered;
        }
    }
    return delivered;
}

int FakeEventLoop::emitSignal(int signal) {
    int delivered = 0;
    for (const auto& entry : std::vector(entries_)) {
        if (entry->alive && entry->kind == Entry::Kind::signal && entry->signal == signal) {
            auto task = entry->task;
            task();
            ++delivered;
        }
    }
    runPending();
    return delivered;
}

} // namespace sollun::test
