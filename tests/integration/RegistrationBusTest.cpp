#include "SollunHelper/linux/BusDaemonService.h"
#include "platform/linux/SdEventLoop.h"
#include "tests/support/LoopWatchdog.h"
#include "tests/support/PrivateBus.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

namespace sollun::helper {
namespace {

using test::PrivateBus;
using test::TempDir;

constexpr const char* daemonName = "com.kestrovane.sollun.wakedaemon";

// The registration's four states, each reached through a private system bus: whether the bus
// can start the daemon, whether the definition ships beside the helper, whether a request waits.
class Registration : public ::testing::Test {
protected:
    void startBus(bool activatable) {
        PrivateBus::Options options;
        if (activatable)
            options.services = {
                {"wakedaemon.service", test::activationFile(daemonName, SOLLUN_DAEMON_EXECUTABLE)}};
        bus = std::make_unique<PrivateBus>(options);
        address = std::make_unique<test::ScopedEnvironmentVariable>("DBUS_SYSTEM_BUS_ADDRESS",
                                                                    bus->address());
    }

    void shipDefinition() {
        test::writeFile(shipped / (std::string(daemonName) + ".service"),
                        test::activationFile(daemonName, SOLLUN_DAEMON_EXECUTABLE));
    }

    BusDaemonService& service(std::vector<std::string> approvalCommand = {}) {
        service_ = std::make_unique<BusDaemonService>(
            loop, BusDaemonService::Setup{daemonName, shipped.path(), std::move(approvalCommand)});
        return *service_;
    }

    platform::SdEventLoop loop;
    TempDir shipped;
    std::unique_ptr<PrivateBus> bus;
    std::unique_ptr<test::ScopedEnvironmentVariable> address;
    std::unique_ptr<BusDaemonService> service_;
};

TEST_F(Registration, EnabledWhenTheBusCanStartTheDaemon) {
    startBus(true);
    EXPECT_EQ(service().status(), serviceEnabled);
}

TEST_F(Registration, NotFoundWithoutActivationOrDefinition) {
    startBus(false);
    auto& registrar = service();
    EXPECT_EQ(registrar.status(), serviceNotFound);
    const auto error = registrar.registerService();
    ASSERT_TRUE(error);
    EXPECT_NE(error->find("definition is missing"), std::string::npos) << *error;
    EXPECT_EQ(registrar.status(), serviceNotFound);
}

TEST_F(Registration, ARequestWaitsForApprovalUntilTheDaemonIsInstalled) {
    startBus(false);
    shipDefinition();
    // The approval stands in for the administrator's installer: it puts the activation file in
    // place and has the bus reload.
    const auto services = bus->directory() / "services";
    auto& registrar = service(
        {"sh", "-c",
         "cp '" + (shipped / (std::string(daemonName) + ".service")).string() + "' '" +
             services.string() +
             "/' && busctl --address=\"$DBUS_SYSTEM_BUS_ADDRESS\" call org.freedesktop.DBus "
             "/org/freedesktop/DBus org.freedesktop.DBus ReloadConfig"});

    EXPECT_EQ(registrar.status(), serviceNotRegistered);
    EXPECT_EQ(registrar.registerService(), std::nullopt);
    EXPECT_EQ(registrar.status(), serviceRequiresApproval);

    int installerExit = -2;
    registrar.setApprovalFinishedHandler([&](int exit) {
        installerExit = exit;
        loop.exit(0);
    });
    registrar.requestApproval();
    ASSERT_EQ(test::runWithWatchdog(loop), 0);
    EXPECT_EQ(installerExit, 0);
    EXPECT_EQ(registrar.status(), serviceEnabled);
}

TEST_F(Registration, ARefusedApprovalLeavesTheRequestPending) {
    startBus(false);
    shipDefinition();
    auto& registrar = service({"false"});
    ASSERT_EQ(registrar.registerService(), std::nullopt);
    int installerExit = -2;
    registrar.setApprovalFinishedHandler([&](int exit) {
        installerExit = exit;
        loop.exit(0);
    });
    registrar.requestApproval();
    ASSERT_EQ(test::runWithWatchdog(loop), 0);
    EXPECT_EQ(installerExit, 1);
    EXPECT_EQ(registrar.status(), serviceRequiresApproval);
}

TEST_F(Registration, WithoutAReachableBusTheDefinitionDecides) {
    test::ScopedEnvironmentVariable noBus("DBUS_SYSTEM_BUS_ADDRESS",
                                          "unix:path=" + (shipped / "no-bus").string());
    auto& registrar = service();
    EXPECT_EQ(registrar.status(), serviceNotFound);
    shipDefinition();
    EXPECT_EQ(registrar.status(), serviceNotRegistered);
}

} // namespace
} // namespace sollun::helper
