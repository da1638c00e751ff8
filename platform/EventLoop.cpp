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

void DeferredTasks::defer(EventLoop::Task task) {
    const auto entry = pending_.emplace(pending_.end());
    *entry = loop_.defer([this, entry, task = std::move(task)] {
        // Off the list before the call, which may end the owner and this with it; the loop keeps
        // the task itself until it returns.
        pending_.erase(entry);
        task();
    });
}

} // namespace sollun::platform
