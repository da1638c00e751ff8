#include "platform/EventLoop.h"

#include <utility>

namespace sollun::platform {
namespace {

// The task, shared with the posted call that runs it, which finds it gone once the source is.
class DeferredTask final : public EventSource {
public:
    explicit DeferredTask(std::shared_ptr<EventLoop::Task> task)
        : task_(std::move(task)) {}

private:
    std::shared_ptr<EventLoop::Task> task_;
};

} // namespace

Source EventLoop::defer(Task task) {
    auto shared = std::make_shared<Task>(std::move(task));
    post([weak = std::weak_ptr(shared)] {
        // Held for the call: the task may destroy its own source.
        if (const auto deferred = weak.lock())
            (*deferred)();
    });
    return std::make_unique<DeferredTask>(std::move(shared));
}

} // namespace sollun::platform
