#include "SollunHelper/linux/ProductGroup.h"

#include <unistd.h>

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
    setresgid(static_cast<gid_t>(-1), real, static_cast<gid_t>(-1));
    return result;
}

} // namespace sollun::helper
