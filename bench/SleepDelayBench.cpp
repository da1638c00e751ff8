// How long the real daemon holds a sleep up. The bench plays logind on a private system bus: it
// hands the daemon its delay lock as logind does (one end of a pipe), announces a sleep, and
// times until the daemon has closed the lock, which is how long logind would wait before
// sleeping; then it announces the return and times until the daemon asks for a lock again.
// Printed as plain lines.
//
//   sleep_delay_bench [rounds]   200 rounds unless given
//
// Without wake hardware here, the daemon is a development build's: the simulated clock, and the
// simulated RTC slot in its state directory, a plain file where the machine's own costs a
// register write in the RTC per value. The simulated clock writes its file durably at every
// arming, where the alarm timer makes one system call: with TMPDIR on a tmpfs, that cost is left
// out. Run it from the profile preset.

#include "bench/Samples.h"
#include "shared/Instant.h"
#include "shared/WakeDaemonProtocol.h"
#include "tests/support/PrivateBus.h"
#include "tests/support/TempDir.h"

#include <systemd/sd-bus.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

using namespace sollun;
using namespace std::chrono_literals;

constexpr const char* logindPath = "/org/freedesktop/login1";
constexpr const char* managerInterface = "org.freedesktop.login1.Manager";

// The lock the daemon asked for last: logind's end of its pipe, open until the daemon closes its
// own end.
int lock = -1;

int onInhibit(sd_bus_message* call, void*, sd_bus_error*) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        return -errno;
    // The reply takes a copy of the daemon's end.
    const int r = sd_bus_reply_method_return(call, "h", ends[1]);
    ::close(ends[1]);
    lock = ends[0];
    return r;
}

// Dispatches `bus` until the daemon has asked for a lock; false after 10 s.
bool awaitLock(sd_bus* bus) {
    const auto giveUp = std::chrono::steady_clock::now() + 10s;
    while (lock < 0) {
        const int r = sd_bus_process(bus, nullptr);
        if (r < 0 || (r == 0 && std::chrono::steady_clock::now() > giveUp))
            return false;
        if (r == 0)
            sd_bus_wait(bus, 100'000);
    }
    return true;
}

// Waits until the daemon has closed its end of the lock; false after 10 s.
bool awaitRelease() {
    pollfd watched{lock, POLLIN, 0};
    const int ready = ::poll(&watched, 1, 10'000);
    ::close(lock);
    lock = -1;
    return ready == 1 && (watched.revents & POLLHUP) != 0;
}

bool call(sd_bus* bus, const char* member, const char* types, std::int64_t argument = 0) {
    using namespace wake_daemon_protocol;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    const int r = types[0] == '\0' ? sd_bus_call_method(bus, busName, objectPath, interfaceName,
                                                        member, &error, nullptr, "")
                                   : sd_bus_call_method(bus, busName, objectPath, interfaceName,
                                                        member, &error, nullptr, types, argument);
    sd_bus_error_free(&error);
    return r >= 0;
}

} // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 200;
    if (rounds <= 0) {
        std::fprintf(stderr, "usage: sleep_delay_bench [rounds]\n");
        return 2;
    }
    test::TempDir state;
    test::writeFile(state / "simulated-wakealarm", "");
    test::ScopedEnvironmentVariable stateDirectory("STATE_DIRECTORY", state.path().string());
    test::PrivateBus bus{
        {test::PrivateBus::Policy::open,
         {},
         {{"wakedaemon.service",
           test::activationFile(wake_daemon_protocol::busName, SOLLUN_DAEMON_EXECUTABLE)}}}};

    static const sd_bus_vtable vtable[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_METHOD("Inhibit", "ssss", "h", &onInhibit, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_SIGNAL("PrepareForSleep", "b", 0),
        SD_BUS_VTABLE_END,
    };
    sd_bus* logind = nullptr;
    int r = sd_bus_new(&logind);
    if (r >= 0)
        r = sd_bus_set_address(logind, bus.address().c_str());
    if (r >= 0)
        r = sd_bus_set_bus_client(logind, 1);
    if (r >= 0)
        r = sd_bus_start(logind);
    if (r >= 0)
        r = sd_bus_add_object_vtable(logind, nullptr, logindPath, managerInterface, vtable,
                                     nullptr);
    if (r >= 0)
        r = sd_bus_request_name(logind, "org.freedesktop.login1", 0);
    // Started by the call, the daemon asks for its first lock.
    if (r < 0 || !call(logind, "GetVersion", "") || !awaitLock(logind)) {
        std::fprintf(stderr, "the daemon did not start, or asked for no lock\n");
        return 1;
    }

    const auto measure = [&](const char* what) {
        std::vector<double> held;
        std::vector<double> again;
        for (int round = 0; round < rounds; ++round) {
            auto start = std::chrono::steady_clock::now();
            sd_bus_emit_signal(logind, logindPath, managerInterface, "PrepareForSleep", "b", 1);
            sd_bus_flush(logind);
            if (!awaitRelease()) {
                std::fprintf(stderr, "the daemon held the lock beyond 10 s\n");
                std::exit(1);
            }
            held.push_back(
                std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
                    .count());
            start = std::chrono::steady_clock::now();
            sd_bus_emit_signal(logind, logindPath, managerInterface, "PrepareForSleep", "b", 0);
            if (!awaitLock(logind)) {
                std::fprintf(stderr, "the daemon asked for no lock after the sleep\n");
                std::exit(1);
            }
            again.push_back(
                std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
                    .count());
        }
        bench::report((std::string("sleep held up, ") + what).c_str(), held);
        bench::report((std::string("lock asked again, ") + what).c_str(), again);
    };

    measure("nothing scheduled");
    const auto wake = std::chrono::floor<std::chrono::seconds>(currentInstant()) + 2h;
    if (!call(logind, "ScheduleWakeAt", "x", wake.time_since_epoch().count())) {
        std::fprintf(stderr, "ScheduleWakeAt failed\n");
        return 1;
    }
    measure("RTC armed and taken back");
    sd_bus_flush_close_unref(logind);
    return 0;
}
