#pragma once

// The real daemon on a private system bus, for the suites that run the program (each is built
// with SOLLUN_DAEMON_EXECUTABLE and the daemon's store library): a state directory of the test's
// own, the bus, which starts the daemon on the first call unless the test has started it itself,
// and a connection of the test's. The environment names both, for the daemon and for the
// stand-ins a test starts on that bus.

#include "SollunWakeDaemon/PowerEventFile.h"
#include "shared/WakeDaemonProtocol.h"
#include "tests/support/DaemonCalls.h"
#include "tests/support/PrivateBus.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace sollun::test {

// The product's event as the daemon stores it; without a user, as it did before users.
inline std::string storedEvent(std::int64_t usec, std::optional<std::uint32_t> uid) {
    return daemon::makeStoredPowerEvent(Instant{std::chrono::microseconds(usec)},
                                        "com.kestrovane.sollun", "wakepoweron", uid)
        ->text;
}

class DaemonOnPrivateBus : public ::testing::Test {
protected:
    DaemonOnPrivateBus() { std::filesystem::create_directory(state_); }

    // The bus, once the state directory is as the test wants it.
    void startBus(PrivateBus::Policy policy = PrivateBus::Policy::open,
                  std::vector<std::filesystem::path> policyFiles = {}) {
        bus_ = std::make_unique<PrivateBus>(PrivateBus::Options{
            policy,
            std::move(policyFiles),
            {{"wakedaemon.service",
              activationFile(wake_daemon_protocol::busName, SOLLUN_DAEMON_EXECUTABLE)}}});
        systemBus_.emplace("DBUS_SYSTEM_BUS_ADDRESS", bus_->address());
        if (!(client_ = connect(bus_->address())))
            throw std::runtime_error("cannot connect to " + bus_->address());
    }

    // The daemon started by the test rather than by the bus, so that its standard error, where it
    // logs without a journal, is appended to `log`; true once it serves.
    bool startDaemon(const std::filesystem::path& log) {
        daemon_ = std::make_unique<BackgroundProcess>(std::vector<std::string>{
            "sh", "-c", "exec \"$0\" 2>>\"$1\"", SOLLUN_DAEMON_EXECUTABLE, log.string()});
        return bus_->waitForName(wake_daemon_protocol::busName);
    }

    sd_bus* client() const { return client_.get(); }
    std::string store() const { return readFile(state_ / "power-events.json"); }

    TempDir root_;
    const std::filesystem::path state_ = root_ / "state";
    ScopedEnvironmentVariable stateDirectory_{"STATE_DIRECTORY", (state_ / "").string()};
    std::unique_ptr<PrivateBus> bus_;
    std::optional<ScopedEnvironmentVariable> systemBus_;
    std::unique_ptr<BackgroundProcess> daemon_;
    BusPtr client_;
};

} // namespace sollun::test
