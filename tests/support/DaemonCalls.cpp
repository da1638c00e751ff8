#include "tests/support/DaemonCalls.h"

#include "platform/linux/SdEventLoop.h"
#include "shared/WakeDaemonProtocol.h"

#include <gtest/gtest.h>

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace sollun::test {

using namespace wake_daemon_protocol;

BusPtr connect(const std::string& address) {
    sd_bus* bus = nullptr;
    BusPtr owned(sd_bus_new(&bus) >= 0 ? bus : nullptr);
    if (!owned || sd_bus_set_address(bus, address.c_str()) < 0 ||
        sd_bus_set_bus_client(bus, 1) < 0 ||
        sd_bus_set_method_call_timeout(bus, std::chrono::microseconds(daemonCallLimit).count()) <
            0 ||
        sd_bus_start(bus) < 0)
        return nullptr;
    return owned;
}

BusPtr connect(const std::string& address, platform::SdEventLoop& loop) {
    auto bus = connect(address);
    EXPECT_TRUE(bus && sd_bus_attach_event(bus.get(), loop.native(), 0) >= 0) << address;
    return bus;
}

BusPtr connectAs(const std::string& address, uid_t uid, std::optional<gid_t> group) {
    std::vector<gid_t> groups(64);
    groups.resize(std::max(::getgroups(static_cast<int>(groups.size()), groups.data()), 0));
    const gid_t ownGroup = ::getegid();
    BusPtr bus;
    const char* unique = nullptr;
    // The bus takes a peer's groups from the kernel, which names the supplementary ones only.
    const gid_t kept = group.value_or(ownGroup);
    if (::setgroups(group ? 0 : 1, &kept) == 0 && ::setegid(kept) == 0 && ::seteuid(uid) == 0)
        bus = connect(address);
    // Connected: the handshake is done, and the bus has the identity.
    if (bus && sd_bus_get_unique_name(bus.get(), &unique) < 0)
        bus.reset();
    if (::seteuid(0) != 0 || ::setegid(ownGroup) != 0 ||
        ::setgroups(groups.size(), groups.data()) != 0)
        std::abort(); // the rest of the run would not be root
    return bus;
}

std::vector<uid_t> otherUsers() {
    std::vector<uid_t> users;
    ::setpwent();
    while (const passwd* entry = ::getpwent())
        if (entry->pw_uid != 0)
            users.push_back(entry->pw_uid);
    ::endpwent();
    return users;
}

std::string answerOf(sd_bus_message* reply, const sd_bus_error* error) {
    std::int64_t number = 0;
    if (error == nullptr || error->name == nullptr)
        return sd_bus_message_read(reply, "x", &number) > 0 ? std::to_string(number) : "";
    std::string text = error->name;
    text += ": ";
    return text += error->message != nullptr ? error->message : "";
}

int keep(sd_bus_message* reply, void* answers, sd_bus_error*) {
    static_cast<Answers*>(answers)->insert(answerOf(reply, sd_bus_message_get_error(reply)));
    return 0;
}

std::string call(sd_bus* bus, const char* member, std::optional<std::int64_t> usec) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    sd_bus_call_method(bus, busName, objectPath, interfaceName, member, &error, &reply,
                       usec ? "x" : "", usec.value_or(0));
    std::string answer = answerOf(reply, &error);
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    return answer;
}

int send(sd_bus* bus, const char* member, std::optional<std::int64_t> usec, Answers& answers) {
    return sd_bus_call_method_async(bus, nullptr, busName, objectPath, interfaceName, member, keep,
                                    &answers, usec ? "x" : "", usec.value_or(0));
}

bool pump(sd_bus* bus, const std::function<bool()>& done, std::chrono::microseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        const int r = sd_bus_process(bus, nullptr);
        const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (r < 0 || (r == 0 && (left <= 0 || sd_bus_wait(bus, left) < 0)))
            return false;
    }
    return true;
}

pid_t daemonPid(sd_bus* bus) {
    sd_bus_creds* creds = nullptr;
    pid_t pid = -1;
    if (sd_bus_get_name_creds(bus, busName, SD_BUS_CREDS_PID, &creds) >= 0)
        sd_bus_creds_get_pid(creds, &pid);
    sd_bus_creds_unref(creds);
    return pid;
}

} // namespace sollun::test
