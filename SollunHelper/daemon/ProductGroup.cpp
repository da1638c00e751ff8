#include "SollunHelper/daemon/ProductGroup.h"

#include "SollunHelper/WakeDaemonController.h"
#include "platform/Installation.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

namespace sollun::helper {
namespace {

std::optional<gid_t> productGroup;

} // namespace

void ProductGroup::lowerAtStart() {
    gid_t real = 0;
    gid_t effective = 0;
    gid_t saved = 0;
    if (getresgid(&real, &effective, &saved) != 0 || real == effective)
        return;
    // Only the effective group changes: the saved one keeps the product group for later raises.
    if (setresgid(static_cast<gid_t>(-1), real, static_cast<gid_t>(-1)) == 0)
        productGroup = effective;
}

std::optional<gid_t> ProductGroup::group() {
    return productGroup;
}

int ProductGroup::whileRaised(const std::function<int()>& connect) {
    if (!productGroup)
        return connect();
    const gid_t real = getgid();
    if (setresgid(static_cast<gid_t>(-1), *productGroup, static_cast<gid_t>(-1)) != 0)
        return connect(); // the daemon will refuse us; there is nothing better to try
    const int result = connect();
    // Going back to the real group is always permitted. Were it ever refused, the helper would go
    // on with the group raised and hand it to every program it launches: it stops instead.
    if (setresgid(static_cast<gid_t>(-1), real, static_cast<gid_t>(-1)) != 0)
        std::abort();
    return result;
}

void ProductGroup::restartIfGainedOnDisk() {
    const auto program = platform::ownExecutable();
    struct stat file = {};
    if (productGroup || !program || stat(program->c_str(), &file) != 0 || file.st_uid != 0 ||
        (file.st_mode & S_ISGID) == 0 || file.st_gid == getgid())
        return;
    daemonControllerLog().info("The helper now has its group; starting it again");
    // The loop blocks the signals it handles, and a blocked mask survives exec.
    sigset_t none;
    sigset_t previous;
    sigemptyset(&none);
    // With a valid set and how, these cannot fail.
    (void)pthread_sigmask(SIG_SETMASK, &none, &previous);
    const std::string path = program->string();
    char* const argv[] = {const_cast<char*>(path.c_str()), nullptr};
    execv(path.c_str(), argv);
    const int error = errno;
    (void)pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    daemonControllerLog().error("Failed to start the helper again: %{public}s",
                                std::strerror(error));
}

} // namespace sollun::helper
