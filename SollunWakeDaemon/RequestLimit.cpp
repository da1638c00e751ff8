#include "SollunWakeDaemon/RequestLimit.h"

#include <utility>

namespace sollun::daemon {
namespace {

// More users than this asking at once is unusual; only then is the table swept.
constexpr std::size_t sweepAbove = 64;

} // namespace

RequestLimit::Verdict RequestLimit::admit(std::uint32_t uid, Clock::time_point now) {
    if (buckets_.size() > sweepAbove)
        forgetFullBuckets(now);
    Bucket& bucket = buckets_.try_emplace(uid, Bucket{now}).first->second;
    if (bucket.fullAt <= now) {
        bucket.fullAt = now;
        bucket.refusing = false;
    }
    // Admitting would take the bucket further from full than it holds.
    if (bucket.fullAt + interval - now > burst * interval)
        return std::exchange(bucket.refusing, true) ? Verdict::refused : Verdict::firstRefused;
    bucket.fullAt += interval;
    return Verdict::admitted;
}

void RequestLimit::forgetFullBuckets(Clock::time_point now) {
    std::erase_if(buckets_, [now](const auto& entry) { return entry.second.fullAt <= now; });
}

} // namespace sollun::daemon
