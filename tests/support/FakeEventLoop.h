#pragma once

#include "platform/EventLoop.h"

#include <chrono>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <vector>

namespace sollun::test {

// A loop whose clocks only move when a test moves them. Posted tasks run when the test calls
// runPending() or moves time; timers fire in order of their due times as time passes; directory
// events and signals are delivered by hand, descriptors never become ready.
class FakeEventLoop final : public platform::EventLoop {
public:
    // 2026-03-01T22:10:05Z, an instant of no significance.
    static constexpr TimePoint defaultStart{std::chrono::seconds(1772403005)};

    explicit FakeEventLoop(TimePoint start = defaultStart)
        : wallNow_(start) {}

    void post(Task task) override;
    platform::Source addWallTimer(TimePoint at, Task callback) override;
    platform::Source addOneShotTimer(std::chrono::nanoseconds after, Task callback) override;
    platform::Source addRepeatingTimer(std::chrono::nanoseconds interval, Task callback) override;
    std::variant<platform::Source, std::error_code>
    watchDirectory(const std::filesystem::path& directory, std::uint32_t mask,
                   DirectoryCallback callback) override;
    platform::Source watchFd(int fd, std::uint32_t events, FdCallback callback) override;
    platform::Source watchSignal(int signal, Task callback) override;
    TimePoint now() const override { return wallNow_; }
    int run() override;
    void exit(int code) override { exitCode_ = code; }

    // Runs posted tasks, including those they post, until none is left.
    void runPending();
    // Time passes on both clocks, the wall clock to the microsecond; every timer due on the way
    // fires at its due time, with the posted tasks it causes run before the next one.
    void advance(std::chrono::nanoseconds duration);
    // The wall clock is set (forward or back) without time passing; wall timers now due fire.
    void setWallClock(TimePoint instant);

    // The next watchDirectory() of `directory` fails with `error`.
    void failWatch(const std::filesystem::path& directory, std::errc error);
    // Delivers one event to every live watch of `directory`; returns how many got it.
    int emitDirectoryEvent(const std::filesystem::path& directory, std::uint32_t mask);
    int emitSignal(int signal);

private:
    struct Entry {
        enum class Kind { wall, oneShot, repeating, directory, fd, signal };
        explicit Entry(Kind k)
            : kind(k) {}
        Kind kind;
        TimePoint wallDue{};
        std::chrono::nanoseconds bootDue{};
        std::chrono::nanoseconds interval{};
        std::filesystem::path directory;
        int signal = -1;
        Task task;
        DirectoryCallback onDirectory;
        bool alive = true;
    };
    class Handle;

    platform::Source add(std::shared_ptr<Entry> entry);
    std::shared_ptr<Entry> nextDue(TimePoint wallLimit, std::chrono::nanoseconds bootLimit);
    std::chrono::nanoseconds untilDue(const Entry& entry) const;
    void fire(const std::shared_ptr<Entry>& entry);

    TimePoint wallNow_;
    std::chrono::nanoseconds bootNow_{};
    std::deque<Task> posted_;
    std::vector<std::shared_ptr<Entry>> entries_;
    std::map<std::filesystem::path, std::errc> failingWatches_;
    std::optional<int> exitCode_;
};

} // namespace sollun::test
