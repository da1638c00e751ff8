#pragma once

// How often one user may ask the daemon to change the schedule. A change is a durable rewrite of
// the store, a log line and an arming of the hardware, and the daemon serves one request at a
// time: a user changing the schedule without pause would fill the journal and hold every other
// user's requests up behind a queue of rewrites.
//
// Each user has a bucket (RequestBucket.h); a request that finds it empty is refused and not
// counted. A genuine helper keeps within the same bucket on its side, so only another program
// is refused.
//
// Only requests that may change the schedule count: a question is answered at about what a
// refusal costs. Users whose bucket is full again are forgotten, so that the table holds only
// the users asking now.

#include "shared/RequestBucket.h"

#include <cstdint>
#include <map>

namespace sollun::daemon {

class RequestLimit {
public:
    using Clock = RequestBucket::Clock;

    static constexpr int burst = RequestBucket::burst;
    static constexpr Clock::duration interval = RequestBucket::interval;

    enum class Verdict {
        admitted,
        // The first refusal since the user's bucket was last full: the one to log.
        firstRefused,
        refused,
    };

    Verdict admit(std::uint32_t uid, Clock::time_point now);

private:
    struct User {
        RequestBucket bucket;
        bool refusing = false;
    };

    void forgetFullBuckets(Clock::time_point now);

    std::map<std::uint32_t, User> users_;
};

} // namespace sollun::daemon
