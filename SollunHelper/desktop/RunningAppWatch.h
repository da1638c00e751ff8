#pragma once

// Whether an application runs, kept current from notices instead of looked up at each read, for
// a menu that must show it at any moment without scanning /proc or asking the bus every time.
// The same three checks as GioWorkspace::isRunning, each fed by events:
//
//   - processes known to be the application: those its launches from here started, and those a
//     scan of /proc found running the entry's program. Each is followed through a pidfd, so
//     that its end is an event;
//   - the program's start: an inotify watch on the program's file reports each open of it, which
//     every exec of it is, and a scan follows shortly after (twice: the open comes before the
//     exec is done). The program replaced, moved or deleted has the entry read and the watch set
//     up again;
//   - the application id's owner on the session bus, from NameOwnerChanged for that name alone,
//     after one NameHasOwner at the start; both asynchronous, on the helper's shared connection,
//     and registered again on each new one.
//
// While nothing starts or ends, nothing runs: no timer, no bus traffic. What no event covers (the
// entry installed or changed after the start, a process that stopped running the program without
// ending) is caught by recheck(), which a host's opening of the menu calls; it reads the entry and
// scans at most once a second, in a task of its own.

#include "SollunHelper/Workspace.h"
#include "SollunHelper/desktop/ProgramProcesses.h"
#include "platform/linux/Fd.h"
#include "platform/linux/SdBus.h"
#include "platform/linux/SdEventLoop.h"
#include "platform/linux/SharedBus.h"

#include <systemd/sd-bus.h>

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

namespace sollun::helper {

class RunningAppWatch final : public Workspace::RunningWatch {
public:
    // An application's desktop entry, and the program it runs when one can be told.
    struct Entry {
        std::string path;
        std::optional<ProgramIdentity> program;
    };
    // Finds the entry anew; nothing when the application is not installed.
    using Lookup = std::function<std::optional<Entry>()>;

    // Looks once (entry, scan) before returning; the bus's answer comes later.
    RunningAppWatch(platform::SdEventLoop& loop, platform::SharedBus& session, std::string appId,
                    Lookup lookup, std::function<void()> changed);
    RunningAppWatch(const RunningAppWatch&) = delete;
    RunningAppWatch& operator=(const RunningAppWatch&) = delete;

    bool running() const override { return !processes_.empty() || nameOwned_; }
    void recheck() override;

    // A launch from the desktop entry at `location` started `pid`.
    void launched(const std::string& location, pid_t pid);

private:
    static int onOwnerChanged(sd_bus_message* message, void* userdata, sd_bus_error* error);
    static int onOwnerAnswer(sd_bus_message* message, void* userdata, sd_bus_error* error);

    void lookUp();
    void watchProgram();
    void onProgramEvents();
    void scanSoon();
    void onScanTimer();
    void scan();
    void follow(pid_t pid, bool launchedHere);
    void forget(pid_t pid);
    void watchName(sd_bus* bus);
    // Tells `changed_` when running() differs from what it was last told.
    void report();

    platform::SdEventLoop& loop_;
    const std::string appId_;
    const Lookup lookup_;
    const std::function<void()> changed_;
    bool reported_ = false;

    std::optional<Entry> entry_;
    platform::Fd inotify_;
    int programWatch_ = -1;
    platform::Source inotifySource_;
    platform::Source scanTimer_;
    int scansLeft_ = 0;
    std::chrono::steady_clock::time_point lastRecheck_{};
    platform::Source pendingRecheck_;

    struct Process {
        platform::Fd pidfd;
        bool launchedHere;
        platform::Source end;
    };
    std::map<pid_t, Process> processes_;

    platform::BusSlot ownerMatch_;
    platform::BusSlot ownerQuery_;
    bool nameOwned_ = false;
    // Last: the slots above are registered from its announcements.
    platform::Source session_;
};

} // namespace sollun::helper
