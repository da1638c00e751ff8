#pragma once

// The helper's identity towards the daemon is its group: the installed binary is setgid
// `sollun-helper`, and the daemon recognises the helper by that group in the credentials the bus
// recorded when the helper connected.
//
// The group is needed at exactly one moment: when a connection to the system bus is made. So the
// helper keeps it as its saved set-group-ID only, lowers its effective group to the user's own
// at start, and raises it just around each connect. That way
//   - a new connection after the bus or the daemon restarted still carries the group;
//   - files the helper writes belong to the user's group;
//   - nothing the helper launches inherits it: exec sets a child's saved set-group-ID from its
//     effective one, which is the user's group whenever the helper runs anything.
// Without a setgid bit (development builds, tests) there is no product group and all of this does
// nothing.

#include <sys/types.h>

#include <functional>
#include <optional>

namespace sollun::helper {

class ProductGroup {
public:
    // First thing at start, before any other thread exists: remembers the effective group when
    // it differs from the real one and lowers the effective group to the real one.
    static void lowerAtStart();

    // The remembered group, if the program runs setgid.
    static std::optional<gid_t> group();

    // Runs `connect` with the product group as the effective group, then lowers it again; returns
    // what `connect` returned. Only on the main thread.
    static int whileRaised(const std::function<int()>& connect);

    // After an approval has given the installed program its group, this process, started before,
    // still runs without it, and the daemon would never know it. Starting the program afresh in
    // this same process picks the group up: the new instance takes over the session's name, its
    // menu and item, and applies the schedule as every start does. Does that when this process
    // holds no product group and the program on disk is now root's and set-group-ID to a group
    // not the user's own; returns only when it did not (or the exec failed, which is logged).
    static void restartIfGainedOnDisk();
};

} // namespace sollun::helper
