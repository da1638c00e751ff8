// How long one user waits for the real daemon while another floods it. The bench plays both users
// on a private system bus, as root, with the process's own group (a development build's product
// identities). The flooder, one of the system's accounts, sends ScheduleWakeAt with a new instant
// each time, each a change of the schedule were it admitted, over four connections without waiting
// for answers, keeping 100 calls open on each (below the bus's limit on a connection's open
// calls). The other, another account, times a GetVersion round trip every 10 ms and a
// ScheduleWakeAt of its own (a change, with the store's durable write) every 1.5 s, within its own
// limit. The same round trips are timed first with nobody flooding. Printed as plain lines.
//
//   daemon_flood_bench [seconds]   10 s of flood unless given
//
// Run it from the profile preset, with TMPDIR on a real disk.

#include "bench/Samples.h"
#include "shared/Instant.h"
#include "tests/support/DaemonCalls.h"
#include "tests/support/PrivateBus.h"
#include "tests/support/TempDir.h"

#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

namespace {

using namespace sollun;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int floodConnections = 4;
constexpr std::size_t openCallsEach = 100;

std::int64_t fromNow(std::chrono::microseconds ahead) {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               (currentInstant() + ahead).time_since_epoch())
        .count();
}

struct Flooder {
    struct Connection {
        test::BusPtr bus;
        test::Answers answers;
        std::size_t sent = 0;
    };

    // Runs on a thread of its own until `stop`; the connections are its alone meanwhile.
    void run() {
        std::int64_t usec = fromNow(3h);
        std::vector<pollfd> fds(connections.size());
        while (!stop.load(std::memory_order_relaxed)) {
            for (std::size_t i = 0; i < connections.size(); ++i) {
                Connection& c = connections[i];
                while (c.sent - c.answers.size() < openCallsEach &&
                       test::send(c.bus.get(), "ScheduleWakeAt", ++usec, c.answers) >= 0)
                    ++c.sent;
                while (sd_bus_process(c.bus.get(), nullptr) > 0) {
                }
                fds[i] = {sd_bus_get_fd(c.bus.get()),
                          static_cast<short>(sd_bus_get_events(c.bus.get())), 0};
            }
            ::poll(fds.data(), fds.size(), 1);
        }
    }

    std::vector<Connection> connections;
    std::atomic<bool> stop{false};
};

// `seconds` of round trips as the other user: GetVersion every 10 ms, a change every 1.5 s.
void measure(sd_bus* bus, double seconds, const char* label) {
    std::vector<double> questions;
    std::vector<double> changes;
    std::int64_t wake = fromNow(2h);
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    auto nextChange = Clock::now();
    while (Clock::now() < end) {
        const bool change = Clock::now() >= nextChange;
        const auto start = Clock::now();
        const std::string answer = change ? test::call(bus, "ScheduleWakeAt", wake += 60'000'000)
                                          : test::call(bus, "GetVersion");
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        if (answer != (change ? "" : "1")) {
            std::fprintf(stderr, "the other user's call failed: %s\n", answer.c_str());
            std::exit(1);
        }
        (change ? changes : questions).push_back(ms);
        if (change)
            nextChange = start + 1500ms;
        std::this_thread::sleep_for(10ms);
    }
    std::string what = std::string("other user's GetVersion, ") + label;
    bench::report(what.c_str(), questions, "ms");
    what = std::string("other user's ScheduleWakeAt, ") + label;
    bench::report(what.c_str(), changes, "ms");
}

} // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 10;
    if (seconds <= 0) {
        std::fprintf(stderr, "usage: daemon_flood_bench [seconds]\n");
        return 2;
    }
    if (::geteuid() != 0) {
        std::fprintf(stderr, "daemon_flood_bench needs root, to call as two users\n");
        return 2;
    }
    test::TempDir state;
    test::ScopedEnvironmentVariable stateDirectory{"STATE_DIRECTORY", state.path().string()};
    test::PrivateBus bus{
        {test::PrivateBus::Policy::open,
         {},
         {{"wakedaemon.service",
           test::activationFile("com.kestrovane.sollun.wakedaemon", SOLLUN_DAEMON_EXECUTABLE)}}}};
    const auto users = test::otherUsers();
    if (users.size() < 2) {
        std::fprintf(stderr, "daemon_flood_bench needs two accounts besides root\n");
        return 2;
    }
    const auto other = test::connectAs(bus.address(), users[1]);
    Flooder flooder;
    for (int i = 0; i < floodConnections; ++i)
        flooder.connections.push_back({test::connectAs(bus.address(), users[0]), {}, 0});
    if (!other || test::call(other.get(), "GetVersion") != "1") {
        std::fprintf(stderr, "the daemon does not answer\n");
        return 1;
    }
    measure(other.get(), 3, "nobody flooding");

    std::thread flood([&] { flooder.run(); });
    std::this_thread::sleep_for(500ms); // the flood under way, its burst admitted
    measure(other.get(), seconds, "one user flooding");
    flooder.stop = true;
    flood.join();

    std::size_t sent = 0;
    test::Answers answers;
    for (auto& c : flooder.connections) {
        sent += c.sent;
        answers.merge(c.answers);
    }
    std::printf("flood: %zu calls sent in %.1f s, %zu answered:", sent, seconds + 0.5,
                answers.size());
    for (auto kind = answers.begin(); kind != answers.end(); kind = answers.upper_bound(*kind))
        std::printf(" %zu x \"%s\";", answers.count(*kind), kind->c_str());
    std::printf("\n");
    return 0;
}
