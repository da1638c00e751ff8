#pragma once

// A request to the daemon ends in its reply or in its proxy's error handler, and a transport may
// deliver both, in either order. The two callbacks of one request share one ResumeOnce (through a
// shared_ptr), and whichever calls resume() first hands its value to the waiting caller; every
// later call finds the continuation gone and does nothing. The object lives until the transport
// has let go of both callbacks.
//
// The continuation is the waiting caller's Completion; anything else callable once with a T will
// do, which is how the tests count the resumes that actually happen.

#include "platform/Task.h"

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

    // Any number of times; only the first call has an effect.
    void resume(T value) {
        // Taken out before it is called: resuming may run arbitrary code, which may call again.
        std::optional<Continuation> taken;
        taken.swap(continuation_);
        if (taken)
            (*taken)(std::move(value));
    }

private:
    std::optional<Continuation> continuation_;
};

} // namespace sollun::helper
