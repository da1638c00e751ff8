#include "shared/WakeHelperStatus.h"

#include "shared/AppGroup.h"
#include "shared/AtomicFile.h"
#include "shared/JsonFields.h"

namespace sollun {

std::optional<std::string> encodeWakeHelperStatus(const WakeHelperStatus& status) {
    const auto heartbeat = rfc3339::format(status.lastHeartbeat);
    if (!heartbeat) {
        return std::nullopt;
    }
    nlohmann::ordered_json document = nlohmann::ordered_json::object();
    document["helperVersion"] = status.helperVersion;
    document["daemonVersion"] = status.daemonVersion;
    document["daemonState"] = rawValue(status.daemonState);
    document["lastHeartbeat"] = *heartbeat;
    if (status.lastScheduledWake) {
        auto wake = rfc3339::format(*status.lastScheduledWake);
        if (!wake) {
            return std::nullopt;
        }
        document["lastScheduledWake"] = std::move(*wake);
    }
    return json_fields::dumpCompact(document);
}

std::optional<WakeHelperStatus> decodeWakeHelperStatus(std::string_view json) {
    using namespace json_fields;
    const auto document = parseObject(json);
    if (!document) {
        return std::nullopt;
    }
    const auto helperVersion = stringField(*document, "helperVersion");
    const auto daemonVersion = integerField(*document, "daemonVersion");
    const auto daemonStateRaw = integerField(*document, "daemonState");
    const auto lastHeartbeat = instantField(*document, "lastHeartbeat");
    const auto lastScheduledWake = instantField(*document, "lastScheduledWake");
    if (!helperVersion.value || !daemonVersion.value || !daemonStateRaw.value ||
        !lastHeartbeat.value || !lastScheduledWake.valid) {
        return std::nullopt;
    }
    const auto daemonState = registrationStateFromRawValue(*daemonStateRaw.value);
    if (!daemonState) {
        return std::nullopt;
    }
    return WakeHelperStatus{*helperVersion.value, *daemonVersion.value, *daemonState,
                            *lastHeartbeat.value, lastScheduledWake.value};
}

bool writeHelperStatus(const WakeHelperStatus& status) {
    const auto container = appGroupContainerURL();
    if (!container) {
        return false;
    }
    const auto json = encodeWakeHelperStatus(status);
    if (!json) {
        return false;
    }
    return !writeFileAtomically(*container / helperStatusFileName, *json);
}

} // namespace sollun
