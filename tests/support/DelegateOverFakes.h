#pragma once

// The menu's delegate over a coordinator made of fakes, keeping count of what its actions did:
// for the tests of the menu, in memory and on the bus.

#include "SollunHelper/SollunHelperApp.h"
#include "tests/support/FakeDaemonTransport.h"
#include "tests/support/FakeLoginItem.h"
#include "tests/support/FakeWorkspace.h"

#include <memory>
#include <vector>

namespace sollun::test {

struct DelegateOverFakes {
    explicit DelegateOverFakes(platform::EventLoop& loop)
        : coordinator(loop,
                      std::make_unique<helper::WakeDaemonController>(
                          loop, std::make_unique<FakeDaemonService>(service),
                          std::make_shared<FakeConnector>()),
                      std::unique_ptr<helper::Workspace>(workspace),
                      std::make_unique<FakeSystemWake>(),
                      std::unique_ptr<helper::LoginItem>(loginItem)) {}

    // Approvals asked for, URLs opened, login item registrations and unregistrations, quits.
    std::vector<int> effects() const {
        return {service.approvals, static_cast<int>(workspace->urls.size()),
                loginItem->registrations, loginItem->unregistrations, quits};
    }
    void forgetEffects() {
        service.approvals = quits = loginItem->registrations = loginItem->unregistrations = 0;
        workspace->urls.clear();
    }

    ServiceScript service;
    FakeWorkspace* workspace = new FakeWorkspace;
    FakeLoginItem* loginItem = new FakeLoginItem;
    helper::HelperCoordinator coordinator;
    int quits = 0;
    helper::HelperAppDelegate delegate{coordinator, [this] { ++quits; }};
};

} // namespace sollun::test
