#pragma once

// Calls to the real daemon over sd-bus, for the tests that run the program: a connection of the
// test's own (as another user, when the test runs as root), each call's answer as one text, and
// calls sent without waiting, their answers collected while the connection is pumped.

#include "shared/Instant.h"

#include <systemd/sd-bus.h>

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace sollun::platform {
class SdEventLoop;
}

namespace sollun::test {

struct BusClose {
    void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
using BusPtr = std::unique_ptr<sd_bus, BusClose>;
using Answers = std::multiset<std::string>;

// How long any call waits for its answer.
inline constexpr std::chrono::seconds daemonCallLimit{10};

// `ahead` of now, as the daemon takes an instant: microseconds since the epoch.
inline std::int64_t fromNow(std::chrono::microseconds ahead) {
    return (currentInstant() + ahead).time_since_epoch().count();
}

// A started connection to the bus at `address`; nothing when it cannot be made.
BusPtr connect(const std::string& address);

// The same, served by `loop`; nothing, and a failed expectation, when it cannot be made.
BusPtr connect(const std::string& address, platform::SdEventLoop& loop);

// The same as `uid`: with `group`, that group alone, a stranger to the product; without, the
// process's own group, which a development build's identities are. The bus keeps the identity a
// client connected with, so the process is itself again afterwards. Root only.
BusPtr connectAs(const std::string& address, uid_t uid, std::optional<gid_t> group = {});

// The accounts this system knows, but root, by uid: the bus admits no user it cannot look up.
std::vector<uid_t> otherUsers();

// What a call answered: the error's name and message, the number GetVersion returns, or nothing.
std::string answerOf(sd_bus_message* reply, const sd_bus_error* error);

// An sd-bus callback that adds answerOf() of each message to the Answers at `answers`.
int keep(sd_bus_message* reply, void* answers, sd_bus_error* error);

// One call of the daemon's protocol, waited for.
std::string call(sd_bus* bus, const char* member, std::optional<std::int64_t> usec = {});

// Sends without waiting; the answer joins `answers` when it comes.
int send(sd_bus* bus, const char* member, std::optional<std::int64_t> usec, Answers& answers);

// Dispatches `bus` until `done`; false when that takes longer than `limit` or the bus breaks.
bool pump(sd_bus* bus, const std::function<bool()>& done, std::chrono::microseconds limit);

// The daemon's process, or -1 when nothing owns its name.
pid_t daemonPid(sd_bus* bus);

} // namespace sollun::test
