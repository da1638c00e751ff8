#include "SollunHelper/linux/ProductGroup.h"

#include <gtest/gtest.h>

#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

namespace sollun::helper {
namespace {

constexpr gid_t user = 65534;
constexpr gid_t product = 4242;

// Runs `body` in a child process and gives its exit status; the child's own alarm is the
// watchdog.
int inChild(const std::function<int()>& body) {
    const pid_t pid = fork();
    if (pid == 0) {
        alarm(10);
        _exit(body());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(ProductGroup, IsHeldOnlyWhileConnectingAndNeverPassedToChildren) {
    // Not setgid: nothing to hold, nothing raised.
    EXPECT_EQ(inChild([] {
                  ProductGroup::lowerAtStart();
                  const gid_t before = getegid();
                  return ProductGroup::group() ? 1 : ProductGroup::whileRaised([&] {
                      return getegid() == before ? 0 : 2;
                  });
              }),
              0);
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to play a setgid program (CI runs as root)";
    const int status = inChild([] {
        // As a setgid-`product` program started by an unprivileged user.
        if (setgroups(0, nullptr) != 0 || setresgid(user, product, product) != 0 ||
            setresuid(user, user, user) != 0)
            return 10;
        ProductGroup::lowerAtStart();
        gid_t real = 0, effective = 0, saved = 0;
        getresgid(&real, &effective, &saved);
        if (real != user || effective != user || saved != product ||
            ProductGroup::group() != product)
            return 11;
        if (ProductGroup::whileRaised([] { return static_cast<int>(getegid()); }) != product)
            return 12;
        if (getegid() != user)
            return 13;
        // Raising again works from the saved group, as a reconnect after a bus restart needs.
        if (ProductGroup::whileRaised([] { return static_cast<int>(getegid()); }) != product)
            return 14;
        execl("/bin/sh", "sh", "-c",
              "grep -qx 'Gid:\t65534\t65534\t65534\t65534' /proc/self/status", nullptr);
        return 15;
    });
    EXPECT_EQ(status, 0) << "a launched child must hold none of the product group";
}

} // namespace
} // namespace sollun::helper
