#include "SollunHelper/daemon/BusDaemonService.h"

#include "SollunHelper/WakeDaemonController.h"
#include "platform/Installation.h"
#include "shared/WakeDaemonProtocol.h"

#include <sys/wait.h>

#include <cstring>
#include <utility>

namespace sollun::helper {
namespace {

using namespace std::chrono_literals;

constexpr const char* installerName = "sollun-wakedaemon-install";

// After a change of the activation files, the bus reloads on its own; it is asked when it has
// most likely done so, and once more in case it was slow.
constexpr auto askSoonAfter = 500ms;
constexpr auto askLaterAfter = 3s;
// An installation in a directory that is not watched is found within this long.
constexpr auto askAgainEvery = 30s;

constexpr std::int64_t unknownStatus = -1;

} // namespace

std::vector<std::filesystem::path> systemActivationDirectories() {
    return {"/usr/local/share/dbus-1/system-services", "/usr/share/dbus-1/system-services",
            "/lib/dbus-1/system-services"};
}

BusDaemonService::Setup BusDaemonService::shipped() {
    const auto prefix = platform::installPrefix().value_or(std::filesystem::path());
    const auto installer = prefix / "libexec" / "sollun-helper" / installerName;
    return {wake_daemon_protocol::busName,
            prefix / "share" / "sollun-helper" / "wakedaemon",
            {"pkexec", installer.string()}};
}

BusDaemonService::BusDaemonService(platform::SdEventLoop& loop, platform::SharedBus& bus,
                                   Setup setup)
    : loop_(loop)
    , setup_(std::move(setup))
    , definitionPresent_(definitionPresent())
    , bus_(loop, bus, setup_.serviceName, [this] { busChanged(); })
    , directories_(
          loop,
          [&] {
              auto directories = setup_.activationDirectories;
              directories.push_back(setup_.definition);
              return directories;
          }(),
          [this] { directoriesChanged(); }) {
    followActivation();
}

BusDaemonService::~BusDaemonService() = default;

bool BusDaemonService::definitionPresent() const {
    std::error_code error;
    return std::filesystem::is_regular_file(setup_.definition / (setup_.serviceName + ".service"),
                                            error);
}

std::int64_t BusDaemonService::status() {
    const auto& bus = bus_.state();
    if (!bus)
        return unknownStatus;
    if (bus->owned || bus->activatable)
        return serviceEnabled;
    if (pending_)
        return serviceRequiresApproval;
    return definitionPresent_ ? serviceNotRegistered : serviceNotFound;
}

void BusDaemonService::followActivation() {
    if (status() == serviceEnabled)
        askAgain_.reset();
    else if (!askAgain_)
        askAgain_ = loop_.addRepeatingTimer(askAgainEvery, [this] { bus_.askActivatable(); });
}

void BusDaemonService::busChanged() {
    // Once installed, the request has been answered: a later removal reads as not registered.
    if (status() == serviceEnabled)
        pending_ = false;
    followActivation();
    if (changed_)
        changed_();
}

void BusDaemonService::directoriesChanged() {
    if (const bool present = definitionPresent(); present != definitionPresent_) {
        definitionPresent_ = present;
        if (changed_)
            changed_();
    }
    askSoon_ = loop_.addOneShotTimer(askSoonAfter, [this] { bus_.askActivatable(); });
    askLater_ = loop_.addOneShotTimer(askLaterAfter, [this] { bus_.askActivatable(); });
}

std::optional<std::string> BusDaemonService::registerService() {
    if (!definitionPresent_)
        return "The wake daemon's definition is missing from " + setup_.definition.string();
    pending_ = true;
    return std::nullopt;
}

void BusDaemonService::requestApproval() {
    if (approval_ || setup_.approvalCommand.empty())
        return; // one at a time
    auto run = ApprovalRun::start(loop_, setup_.approvalCommand,
                                  [this](int waitStatus) { approvalEnded(waitStatus); });
    if (auto* started = std::get_if<std::unique_ptr<ApprovalRun>>(&run)) {
        approval_ = std::move(*started);
        return;
    }
    daemonControllerLog().error("Daemon approval failed: %{public}s cannot run: %{public}s",
                                setup_.approvalCommand.front(), std::strerror(std::get<int>(run)));
    if (approvalFinished_)
        approvalFinished_(-1);
}

void BusDaemonService::approvalEnded(int waitStatus) {
    approval_.reset();
    if (const auto failure = approvalFailure(waitStatus)) {
        daemonControllerLog().error("Daemon approval failed: %{public}s", *failure);
    } else {
        daemonControllerLog().info("Daemon approval finished");
        // The installer has had the bus reload.
        bus_.askActivatable();
    }
    if (approvalFinished_)
        approvalFinished_(waitStatus != -1 && WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : -1);
}

void BusDaemonService::setChangeHandler(std::function<void()> handler) {
    changed_ = std::move(handler);
}

void BusDaemonService::setApprovalFinishedHandler(std::function<void(int)> handler) {
    approvalFinished_ = std::move(handler);
}

} // namespace sollun::helper
