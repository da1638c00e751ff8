#pragma once

// Whether a caller may change the schedule at all is polkit's to say, as it is for logind's own
// sleep actions: the action com.kestrovane.sollun.wakedaemon.schedule, with the caller's unique
// bus name as the subject, and no interaction (the daemon has nobody to ask for a password). The
// action's defaults (packaging/) admit a process of a local session, active or not, and no other:
// not service accounts, not remote logins; an administrator's rules may say otherwise.
//
// One question, one answer to `done`, called from the bus's dispatch and never from within ask():
// authorized or not, polkit not on the bus at all, or no answer (a failure, or none within 10 s),
// with the reason. Destroying the check before cancels it.

#include "platform/linux/SdBus.h"

#include <systemd/sd-bus.h>

#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace sollun::daemon {

inline constexpr const char* scheduleAction = "com.kestrovane.sollun.wakedaemon.schedule";

class PolkitCheck {
public:
    enum class Answer { authorized, refused, absent, failed };
    using Done = std::function<void(Answer answer, std::string_view reason)>;

    // Nothing when the question cannot be sent; `done` is then never called.
    static std::unique_ptr<PolkitCheck> ask(sd_bus* bus, const char* subject, Done done);
    PolkitCheck(const PolkitCheck&) = delete;
    PolkitCheck& operator=(const PolkitCheck&) = delete;

private:
    explicit PolkitCheck(Done done);
    static int onReply(sd_bus_message* reply, void* userdata, sd_bus_error* error);

    Done done_;
    platform::BusSlot call_;
};

// Whether this build lets every caller change the schedule when polkit is not on the bus (the
// private buses of the demo and the tests), rather than refusing them all. Decided by the build:
// only a development build does.
bool authorizedWithoutPolkit();

} // namespace sollun::daemon
