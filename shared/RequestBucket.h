#pragma once

// How often one user may ask the daemon to change the schedule: `burst` requests at once, and one
// more for every `interval` since. A bucket that fills again at that pace, kept as the time at
// which it will be full again. The daemon refuses a user's request that finds the bucket empty;
// the helper keeps a bucket of its own and holds its next request until it would be admitted, so
// that however long a burst of revisions, a genuine helper is never refused.

#include <algorithm>
#include <chrono>

namespace sollun {

class RequestBucket {
public:
    using Clock = std::chrono::steady_clock;

    static constexpr int burst = 20;
    static constexpr Clock::duration interval = std::chrono::seconds(1);

    // Takes one request at `now`: false, and nothing taken, when the bucket is empty.
    bool take(Clock::time_point now) {
        fullAt_ = std::max(fullAt_, now);
        if (fullAt_ + interval - now > burst * interval)
            return false;
        fullAt_ += interval;
        return true;
    }

    // The earliest time, `now` or later, at which take() succeeds.
    Clock::time_point nextAt(Clock::time_point now) const {
        return std::max(now, fullAt_ + interval - burst * interval);
    }

    bool full(Clock::time_point now) const { return fullAt_ <= now; }

private:
    Clock::time_point fullAt_ = Clock::time_point::min();
};

} // namespace sollun
