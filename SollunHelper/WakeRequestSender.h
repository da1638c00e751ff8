#pragma once

// The coordinator's requests to the daemon, one at a time. The coordinator hands over each
// revision it acts upon; it becomes the one to send, in place of any not yet sent, and goes once
// the request in flight has ended. Only the end of the newest revision's request is reported: an
// older request that ends after a newer one was handed over is of no interest any more (the newer
// one replaces whatever it left in the daemon), so what the coordinator publishes never goes back
// to an older revision. However long a burst of revisions and however slow the daemon, the helper
// has one request outstanding and one revision waiting, and the newest is sent right after the
// outstanding one ends, or as soon as the daemon's limit on one user's requests allows
// (RequestBucket.h): a long burst goes at one request a second after its first twenty, rather
// than being refused.
//
// A request goes only while the daemon is enabled. Before the registration is known (just after
// start) the revision waits for it without a word; once the daemon is known not to be enabled,
// its request is skipped (the controller logs that), reported as scheduling nothing, and sent
// when the daemon becomes enabled. A request that got no answer (no connection, the daemon gone
// mid-request, a time-out) is sent again on its own after 5 s, then after twice as long each time
// up to 5 minutes, until one is answered; a refusal is an answer, and so is a skip. What goes
// again is the revision as it was handed over, never the file as it is by then: a rewrite under
// the same revision is not acted upon, and does not reach the daemon either.
//
// Everything runs on the main loop.

#include "SollunHelper/WakeDaemonController.h"
#include "platform/EventLoop.h"
#include "platform/Task.h"
#include "shared/Instant.h"
#include "shared/RequestBucket.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace sollun::helper {

// A request that got no answer is sent again after this long, then after twice as long each time
// up to the longest interval, until one is answered.
inline constexpr std::chrono::seconds firstRetryInterval{5};
inline constexpr std::chrono::seconds longestRetryInterval{300};

// What the daemon is asked for a revision of the schedule, and the alarm that goes with it. The
// schedule's other fields stay behind, however large they were.
struct WakeRequest {
    std::optional<Instant> wakeDate;
    std::optional<Instant> alarmDate;
    std::int64_t revision = 0;
    bool operator==(const WakeRequest&) const = default;
};

class WakeRequestSender {
public:
    // Told on the loop how the newest revision's request ended: the date the daemon accepted, or
    // nothing when it cleared the wake, refused it, was skipped or got no answer.
    using Ended = std::function<void(const WakeRequest& request, std::optional<Instant> scheduled)>;

    WakeRequestSender(platform::EventLoop& loop, WakeDaemonController& daemon, Ended ended);
    WakeRequestSender(const WakeRequestSender&) = delete;
    WakeRequestSender& operator=(const WakeRequestSender&) = delete;

    // Makes `request` the one to send, replacing one not yet sent and any retry; sends it at once
    // when no request is in flight. The request already sent or held, handed over again, changes
    // nothing.
    void send(WakeRequest request);
    // The registration may have changed: a revision waiting for it goes now, and so does one
    // waiting for its retry once the daemon is enabled.
    void registrationChanged();
    // While paused nothing is sent: another request to the daemon (its version, at start) is
    // under way.
    void pause() { paused_ = true; }
    void resume();

private:
    void sendNext();
    void finished(WakeDaemonController::WakeRequestOutcome outcome);

    platform::EventLoop& loop_;
    WakeDaemonController& daemon_;
    const Ended ended_;
    // The newest revision handed over, and whether its request is still to be sent (for the first
    // time or again).
    std::optional<WakeRequest> latest_;
    bool unsent_ = false;
    bool inFlight_ = false;
    bool paused_ = false;
    // Skipped while the daemon was not enabled: sent once it is.
    bool held_ = false;
    platform::Source retryTimer_;
    // The daemon's limit, kept on this side; the timer sends the waiting revision when it allows.
    RequestBucket pace_;
    platform::Source paceTimer_;
    std::chrono::seconds retryInterval_ = firstRetryInterval;
    // The request in flight, which goes with the sender.
    platform::Source request_;
};

} // namespace sollun::helper
