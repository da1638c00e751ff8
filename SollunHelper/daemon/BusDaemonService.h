#pragma once

// The daemon's registration on Linux. The system bus is the service manager:
//
//   enabled             the bus can start the daemon's name (an activation file is installed)
//                       or the name has an owner;
//   requires approval   this helper asked for the daemon to be registered and an administrator
//                       has not yet installed it;
//   not found           neither, and the definition shipped beside the helper is missing;
//   not registered      neither, and nothing was asked;
//   unknown (-1)        the system bus has not answered yet.
//
// The answer is held, never asked for when status() is called: the name's owner and whether the
// bus can start it come from a BusNameWatch, asked again whenever the bus's activation
// directories or the definition's directory change (the bus reloads on such changes by itself, so
// it is asked shortly after, and once more a little later) and after an approval succeeded. A bus
// may also read activation files from directories of its own configuration's choosing, where an
// administrator may install the daemon without this helper: while the daemon is not enabled, the
// bus is asked every 30 s as well, and never while it is.
//
// Approving runs the shipped installer with administrator authorization (pkexec and its polkit
// action); the installer puts the definition's activation, policy and unit files in place and
// has the bus reload, after which the name can be started: enabled. An approval that fails is
// logged with its reason and leaves the request pending.

#include "SollunHelper/DaemonService.h"
#include "SollunHelper/daemon/ApprovalRun.h"
#include "SollunHelper/daemon/BusNameWatch.h"
#include "SollunHelper/daemon/DirectoryChangeWatch.h"
#include "platform/linux/SdEventLoop.h"
#include "platform/linux/SharedBus.h"

#include <systemd/sd-bus.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sollun::helper {

// The standard directories of a system bus's activation files.
std::vector<std::filesystem::path> systemActivationDirectories();

class BusDaemonService final : public DaemonService {
public:
    struct Setup {
        std::string serviceName;
        // The shipped definition: a directory holding the daemon's activation file (named
        // after the service), its bus policy and its systemd unit.
        std::filesystem::path definition;
        // Runs the installer with administrator authorization.
        std::vector<std::string> approvalCommand;
        // Where the system bus finds activation files.
        std::vector<std::filesystem::path> activationDirectories = systemActivationDirectories();
    };

    // The layout the helper is installed (or built) in, found from its own executable:
    // <prefix>/bin/SollunHelper, <prefix>/share/sollun-helper/wakedaemon/,
    // <prefix>/libexec/sollun-helper/sollun-wakedaemon-install.
    static Setup shipped();

    // Starts watching at once, on `bus`'s connection; status() is unknown until the bus answers.
    BusDaemonService(platform::SdEventLoop& loop, platform::SharedBus& bus, Setup setup);
    ~BusDaemonService() override;
    BusDaemonService(const BusDaemonService&) = delete;
    BusDaemonService& operator=(const BusDaemonService&) = delete;

    std::int64_t status() override;
    std::optional<std::string> registerService() override;
    void requestApproval() override;
    void setChangeHandler(std::function<void()> handler) override;

    // Told on the loop when an approval run has ended, with the installer's exit status (-1
    // when it could not be started or did not exit normally).
    void setApprovalFinishedHandler(std::function<void(int)> handler);

private:
    bool definitionPresent() const;
    // Asks the bus now and then while the daemon is not enabled, and stops once it is.
    void followActivation();
    void busChanged();
    void directoriesChanged();
    void approvalEnded(int waitStatus);

    platform::SdEventLoop& loop_;
    const Setup setup_;
    bool definitionPresent_;
    bool pending_ = false;
    std::function<void()> changed_;
    std::function<void(int)> approvalFinished_;

    BusNameWatch bus_;
    DirectoryChangeWatch directories_;
    // The questions to the bus after its directories changed: soon, and once more later.
    platform::Source askSoon_;
    platform::Source askLater_;
    platform::Source askAgain_;
    std::unique_ptr<ApprovalRun> approval_;
};

} // namespace sollun::helper
