#pragma once

// A request to the daemon ends in its reply or in its proxy's error handler, and the transport may
// deliver both: on its own threads, in either order, the second one possibly while the first is
// still running. The two callbacks of one request share one ResumeOnce (through a shared_ptr), and
// whichever calls resume() first hands its value to the waiting caller; every later call finds
// the continuation gone and does nothing. The object lives until the transport has let go of both
// callbacks.
//
// The continuation is the waiting caller's Completion; anything else callable once with a T will
// do, which is how the tests count the resumes that actually happen.

#include "platform/Task.h"

#include <mutex>
#include <optional>
#include <utility>

namespace sollun::helper {

template <class T, class Continuation = platform::Completion<T>>
class ResumeOnce {
public:
    explicit ResumeOnce(Continuation continuation)
        : continuation_(std::move(continuation)) {}
    ResumeOnce(const ResumeOnce&) = delete;
    ResumeOnce& operator=(const ResumeOnce&) = delete;

    // Any thread, any number of times; only the first call has an effect.
    void resume(T value) {
        std::optional<Continuation> taken;
        {
            std::lock_guard guard(lock_);
            taken.swap(continuation_);
        }
        // Outside the lock: resuming may run arbitrary code, and the other callback must not wait
        // for it only to find out that it has nothing to do.
        if (taken)
            (*taken)(std::move(value));
    }

private:
    std::optional<Continuation> continuation_;
    std::mutex lock_;
};

} // namespace sollun::helper
