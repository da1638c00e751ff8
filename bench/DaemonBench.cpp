// Round trips to the real daemon on a private system bus: GetVersion, and ScheduleWakeAt with
// its durable write of the store.

#include "shared/WakeDaemonProtocol.h"
#include "tests/support/PrivateBus.h"
#include "tests/support/TempDir.h"

#include <benchmark/benchmark.h>
#include <systemd/sd-bus.h>

#include <chrono>
#include <cstdarg>
#include <cstdlib>
#include <memory>

namespace {

using namespace sollun::test;

using namespace sollun::wake_daemon_protocol;
constexpr const char* daemonName = busName;

struct Daemon {
    Daemon() {
        // Durable writes are what is measured: keep the store off tmpfs where possible.
        setenv("STATE_DIRECTORY", state.path().c_str(), 1);
        bus = std::make_unique<PrivateBus>(PrivateBus::Options{
            PrivateBus::Policy::open,
            {},
            {{"wakedaemon.service", activationFile(daemonName, SOLLUN_DAEMON_EXECUTABLE)}}});
        sd_bus_new(&client);
        sd_bus_set_address(client, bus->address().c_str());
        sd_bus_set_bus_client(client, 1);
        sd_bus_start(client);
        call("GetVersion", nullptr); // activation, outside the measurements
    }
    ~Daemon() { sd_bus_flush_close_unref(client); }

    bool call(const char* member, const char* types, ...) {
        sd_bus_error error = SD_BUS_ERROR_NULL;
        sd_bus_message* reply = nullptr;
        int r;
        if (types == nullptr) {
            r = sd_bus_call_method(client, daemonName, objectPath, interfaceName, member, &error,
                                   &reply, "");
        } else {
            va_list args;
            va_start(args, types);
            sd_bus_message* message = nullptr;
            sd_bus_message_new_method_call(client, &message, daemonName, objectPath, interfaceName,
                                           member);
            sd_bus_message_appendv(message, types, args);
            va_end(args);
            r = sd_bus_call(client, message, 0, &error, &reply);
            sd_bus_message_unref(message);
        }
        sd_bus_message_unref(reply);
        sd_bus_error_free(&error);
        return r >= 0;
    }

    TempDir state;
    std::unique_ptr<PrivateBus> bus;
    sd_bus* client = nullptr;
};

Daemon& daemon() {
    static Daemon instance;
    return instance;
}

void GetVersionRoundTrip(benchmark::State& state) {
    auto& d = daemon();
    for (auto _ : state)
        if (!d.call("GetVersion", nullptr))
            state.SkipWithError("GetVersion failed");
}
BENCHMARK(GetVersionRoundTrip)->Unit(benchmark::kMicrosecond);

void ScheduleWakeAtWithDurableWrite(benchmark::State& state) {
    auto& d = daemon();
    const auto ahead = std::chrono::system_clock::now() + std::chrono::hours(1);
    std::int64_t usec =
        std::chrono::duration_cast<std::chrono::microseconds>(ahead.time_since_epoch()).count();
    for (auto _ : state)
        if (!d.call("ScheduleWakeAt", "x", ++usec))
            state.SkipWithError("ScheduleWakeAt failed");
}
BENCHMARK(ScheduleWakeAtWithDurableWrite)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
