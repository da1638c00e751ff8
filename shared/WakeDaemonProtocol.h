#pragma once

// Where the daemon serves on the system bus, as both the daemon and its clients name it.

namespace sollun::wake_daemon_protocol {

inline constexpr const char* busName = "com.kestrovane.sollun.wakedaemon";
inline constexpr const char* objectPath = "/com/kestrovane/sollun/wakedaemon";
inline constexpr const char* interfaceName = "com.kestrovane.sollun.WakeDaemonProtocol";
// A refusal of the request itself; its message is the reply's text, not a failure of the call.
inline constexpr const char* rejectedError =
    "com.kestrovane.sollun.WakeDaemonProtocol.Error.Rejected";
// polkit does not let the caller change the schedule (or could not be asked); the message says
// which.
inline constexpr const char* notAuthorizedError =
    "com.kestrovane.sollun.WakeDaemonProtocol.Error.NotAuthorized";

} // namespace sollun::wake_daemon_protocol
