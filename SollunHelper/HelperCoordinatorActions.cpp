// The coordinator's part in the status menu: the status line and the actions behind "Open Sollun"
// and "Start at Login".

#include "SollunHelper/HelperCoordinator.h"
#include "SollunHelper/TextWithArgument.h"
#include "platform/Localization.h"
#include "shared/ProductNames.h"

namespace sollun::helper {
namespace {

// What the main application shows itself for.
constexpr const char* mainAppURL = "sollun://show";

} // namespace

std::string HelperCoordinator::statusText() const {
    switch (daemon().registrationState()) {
    case WakeDaemonRegistrationState::enabled:
        if (const auto& alarm = lastScheduledAlarm()) {
            const std::string when = platform::mediumDateShortTime(*alarm);
            // TRANSLATORS: %s is the alarm's date and time, e.g. "Mar 2, 2026, 6:30 AM".
            return withArgument(platform::localized("Next alarm: %s"), "Next alarm: %s", when);
        }
        return platform::localized("Active — no upcoming alarm");
    case WakeDaemonRegistrationState::requiresApproval:
        return platform::localized("Waiting for approval in Login Items");
    case WakeDaemonRegistrationState::notRegistered:
    case WakeDaemonRegistrationState::notFound:
        return platform::localized("Not set up");
    case WakeDaemonRegistrationState::unknown:
        break;
    }
    return platform::localized("Checking…");
}

void HelperCoordinator::openMainApp(const std::string& activationToken) {
    // Opening a URL with an application brings it to the front, started or not.
    const auto location = workspace_->locate(std::string(mainAppIdentifier));
    workspace_->openURL(mainAppURL, location, activationToken);
}

void HelperCoordinator::setStartAtLogin(bool wanted) {
    // Anything but enabled (awaiting approval included) counts as off.
    const bool enabled = loginItem_->status() == LoginItem::enabled;
    if (wanted == enabled)
        return;
    const auto failure = wanted ? loginItem_->registerItem() : loginItem_->unregisterItem();
    if (failure)
        coordinatorLog().error("Login-item toggle failed: %{public}s", *failure);
}

} // namespace sollun::helper
