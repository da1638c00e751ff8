#pragma once

// Tells when the machine has woken from sleep.

#include <functional>
#include <memory>

namespace sollun::helper {

class SystemWakeObserver {
public:
    virtual ~SystemWakeObserver() = default;

    // An opaque registration: `handler` is called on the main loop after every wake, for as long
    // as the token lives.
    class Token {
    public:
        virtual ~Token() = default;
    };
    virtual std::unique_ptr<Token> observeDidWake(std::function<void()> handler) = 0;
};

} // namespace sollun::helper
