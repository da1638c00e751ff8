#include "SollunWakeDaemon/LogindSleep.h"

#include "SollunWakeDaemon/DaemonLog.h"
#include "platform/Log.h"
#include "platform/linux/Logind.h"

#include <fcntl.h>

#include <cstring>

namespace sollun::daemon {
namespace {

constexpr const char* logindName = platform::logind::name;
constexpr const char* logindPath = platform::logind::path;
constexpr const char* managerInterface = platform::logind::managerInterface;

// What `systemd-inhibit --list` shows for the lock.
constexpr const char* lockWho = "Sollun wake daemon";
constexpr const char* lockWhy = "Arming the RTC for the next alarm";

} // namespace

LogindSleepDelay::LogindSleepDelay(sd_bus* bus)
    : bus_(bus) {}

void LogindSleepDelay::take() {
    if (lock_ || ask_)
        return;
    const int r = sd_bus_call_method_async(
        bus_, platform::out(ask_), logindName, logindPath, managerInterface, "Inhibit",
        &LogindSleepDelay::onInhibit, this, "ssss", "sleep", lockWho, lockWhy, "delay");
    if (r < 0)
        refused(std::strerror(-r));
}

void LogindSleepDelay::release() {
    ask_.reset();
    if (!lock_)
        return;
    lock_.reset();
    daemonLog().info("Released the delay lock for sleep");
}

int LogindSleepDelay::onInhibit(sd_bus_message* reply, void* userdata, sd_bus_error*) {
    auto& self = *static_cast<LogindSleepDelay*>(userdata);
    self.ask_.reset();
    if (const sd_bus_error* error = sd_bus_message_get_error(reply)) {
        self.refused(error->message != nullptr ? error->message : error->name);
        return 0;
    }
    // The reply owns its descriptor and closes it with itself.
    int fd = -1;
    if (sd_bus_message_read(reply, "h", &fd) >= 0)
        self.lock_.reset(::fcntl(fd, F_DUPFD_CLOEXEC, 3));
    if (!self.lock_) {
        self.refused("no descriptor in logind's answer");
        return 0;
    }
    daemonLog().info("Holding a delay lock for sleep");
    return 0;
}

void LogindSleepDelay::refused(const char* why) {
    if (saidRefused_)
        return;
    saidRefused_ = true;
    daemonLog().error("No delay lock for sleep (%{public}s): the wake alarm is armed as before, "
                      "but the RTC may not be before a sleep",
                      why);
}

PrepareForSleepWatch::PrepareForSleepWatch(Handler handler)
    : handler_(std::move(handler)) {}

std::unique_ptr<PrepareForSleepWatch> PrepareForSleepWatch::start(sd_bus* bus, Handler handler) {
    std::unique_ptr<PrepareForSleepWatch> self(new PrepareForSleepWatch(std::move(handler)));
    const int r = sd_bus_match_signal(bus, platform::out(self->match_), logindName, logindPath,
                                      managerInterface, "PrepareForSleep",
                                      &PrepareForSleepWatch::onSignal, self.get());
    if (r < 0) {
        daemonLog().error("Failed watching for sleep: %{public}s", std::strerror(-r));
        return nullptr;
    }
    return self;
}

int PrepareForSleepWatch::onSignal(sd_bus_message* message, void* userdata, sd_bus_error*) {
    int asleep = 0;
    if (sd_bus_message_get_destination(message) != nullptr ||
        sd_bus_message_has_signature(message, "b") <= 0 ||
        sd_bus_message_read(message, "b", &asleep) < 0)
        return 0;
    static_cast<PrepareForSleepWatch*>(userdata)->handler_(asleep != 0);
    return 0;
}

} // namespace sollun::daemon
