#pragma once

// How the helper reaches the daemon, apart from any particular bus: a connector makes connections
// to a named service, checked against a peer requirement; a connection reports when it is
// interrupted (the service went away or was replaced) or invalidated (the connection itself is
// gone), and hands out proxies of the daemon's protocol.
//
// Every request sent through a proxy ends in exactly one call: its reply, or the error handler
// of that proxy with a readable description. Replies, error handlers and the connection's
// handlers all arrive on the main loop.

#include "shared/Instant.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace sollun::helper {

class WakeDaemonProxy {
public:
    virtual ~WakeDaemonProxy() = default;

    // Nothing: accepted. A text: refused, and why.
    using TextReply = std::function<void(std::optional<std::string>)>;

    virtual void scheduleWakeAt(Instant date, TextReply reply) = 0;
    virtual void clearWake(TextReply reply) = 0;
    virtual void getVersion(std::function<void(std::int64_t)> reply) = 0;
};

class WakeDaemonConnection {
public:
    virtual ~WakeDaemonConnection() = default;

    using Handler = std::function<void()>;
    virtual void setInvalidationHandler(Handler handler) = 0;
    virtual void setInterruptionHandler(Handler handler) = 0;
    virtual void resume() = 0;

    // Nothing when the remote side does not offer the protocol.
    using ErrorHandler = std::function<void(const std::string& description)>;
    virtual std::shared_ptr<WakeDaemonProxy> remoteObjectProxy(ErrorHandler errorHandler) = 0;
};

class WakeDaemonConnector {
public:
    virtual ~WakeDaemonConnector() = default;

    // A connection to `serviceName`, looked up among the system's services when `privileged`,
    // whose peer must satisfy `requirement` before any request reaches it. Nothing when no
    // connection can be made at all.
    virtual std::shared_ptr<WakeDaemonConnection>
    connect(const std::string& serviceName, bool privileged, const std::string& requirement) = 0;
};

} // namespace sollun::helper
