#pragma once

// The asynchronous convention of both programs: C++20 coroutines that run on the main loop.
//
// - An asynchronous operation is a coroutine returning Task<T>. A Task does nothing until it is
//   awaited (`co_await task`, from another coroutine) or started (`start(loop, task, then)`,
//   which defers its start on the loop like any deferred task and hands its result to `then`).
// - A started task belongs to whoever keeps the source start() returns, as any other callback
//   that uses its owner does: destroying the source destroys the coroutine where it waits, with
//   the tasks it awaits, and what they wait for then resumes nothing. So a coroutine never has to
//   ask whether its owner is still there.
// - A coroutine suspends only at a co_await. While it waits, the loop runs everything else.
// - Callback-style operations become awaitable with awaitCompletion(): the operation receives a
//   Completion<T>, to be called on the loop; the first call wins, later ones are ignored, and the
//   waiting coroutine resumes after the current callback has returned, never inside the caller of
//   the completion. An operation that never completes leaves its coroutine suspended until its
//   owner goes, so every operation must end in exactly one completion (a reply, an error turned
//   into a default, a time-out).
// - Nothing is thrown: an exception escaping a coroutine ends the program.

#include "platform/EventLoop.h"

#include <coroutine>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>

namespace sollun::platform {

template <class T = void>
class Task;

namespace detail {

template <class T>
class StartedTask;

struct PromiseBase {
    // The coroutine that awaits this one, or, for a started task, what takes its result.
    std::coroutine_handle<> continuation;
    std::function<void()> finished;

    struct FinalAwaiter {
        bool await_ready() noexcept { return false; }
        template <class Promise>
        std::coroutine_handle<> await_suspend(std::coroutine_handle<Promise> self) noexcept {
            PromiseBase& promise = self.promise();
            if (promise.continuation)
                return promise.continuation;
            if (promise.finished) {
                // Suspended for good now, so the call may destroy the frame; taken out of it
                // first.
                const auto handOver = std::move(promise.finished);
                handOver();
            }
            return std::noop_coroutine();
        }
        void await_resume() noexcept {}
    };

    std::suspend_always initial_suspend() noexcept { return {}; }
    FinalAwaiter final_suspend() noexcept { return {}; }
    void unhandled_exception() noexcept { std::terminate(); }
};

template <class T>
struct Promise : PromiseBase {
    std::optional<T> value;
    Task<T> get_return_object() noexcept;
    template <class U>
    void return_value(U&& result) {
        value.emplace(std::forward<U>(result));
    }
    T take() { return std::move(*value); }
};

template <>
struct Promise<void> : PromiseBase {
    Task<void> get_return_object() noexcept;
    void return_void() noexcept {}
    void take() noexcept {}
};

} // namespace detail

template <class T>
class [[nodiscard]] Task {
public:
    using promise_type = detail::Promise<T>;
    using Handle = std::coroutine_handle<promise_type>;

    Task(Task&& other) noexcept
        : handle_(std::exchange(other.handle_, {})) {}
    Task& operator=(Task&& other) noexcept {
        if (this != &other) {
            if (handle_)
                handle_.destroy();
            handle_ = std::exchange(other.handle_, {});
        }
        return *this;
    }
    ~Task() {
        if (handle_)
            handle_.destroy();
    }

    // Awaiting runs the task to its end and gives its result.
    bool await_ready() const noexcept { return false; }
    std::coroutine_handle<> await_suspend(std::coroutine_handle<> awaiting) noexcept {
        handle_.promise().continuation = awaiting;
        return handle_;
    }
    T await_resume() { return handle_.promise().take(); }

private:
    friend promise_type;
    friend class detail::StartedTask<T>;
    explicit Task(Handle handle)
        : handle_(handle) {}

    Handle handle_;
};

namespace detail {
template <class T>
Task<T> Promise<T>::get_return_object() noexcept {
    return Task<T>(std::coroutine_handle<Promise<T>>::from_promise(*this));
}
inline Task<void> Promise<void>::get_return_object() noexcept {
    return Task<void>(std::coroutine_handle<Promise<void>>::from_promise(*this));
}

// What start() returns: the task's frame, and the deferred call that starts it.
template <class T>
class StartedTask final : public EventSource {
public:
    template <class Then>
    StartedTask(EventLoop& loop, Task<T> task, Then then)
        : task_(std::move(task)) {
        const auto handle = task_.handle_;
        handle.promise().finished = [handle, then = std::move(then)] {
            if constexpr (std::is_void_v<T>)
                then();
            else
                then(handle.promise().take());
        };
        start_ = loop.defer([handle] { handle.resume(); });
    }

private:
    Task<T> task_;
    Source start_;
};

} // namespace detail

// Starts `task` on the loop after the current callback has returned; the returned source owns it.
// Once the task has returned, `then` gets its result (nothing for a Task<void>). The coroutine is
// over by then, so `then` may destroy the source or start another in its place; the task itself
// must not.
template <class T, class Then>
[[nodiscard]] Source start(EventLoop& loop, Task<T> task, Then then) {
    return std::make_unique<detail::StartedTask<T>>(loop, std::move(task), std::move(then));
}

namespace detail {
template <class T>
struct CompletionState {
    explicit CompletionState(EventLoop& l)
        : loop(l) {}
    EventLoop& loop;
    std::coroutine_handle<> waiting;
    bool completed = false;
    std::optional<std::conditional_t<std::is_void_v<T>, bool, T>> result;
};
} // namespace detail

// Resumes the coroutine that awaits it, once. Copyable.
template <class T>
class Completion {
public:
    explicit Completion(std::shared_ptr<detail::CompletionState<T>> state)
        : state_(std::move(state)) {}

    // Returns whether this call was the one that completed the operation.
    template <class... U>
    bool operator()(U&&... result) const {
        if (std::exchange(state_->completed, true))
            return false;
        if constexpr (std::is_void_v<T>)
            state_->result.emplace(true);
        else
            state_->result.emplace(std::forward<U>(result)...);
        auto state = state_;
        state->loop.post([state] {
            // Nobody waits any more when the waiting coroutine was destroyed meanwhile.
            if (const auto waiting = std::exchange(state->waiting, {}))
                waiting.resume();
        });
        return true;
    }

private:
    std::shared_ptr<detail::CompletionState<T>> state_;
};

template <class T, class Start>
class CompletionAwaiter {
public:
    CompletionAwaiter(EventLoop& loop, Start start)
        : state_(std::make_shared<detail::CompletionState<T>>(loop))
        , start_(std::move(start)) {}
    // Goes with the coroutine that awaits it, resumed or destroyed where it waits.
    ~CompletionAwaiter() {
        if (state_)
            state_->waiting = {};
    }
    CompletionAwaiter(CompletionAwaiter&&) = default;

    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> waiting) {
        state_->waiting = waiting;
        start_(Completion<T>(state_));
    }
    T await_resume() {
        if constexpr (!std::is_void_v<T>)
            return std::move(*state_->result);
    }

private:
    std::shared_ptr<detail::CompletionState<T>> state_;
    Start start_;
};

// `co_await awaitCompletion<T>(loop, [](Completion<T> done) { ...; done(value); })`
template <class T, class Start>
CompletionAwaiter<T, Start> awaitCompletion(EventLoop& loop, Start start) {
    return CompletionAwaiter<T, Start>(loop, std::move(start));
}

} // namespace sollun::platform
