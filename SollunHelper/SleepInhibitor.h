#pragma once

// Keeps the system from putting the machine to sleep: neither on request, nor when idle, nor when
// its lid is closed, for as long as a lock lives. The lock shows people why, in the system's own
// list of what holds the machine awake.
//
// A lock dies with the process that holds it: whatever becomes of the helper, the machine is not
// kept awake by a lock nobody holds any more.

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace sollun::helper {

class SleepInhibitor {
public:
    virtual ~SleepInhibitor() = default;

    // A lock asked for, and held once the system has granted it. Destroying it releases it, or
    // withdraws the request; its answer is not called afterwards.
    class Lock {
    public:
        virtual ~Lock() = default;
    };

    // Called once, on the main loop and never from inside inhibit(): with nothing when the lock
    // is held, with why not when the system refused it or could not be asked. It may destroy the
    // lock.
    using Answer = std::function<void(std::optional<std::string> failure)>;

    // Asks for a lock against sleep, idleness and the lid switch, shown with `reason`.
    virtual std::unique_ptr<Lock> inhibit(const std::string& reason, Answer answer) = 0;
};

} // namespace sollun::helper
