#pragma once

#include "platform/EventLoop.h"

#include <optional>
#include <vector>

struct sd_event;
struct sd_event_source;

namespace sollun::platform {

// The main loop on sd-event. Posted tasks share one defer source and a queue; those a callback
// posts run as soon as it has returned, in the same iteration; the others (posted by a task, or
// outside run()) through the defer source, at a later iteration.
class SdEventLoop final : public EventLoop {
public:
    // Aborts when the loop cannot be set up (no memory, no descriptors): that happens only at a
    // program's start, where there is nothing better to do.
    SdEventLoop();
    ~SdEventLoop() override;

    // The program's main loop, created on first use on the main thread and kept until the
    // process ends.
    static SdEventLoop& main();
    SdEventLoop(const SdEventLoop&) = delete;
    SdEventLoop& operator=(const SdEventLoop&) = delete;

    void post(Task task) override;
    Source addWallTimer(TimePoint at, Task callback) override;
    Source addOneShotTimer(std::chrono::nanoseconds after, Task callback) override;
    Source addRepeatingTimer(std::chrono::nanoseconds interval, Task callback) override;
    std::variant<Source, std::error_code> watchDirectory(const std::filesystem::path& directory,
                                                         std::uint32_t mask,
                                                         DirectoryCallback callback) override;
    Source watchFd(int fd, std::uint32_t events, FdCallback callback) override;
    Source watchSignal(int signal, Task callback) override;
    TimePoint now() const override;
    int run() override;
    void exit(int code) override;

    // For attaching bus connections to the same loop.
    sd_event* native() const { return event_; }

private:
    static int onPosted(sd_event_source*, void* userdata);
    void runPosted();

    sd_event* event_ = nullptr;
    sd_event_source* postedSource_ = nullptr;
    // Its storage is kept from batch to batch: posting allocates nothing once the loop has run.
    std::vector<Task> posted_;

    std::optional<int> exitCode_;
};

} // namespace sollun::platform
