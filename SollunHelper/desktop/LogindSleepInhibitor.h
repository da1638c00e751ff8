#pragma once

// logind's locks against sleep. org.freedesktop.login1.Manager.Inhibit("sleep:idle:handle-lid-
// switch", "Sollun", reason, "block") answers with a descriptor, and the lock lasts while any
// copy of it is open: closing it releases the lock, and so does the end of the process, which
// logind sees as the descriptor's last close. The copy kept here is close-on-exec, so that the
// programs the helper starts (the main application among them) do not hold the machine awake.
//
// The call goes over the helper's one connection to the system bus, never one of its own. It is
// asynchronous: logind may ask polkit first, and the loop runs meanwhile. While the bus cannot be
// reached, a lock is refused at once; a request whose connection is lost before logind answered
// gets no answer.
// Nothing here logs: the policy that asked does.
//
// Everything runs on the loop's thread. The bus's owner must outlive the inhibitor's locks.

#include "SollunHelper/SleepInhibitor.h"
#include "platform/linux/SdEventLoop.h"
#include "platform/linux/SharedBus.h"

#include <memory>
#include <string>

namespace sollun::helper {

class LogindSleepInhibitor final : public SleepInhibitor {
public:
    // What the locks are taken for, and by whom, as systemd-inhibit --list shows them.
    static constexpr const char* what = "sleep:idle:handle-lid-switch";
    static constexpr const char* who = "Sollun";

    LogindSleepInhibitor(platform::SdEventLoop& loop, platform::SharedBus& systemBus);

    std::unique_ptr<Lock> inhibit(const std::string& reason, Answer answer) override;

private:
    class InhibitorLock;

    platform::SdEventLoop& loop_;
    platform::SharedBus& systemBus_;
};

} // namespace sollun::helper
