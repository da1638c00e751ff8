#include "SollunWakeDaemon/RequestLimit.h"

#include <utility>

namespace sollun::daemon {
namespace {

// More users than this asking at once is unusual; only then is the table swept.
constexpr std::size_t sweepAbove = 64;

} // namespace

RequestLimit::Verdict RequestLimit::admit(std::uint32_t uid, Clock::time_point now) {
    if (users_.size() > sweepAbove)
        forgetFullBuckets(now);
    User& user = users_[uid];
    if (user.bucket.full(now))
        user.refusing = false;
    if (user.bucket.take(now))
        return Verdict::admitted;
    return std::exchange(user.refusing, true) ? Verdict::refused : Verdict::firstRefused;
}

void RequestLimit::forgetFullBuckets(Clock::time_point now) {
    std::erase_if(users_, [now](const auto& entry) { return entry.second.bucket.full(now); });
}

} // namespace sollun::daemon
