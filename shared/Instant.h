#pragma once

#include <chrono>

namespace sollun {

// An absolute instant, to the microsecond. Every date that crosses between the programs or sits
// in a record is one of these.
//
// Microseconds are what the daemon's bus argument, its store and sd-event's timers carry (the
// files between the programs carry whole seconds), and in 64 bits they span ±292,000 years: every
// date the files can write, years 0000 to 9999, fits with room to spare, where the system clock's
// own nanoseconds end in 1677 and 2262. For the same reason an Instant is never handed to anything
// that takes the system clock's time_point: that conversion is implicit and overflows silently.
using Instant = std::chrono::time_point<std::chrono::system_clock, std::chrono::microseconds>;

// The system clock's current time, cut to the microsecond.
inline Instant currentInstant() {
    return std::chrono::floor<Instant::duration>(std::chrono::system_clock::now());
}

} // namespace sollun
