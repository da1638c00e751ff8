// SollunHelper: the per-user tray agent. No arguments, no configuration.
//
// At launch, in this order: one instance only (the newest wins), the menu and the status item
// on the session bus, then the coordinator's start. It then runs until the menu's quit, the end
// of the session (its bus going), or a newer instance; nothing is done on the way out, so the
// daemon's registration, a scheduled wake and the last status file stay as they are. Without a
// session bus at launch it does the coordinator's work all the same, with nothing to show.

#include "SollunHelper/HelperCoordinator.h"
#include "SollunHelper/SollunHelperApp.h"
#include "SollunHelper/daemon/ProductGroup.h"
#include "SollunHelper/session/SessionBus.h"
#include "SollunHelper/session/SessionEnd.h"
#include "SollunHelper/session/SingleInstance.h"
#include "SollunHelper/tray/DBusMenu.h"
#include "SollunHelper/tray/StatusNotifierItem.h"
#include "platform/Localization.h"
#include "platform/TimeZoneWatch.h"
#include "platform/linux/SdEventLoop.h"
#include "shared/ProductIdentities.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <variant>

namespace {

void brokenPipe(int) {}

// Standard error may be a pipe whose reader has gone, and a peer may close its end of a socket:
// such a write fails with EPIPE, which its writer handles, instead of ending the helper. Caught
// rather than ignored: an ignored signal stays ignored in the programs the helper starts, a caught
// one is theirs to have again.
void surviveBrokenPipes() {
    struct sigaction action = {};
    action.sa_handler = brokenPipe;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    // Cannot fail for SIGPIPE and a valid action.
    (void)sigaction(SIGPIPE, &action, nullptr);
}

} // namespace

int main() {
    using namespace sollun;
    using namespace sollun::helper;

    // Before anything else runs, and before any thread exists.
    ProductGroup::lowerAtStart();
    surviveBrokenPipes();
    if (trust::identitiesAreDevelopmentMapped())
        daemonControllerLog().error(
            "DEVELOPMENT BUILD: the product identities are mapped onto this user's own groups; "
            "any program of this user may pass for the daemon");
    platform::setUpLocalization();

    auto& loop = platform::SdEventLoop::main();
    // The one connection to the session bus, which the coordinator's workspace shares.
    auto& sessionBus = SessionBus::shared();
    sd_bus* const session = sessionBus.connection();
    if (session == nullptr) {
        std::fprintf(stderr, "SollunHelper: no session bus, nothing shown: %s\n",
                     std::strerror(-sessionBus.lastOpenError()));
        HelperCoordinator::shared().start();
        return loop.run() < 0 ? 1 : 0;
    }
    const SessionEnd sessionEnd(sessionBus, [&loop] { loop.exit(0); });

    SingleInstance instance(session, [&loop] { loop.exit(0); });

    HelperAppDelegate delegate(HelperCoordinator::shared(), [&loop] { loop.exit(0); });
    auto menu = DBusMenu::start(session, loop, delegate);
    // A host's left click opens Sollun, as the menu's row does.
    auto item = StatusNotifierItem::start(session, loop,
                                          {StatusNotifierItem::shippedIconThemePath(), 1,
                                           [&delegate](const std::string& activationToken) {
                                               delegate.openSollun(activationToken);
                                           }});
    // Without its menu or item the helper still does its work; the session just cannot show it.
    if (const auto* error = std::get_if<std::error_code>(&menu))
        std::fprintf(stderr, "SollunHelper: no menu: %s\n", error->message().c_str());
    if (const auto* error = std::get_if<std::error_code>(&item))
        std::fprintf(stderr, "SollunHelper: no status item: %s\n", error->message().c_str());

    // The status line's date is in local time: a new time zone shows at once.
    std::variant<platform::Source, std::error_code> zone;
    if (auto* shown = std::get_if<std::unique_ptr<DBusMenu>>(&menu))
        zone = platform::watchTimeZone(loop, [&dbusMenu = **shown] { dbusMenu.refresh(); });
    if (const auto* error = std::get_if<std::error_code>(&zone))
        std::fprintf(stderr, "SollunHelper: time zone changes unseen: %s\n",
                     error->message().c_str());

    HelperCoordinator::shared().start();

    const int result = loop.run();
    // Closed while the menu and the item still hold it, as the process's end would close it: they
    // send nothing on the way out.
    sessionBus.close();
    return result < 0 ? 1 : 0;
}
