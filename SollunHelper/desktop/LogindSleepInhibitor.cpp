#include "SollunHelper/desktop/LogindSleepInhibitor.h"

#include "platform/linux/Fd.h"
#include "platform/linux/Logind.h"
#include "platform/linux/SdBus.h"

#include <fcntl.h>

#include <cstring>
#include <optional>
#include <utility>

namespace sollun::helper {
namespace {

constexpr const char* logindName = platform::logind::name;
constexpr const char* logindPath = platform::logind::path;
constexpr const char* managerInterface = platform::logind::managerInterface;

} // namespace

// The request, then the descriptor logind answered with; each goes with the lock.
class LogindSleepInhibitor::InhibitorLock final : public Lock {
public:
    InhibitorLock(platform::SdEventLoop& loop, Answer answer)
        : loop_(loop)
        , answer_(std::move(answer)) {}
    InhibitorLock(const InhibitorLock&) = delete;
    InhibitorLock& operator=(const InhibitorLock&) = delete;

    void ask(sd_bus* bus, const std::string& reason) {
        if (bus == nullptr) {
            answer("no connection to the system bus");
            return;
        }
        const int r = sd_bus_call_method_async(bus, platform::out(call_), logindName, logindPath,
                                               managerInterface, "Inhibit", &onReply, this, "ssss",
                                               what, who, reason.c_str(), "block");
        if (r < 0)
            answer(std::string("logind could not be asked: ") + std::strerror(-r));
    }

private:
    static int onReply(sd_bus_message* reply, void* userdata, sd_bus_error*) {
        auto& self = *static_cast<InhibitorLock*>(userdata);
        if (const sd_bus_error* error = sd_bus_message_get_error(reply)) {
            self.answer(error->message != nullptr ? error->message : error->name);
            return 0;
        }
        // The reply owns the descriptor it carries, and closes it with itself.
        int descriptor = -1;
        if (sd_bus_message_read(reply, "h", &descriptor) >= 0)
            self.descriptor_.reset(fcntl(descriptor, F_DUPFD_CLOEXEC, 3));
        if (!self.descriptor_) {
            self.answer("logind's answer carried no lock");
            return 0;
        }
        self.answer(std::nullopt);
        return 0;
    }

    // On the loop, never inside the bus's dispatch or inhibit(); not once the lock is gone. The
    // first answer is the one.
    void answer(std::optional<std::string> failure) {
        if (pendingAnswer_)
            return;
        pendingAnswer_ = loop_.defer([this, failure = std::move(failure)] {
            // Out of the lock first: the answer may destroy it.
            const auto answer = std::exchange(answer_, nullptr);
            if (answer)
                answer(failure);
        });
    }

    platform::SdEventLoop& loop_;
    Answer answer_;
    platform::BusSlot call_;
    platform::Fd descriptor_;
    platform::Source pendingAnswer_;
};

LogindSleepInhibitor::LogindSleepInhibitor(platform::SdEventLoop& loop,
                                           platform::SharedBus& systemBus)
    : loop_(loop)
    , systemBus_(systemBus) {}

std::unique_ptr<SleepInhibitor::Lock> LogindSleepInhibitor::inhibit(const std::string& reason,
                                                                    Answer answer) {
    auto lock = std::make_unique<InhibitorLock>(loop_, std::move(answer));
    lock->ask(systemBus_.connection(), reason);
    return lock;
}

} // namespace sollun::helper
