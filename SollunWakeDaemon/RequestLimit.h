#pragma once

// How often one user may ask the daemon to change the schedule. A change is a durable rewrite of
// the store, a log line and an arming of the hardware, and the daemon serves one request at a
// time: a user changing the schedule without pause would fill the journal and hold every other
// user's requests up behind a queue of rewrites.
//
// Each user may make `burst` requests at once, and one more for every `interval` since: a bucket
// that fills again at that pace, kept as the time at which it will be full again. A request that
// finds it empty is refused and not counted. A genuine helper stays far below: it sends one request
// for each revision of the schedule Sollun publishes, which follows a person editing alarms, and
// one again no sooner than 5 s after a request went unanswered.
//
// Only requests that may change the schedule count: a question is answered at about what a
// refusal costs. Users whose bucket is full again are forgotten, so that the table holds only
// the users asking now.

#include <chrono>
#include <cstdint>
#include <map>

namespace sollun::daemon {

class RequestLimit {
public:
    using Clock = std::chrono::steady_clock;

    static constexpr int burst = 20;
    static constexpr Clock::duration interval = std::chrono::seconds(1);

    enum class Verdict {
        admitted,
        // The first refusal since the user's bucket was last full: the one to log.
        firstRefused,
        refused,
    };

    Verdict admit(std::uint32_t uid, Clock::time_point now);

private:
    struct Bucket {
        Clock::time_point fullAt;
        bool refusing = false;
    };

    void forgetFullBuckets(Clock::time_point now);

    std::map<std::uint32_t, Bucket> buckets_;
};

} // namespace sollun::daemon
