#pragma once

// The desktop's side of the main application, through GIO.
//
// An application is known by its desktop entry, `<app id>.desktop`, in the XDG application
// directories: $XDG_DATA_HOME/applications first, then those of $XDG_DATA_DIRS. The lookup agrees
// with what the desktop itself shows: the first entry found that GIO can use wins, one marked
// Hidden means the user removed the application (nothing is found, whatever lower directories
// hold), and one GIO cannot use (its program is missing, it is not an application) is passed
// over. NoDisplay only keeps an entry out of menus; it is still found. The directories are read
// at every lookup, not through GIO's index of them: that index is refreshed by file monitors on
// GLib's worker thread, so an entry installed a moment ago may not be in it yet.
//
// Launching goes through GIO as any launcher would (Exec and its field codes, Path, D-Bus
// activation for entries that ask for it). GIO double-forks, so a started application is never
// this process's child to reap, and it closes our descriptors in the child. The child starts with
// no signal blocked and every signal at its default disposition, whatever the helper's loop blocks
// for its own signal handling. A background start passes on no activation token: the
// startup-notification variables the helper may itself have been started with are taken out of
// the child's environment, so the application does not take the focus with a stale token. Opening
// a URL brings the application forward: the token the desktop gave for it goes into the child's
// environment as XDG_ACTIVATION_TOKEN (Wayland) and DESKTOP_STARTUP_ID (X11), and without one
// neither variable is passed on, the helper's own being spent. GIO reports failures it sees
// before the program runs (an unusable entry, a terminal that cannot be found); a program that
// fails to execute after GIO handed it over shows only as a process that ends at once.
//
// Whether the application runs is answered by three checks, any of which suffices:
//   - the process the entry's last launch from here started has not ended, whatever it runs yet;
//   - a process of this user runs the entry's program (ProgramProcesses.h); an entry whose
//     program is a shared interpreter run on an argument relies on the other checks;
//   - the application id is owned as a name on the session bus, as GApplication-based
//     applications do; this also covers sandboxed ones, whose processes run another executable.
// A RunningAppWatch keeps the same answer current from events for whoever must read it often.
//
// Every call is synchronous and made on the main thread; no GLib main loop runs. What GLib leaves
// for a main context during a call (the completion of the bus flush GIO does after a launch, the
// notice that a bus connection closed) goes to a context of the workspace's own, which is
// dispatched as each call ends. GLib's session bus connection never ends the process when the bus
// goes away, and a new one is made the next time one is needed. The question whether the
// application id has an owner goes over the helper's own session bus connection, the one its
// watches share.

#include "SollunHelper/Workspace.h"
#include "platform/linux/SdEventLoop.h"
#include "platform/linux/SharedBus.h"

#include <systemd/sd-bus.h>

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace sollun::helper {

class RunningAppWatch;

class GioWorkspace final : public Workspace {
public:
    // Watches run on `loop`; the application id's owner is asked and followed on `session`.
    GioWorkspace(platform::SdEventLoop& loop, platform::SharedBus& session);
    ~GioWorkspace() override;
    GioWorkspace(const GioWorkspace&) = delete;
    GioWorkspace& operator=(const GioWorkspace&) = delete;

    bool isRunning(const std::string& appId) override;
    std::optional<std::string> locate(const std::string& appId) override;
    void launch(const std::string& location, bool activate,
                std::function<void(LaunchResult)> completion) override;
    std::unique_ptr<RunningWatch> watchRunning(const std::string& appId,
                                               std::function<void()> changed) override;
    void openURL(const std::string& url, const std::optional<std::string>& location,
                 const std::string& activationToken) override;

private:
    bool sessionNameHasOwner(const std::string& name);
    void remember(const std::string& location, const LaunchResult& result);
    bool isStillStarting(const std::string& location);

    // The bus answers NameHasOwner itself; a bus that takes longer is not going to answer.
    static constexpr std::uint64_t sessionAnswerLimitUsec = 1'000'000;

    platform::SdEventLoop& loop_;
    class SessionBus;
    std::unique_ptr<SessionBus> bus_;
    platform::SharedBus& session_;

    // The process each desktop entry's last launch started. GIO starts an application through a
    // launcher program that then becomes it: until then the process does not run the entry's
    // program, yet it is the application starting, and a second launch would make two.
    struct Started {
        pid_t pid;
        std::string startTime;
    };
    std::unordered_map<std::string, Started> started_;

    // The watches made here, told of each launch; each takes itself off when it goes.
    std::shared_ptr<std::vector<RunningAppWatch*>> watches_ =
        std::make_shared<std::vector<RunningAppWatch*>>();
};

} // namespace sollun::helper
