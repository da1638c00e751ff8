#pragma once

#include <chrono>

namespace sollun {

// An absolute instant, kept exactly (sub-second parts included). Every date that crosses between
// the programs or sits in a record is one of these.
using Instant = std::chrono::system_clock::time_point;

} // namespace sollun
