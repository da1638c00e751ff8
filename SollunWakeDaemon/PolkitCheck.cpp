#include "SollunWakeDaemon/PolkitCheck.h"

#include <chrono>

namespace sollun::daemon {
namespace {

constexpr const char* polkitName = "org.freedesktop.PolicyKit1";
constexpr const char* authorityPath = "/org/freedesktop/PolicyKit1/Authority";
constexpr const char* authorityInterface = "org.freedesktop.PolicyKit1.Authority";

// Without interaction polkit answers at once; well within the 25 s a helper waits for the daemon.
constexpr std::chrono::microseconds answerLimit = std::chrono::seconds(10);

} // namespace

PolkitCheck::PolkitCheck(Done done)
    : done_(std::move(done)) {}

std::unique_ptr<PolkitCheck> PolkitCheck::ask(sd_bus* bus, const char* subject, Done done) {
    std::unique_ptr<PolkitCheck> self(new PolkitCheck(std::move(done)));
    platform::BusMessage question;
    // CheckAuthorization(subject, action, details, flags, cancellation id): flags 0 allows no
    // interaction.
    int r = sd_bus_message_new_method_call(bus, platform::out(question), polkitName, authorityPath,
                                           authorityInterface, "CheckAuthorization");
    if (r >= 0)
        r = sd_bus_message_append(question.get(), "(sa{sv})sa{ss}us", "system-bus-name", 1, "name",
                                  "s", subject, scheduleAction, 0, 0u, "");
    if (r >= 0)
        r = sd_bus_call_async(bus, platform::out(self->call_), question.get(),
                              &PolkitCheck::onReply, self.get(),
                              static_cast<std::uint64_t>(answerLimit.count()));
    if (r < 0)
        return nullptr;
    return self;
}

int PolkitCheck::onReply(sd_bus_message* reply, void* userdata, sd_bus_error*) {
    auto& self = *static_cast<PolkitCheck*>(userdata);
    self.call_.reset();
    // The answer may end this check: nothing of it is touched after.
    const Done done = std::move(self.done_);
    if (const sd_bus_error* error = sd_bus_message_get_error(reply)) {
        const bool absent = sd_bus_error_has_names(error, SD_BUS_ERROR_SERVICE_UNKNOWN,
                                                   SD_BUS_ERROR_NAME_HAS_NO_OWNER) > 0;
        done(absent ? Answer::absent : Answer::failed,
             error->message != nullptr ? error->message : error->name);
        return 0;
    }
    int authorized = 0;
    int challenge = 0;
    if (sd_bus_message_enter_container(reply, 'r', "bba{ss}") < 0 ||
        sd_bus_message_read(reply, "bb", &authorized, &challenge) < 0) {
        done(Answer::failed, "polkit's answer cannot be read");
        return 0;
    }
    // A challenge would need the interaction that was not allowed: no.
    done(authorized != 0 ? Answer::authorized : Answer::refused, {});
    return 0;
}

} // namespace sollun::daemon
