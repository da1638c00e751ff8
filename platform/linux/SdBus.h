#pragma once

// What sd-bus hands out with a reference, held as a value: destroying the handle drops the
// reference. A slot is how a callback is registered (a match, a filter, an exported object, a
// pending call), and dropping it unregisters the callback; so whoever the callback points at
// keeps the slot as a member, and no callback outlives its object.
//
// A connection comes in three kinds of hold, by what its holder's end does to it: a reference
// to someone else's connection (unref only); a connection of one's own whose queued messages
// still matter (flushed, then closed); and one of one's own whose queue does not (detached from
// the loop and closed without a flush, which could wait on a stuck bus).

#include <systemd/sd-bus.h>

#include <cstdint>
#include <memory>

namespace sollun::platform {

namespace detail {

template <auto Unref>
struct Unreferences {
    template <class T>
    void operator()(T* object) const {
        Unref(object);
    }
};

inline void closeWithoutFlush(sd_bus* bus) {
    sd_bus_detach_event(bus);
    sd_bus_close_unref(bus);
}

} // namespace detail

using BusSlot = std::unique_ptr<sd_bus_slot, detail::Unreferences<sd_bus_slot_unref>>;
using BusMessage = std::unique_ptr<sd_bus_message, detail::Unreferences<sd_bus_message_unref>>;
using BusRef = std::unique_ptr<sd_bus, detail::Unreferences<sd_bus_unref>>;
using FlushedBus = std::unique_ptr<sd_bus, detail::Unreferences<sd_bus_flush_close_unref>>;
using ClosedBus = std::unique_ptr<sd_bus, detail::Unreferences<detail::closeWithoutFlush>>;

// Hands a handle's address to a C function that gives out a new reference through a pointer, as
// sd_bus_add_match(bus, out(slot_), ...) does; the handle takes it (or nothing), dropping what it
// held before, at the end of the full expression: not to be read within it. C++23's
// std::out_ptr, for the handles above.
template <class Handle>
class OutPointer {
public:
    explicit OutPointer(Handle& handle)
        : handle_(handle) {}
    ~OutPointer() { handle_.reset(raw_); }
    OutPointer(const OutPointer&) = delete;
    OutPointer& operator=(const OutPointer&) = delete;

    operator typename Handle::pointer *() { return &raw_; }

private:
    Handle& handle_;
    typename Handle::pointer raw_ = nullptr;
};

template <class Handle>
OutPointer<Handle> out(Handle& handle) {
    return OutPointer<Handle>(handle);
}

// sd_bus_call_method_async with a time-out of the call's own, for a connection shared with others
// who keep the connection's. `types` and `arguments` as for sd_bus_message_append; nullptr for a
// call without arguments.
template <class... Arguments>
int callMethodAsync(sd_bus* bus, BusSlot& slot, const char* destination, const char* path,
                    const char* interface, const char* member, sd_bus_message_handler_t callback,
                    void* userdata, std::uint64_t timeoutUsec, const char* types,
                    Arguments... arguments) {
    BusMessage call;
    int r = sd_bus_message_new_method_call(bus, out(call), destination, path, interface, member);
    if (r >= 0 && types != nullptr && types[0] != '\0')
        r = sd_bus_message_append(call.get(), types, arguments...);
    if (r >= 0)
        r = sd_bus_call_async(bus, out(slot), call.get(), callback, userdata, timeoutUsec);
    return r;
}

} // namespace sollun::platform
