#include "SollunHelper/WakeRequestSender.h"

// The sender is the coordinator's part and logs as it.
#include "SollunHelper/HelperCoordinator.h"

#include <algorithm>
#include <utility>

namespace sollun::helper {

WakeRequestSender::WakeRequestSender(platform::EventLoop& loop, WakeDaemonController& daemon,
                                     Ended ended)
    : loop_(loop)
    , daemon_(daemon)
    , ended_(std::move(ended)) {}

void WakeRequestSender::send(WakeRequest request) {
    // The same revision once more (the forced reconciliation at start, after the watcher's): its
    // request is in flight, answered or waiting for the daemon already.
    if (latest_ == request && !unsent_ && !retryTimer_)
        return;
    latest_ = request;
    unsent_ = true;
    held_ = false;
    retryTimer_.reset(); // this request's own end decides whether to send again
    sendNext();
}

void WakeRequestSender::registrationChanged() {
    const auto state = daemon_.registrationState();
    if (state == WakeDaemonRegistrationState::unknown)
        return;
    if (state == WakeDaemonRegistrationState::enabled && (held_ || retryTimer_)) {
        held_ = false;
        retryTimer_.reset();
        unsent_ = true;
    }
    sendNext();
}

void WakeRequestSender::resume() {
    paused_ = false;
    sendNext();
}

void WakeRequestSender::sendNext() {
    if (inFlight_ || paused_ || !unsent_ || !latest_)
        return;
    // Until the system has told where the daemon stands (just after start), the request waits
    // for it rather than being skipped.
    if (daemon_.registrationState() == WakeDaemonRegistrationState::unknown)
        return;
    if (paceTimer_)
        return;
    const auto now = RequestBucket::Clock::now();
    if (!pace_.take(now)) {
        paceTimer_ = loop_.addOneShotTimer(pace_.nextAt(now) - now, [this] {
            paceTimer_.reset();
            sendNext();
        });
        return;
    }
    unsent_ = false;
    inFlight_ = true;
    request_ = platform::start(
        loop_, daemon_.requestWake(latest_->wakeDate),
        [this](WakeDaemonController::WakeRequestOutcome outcome) { finished(outcome); });
}

void WakeRequestSender::finished(WakeDaemonController::WakeRequestOutcome outcome) {
    inFlight_ = false;
    // A newer revision came meanwhile: it goes now, and this end is nobody's concern.
    if (unsent_) {
        sendNext();
        return;
    }
    if (outcome.skipped) {
        held_ = true;
    } else if (!outcome.unanswered) {
        retryInterval_ = firstRetryInterval;
    } else {
        // A request that never got its answer may or may not have reached the daemon, and
        // Sollun's next revision may be a day away.
        coordinatorLog().info(
            "The schedule did not reach the daemon; sending it again in %{public}ds",
            static_cast<int>(retryInterval_.count()));
        retryTimer_ = loop_.addOneShotTimer(retryInterval_, [this] {
            retryTimer_.reset();
            retryInterval_ = std::min(retryInterval_ * 2, longestRetryInterval);
            unsent_ = true;
            sendNext();
        });
    }
    ended_(*latest_, outcome.scheduled);
}

} // namespace sollun::helper
