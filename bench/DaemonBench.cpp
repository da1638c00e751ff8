// Round trips to the real daemon on a private system bus: GetVersion, and ScheduleWakeAt with
// its durable write of the store. One user's changes are limited (a burst, then one a second), so
// as root the changes come from each of the system's accounts in turn, 200 of them; without root
// the bench of them ends at the limit.

#include "tests/support/DaemonCalls.h"
#include "tests/support/PrivateBus.h"
#include "tests/support/TempDir.h"

#include <benchmark/benchmark.h>
#include <systemd/sd-bus.h>

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <vector>

namespace {

using namespace sollun::test;

struct Daemon {
    Daemon() {
        // Durable writes are what is measured: keep the store off tmpfs where possible.
        setenv("STATE_DIRECTORY", state.path().c_str(), 1);
        bus = std::make_unique<PrivateBus>(PrivateBus::Options{
            PrivateBus::Policy::open,
            {},
            {{"wakedaemon.service",
              activationFile("com.kestrovane.sollun.wakedaemon", SOLLUN_DAEMON_EXECUTABLE)}}});
        client = connect(bus->address());
        call(client.get(), "GetVersion"); // activation, outside the measurements
        if (geteuid() == 0)
            for (const uid_t uid : otherUsers())
                users.push_back(connectAs(bus->address(), uid));
    }

    // The connection for the next change: each user's in turn, or the client's own.
    sd_bus* changer() { return users.empty() ? client.get() : users[next++ % users.size()].get(); }

    TempDir state;
    std::unique_ptr<PrivateBus> bus;
    BusPtr client;
    std::vector<BusPtr> users;
    std::size_t next = 0;
};

Daemon& daemon() {
    static Daemon instance;
    return instance;
}

void GetVersionRoundTrip(benchmark::State& state) {
    auto& d = daemon();
    for (auto _ : state)
        if (call(d.client.get(), "GetVersion") != "1")
            state.SkipWithError("GetVersion failed");
}
BENCHMARK(GetVersionRoundTrip)->Unit(benchmark::kMicrosecond);

void ScheduleWakeAtWithDurableWrite(benchmark::State& state) {
    auto& d = daemon();
    const auto ahead = std::chrono::system_clock::now() + std::chrono::hours(1);
    std::int64_t usec =
        std::chrono::duration_cast<std::chrono::microseconds>(ahead.time_since_epoch()).count();
    for (auto _ : state) {
        const auto answer = call(d.changer(), "ScheduleWakeAt", ++usec);
        if (!answer.empty()) {
            state.SkipWithError(answer.c_str());
            break;
        }
    }
}
BENCHMARK(ScheduleWakeAtWithDurableWrite)->Unit(benchmark::kMicrosecond)->Iterations(200);

} // namespace

BENCHMARK_MAIN();
