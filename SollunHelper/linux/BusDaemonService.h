#pragma once

// The daemon's registration on Linux. The system bus is the service manager:
//
//   enabled             the bus can start the daemon's name (an activation file is installed)
//                       or the name has an owner;
//   requires approval   this helper asked for the daemon to be registered and an administrator
//                       has not yet installed it;
//   not found           neither, and the definition shipped beside the helper is missing;
//   not registered      neither, and nothing was asked.
//
// Approving runs the shipped installer with administrator authorization (pkexec and its polkit
// action); the installer puts the definition's activation, policy and unit files in place and
// has the bus reload, after which the name can be started: enabled.

#include "SollunHelper/DaemonService.h"
#include "platform/EventLoop.h"

#include <systemd/sd-bus.h>

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace sollun::helper {

class BusDaemonService final : public DaemonService {
public:
    struct Setup {
        std::string serviceName;
        // The shipped definition: a directory holding the daemon's activation file (named
        // after the service), its bus policy and its systemd unit.
        std::filesystem::path definition;
        // Runs the installer with administrator authorization.
        std::vector<std::string> approvalCommand;
        std::function<int(sd_bus**)> openBus = sd_bus_open_system;
    };

    // The layout the helper is installed (or built) in, found from its own executable:
    // <prefix>/bin/SollunHelper, <prefix>/share/sollun-helper/wakedaemon/,
    // <prefix>/libexec/sollun-helper/sollun-wakedaemon-install.
    static Setup shipped();

    BusDaemonService(platform::EventLoop& loop, Setup setup);
    ~BusDaemonService() override;
    BusDaemonService(const BusDaemonService&) = delete;
    BusDaemonService& operator=(const BusDaemonService&) = delete;

    std::int64_t status() override;
    std::optional<std::string> registerService() override;
    void requestApproval() override;

    // Told on the loop when an approval run has ended, with the installer's exit status (-1
    // when it did not exit normally).
    void setApprovalFinishedHandler(std::function<void(int)> handler);

private:
    bool definitionPresent() const;
    bool nameIsAvailable();
    bool askWhetherAvailable();
    void approvalEnded();

    platform::EventLoop& loop_;
    Setup setup_;
    sd_bus* bus_ = nullptr;
    bool pending_ = false;

    pid_t approvalPid_ = -1;
    int approvalPidfd_ = -1;
    platform::Source approvalWatch_;
    std::function<void(int)> approvalFinished_;
};

} // namespace sollun::helper
