#pragma once

// A scriptable daemon transport and registration service, for the tests of the logic above them.

#include "SollunHelper/DaemonService.h"
#include "SollunHelper/WakeDaemonTransport.h"

#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

namespace sollun::test {

using helper::DaemonService;
using helper::WakeDaemonConnection;
using helper::WakeDaemonConnector;
using helper::WakeDaemonProxy;

// A request as the daemon would receive it, with both ways it can end.
struct Request {
    std::string operation;
    std::optional<Instant> date;
    WakeDaemonProxy::TextReply textReply;
    std::function<void(std::int64_t)> versionReply;
    WakeDaemonConnection::ErrorHandler fail;
};

// Keeps every request pending until the test answers it, as a transport's own thread would.
struct FakeConnection final : WakeDaemonConnection {
    struct Proxy final : WakeDaemonProxy {
        Proxy(FakeConnection& c, ErrorHandler e)
            : connection(c)
            , fail(std::move(e)) {}
        void scheduleWakeAt(Instant date, TextReply reply) override {
            connection.requests.push_back({"schedule", date, std::move(reply), {}, fail});
        }
        void clearWake(TextReply reply) override {
            connection.requests.push_back({"clear", {}, std::move(reply), {}, fail});
        }
        void getVersion(std::function<void(std::int64_t)> reply) override {
            connection.requests.push_back({"version", {}, {}, std::move(reply), fail});
        }
        FakeConnection& connection;
        ErrorHandler fail;
    };

    void setInvalidationHandler(Handler handler) override { invalidated = std::move(handler); }
    void setInterruptionHandler(Handler handler) override { interrupted = std::move(handler); }
    void resume() override {}
    std::shared_ptr<WakeDaemonProxy> remoteObjectProxy(ErrorHandler fail) override {
        if (!offersProtocol)
            return nullptr;
        return std::make_shared<Proxy>(*this, std::move(fail));
    }

    bool offersProtocol = true;
    Handler invalidated;
    Handler interrupted;
    std::vector<Request> requests;
};

struct FakeConnector final : WakeDaemonConnector {
    std::shared_ptr<WakeDaemonConnection> connect(const std::string& serviceName, bool privileged,
                                                  const std::string& requirement) override {
        calls.emplace_back(serviceName, privileged, requirement);
        if (!reachable)
            return nullptr;
        made.push_back(std::make_shared<FakeConnection>());
        made.back()->offersProtocol = offersProtocol;
        return made.back();
    }

    bool reachable = true;
    bool offersProtocol = true;
    std::vector<std::tuple<std::string, bool, std::string>> calls;
    std::vector<std::shared_ptr<FakeConnection>> made;
};

// The service's answers, kept by the test while the controller owns the service.
struct ServiceScript {
    std::int64_t status = helper::serviceEnabled;
    std::int64_t statusAfterRegistering = helper::serviceEnabled;
    std::optional<std::string> registrationError;
    int registrations = 0;
    int approvals = 0;
    // The controller's handler: a test that changes `status` calls it, as the service would.
    std::function<void()> changed;
};

struct FakeDaemonService final : DaemonService {
    explicit FakeDaemonService(ServiceScript& s)
        : script(s) {}
    std::int64_t status() override { return script.status; }
    std::optional<std::string> registerService() override {
        ++script.registrations;
        script.status = script.statusAfterRegistering;
        return script.registrationError;
    }
    void requestApproval() override { ++script.approvals; }
    void setChangeHandler(std::function<void()> handler) override {
        script.changed = std::move(handler);
    }
    ServiceScript& script;
};

} // namespace sollun::test
