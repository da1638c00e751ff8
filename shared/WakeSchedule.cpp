#include "shared/WakeSchedule.h"

#include "shared/AppGroup.h"
#include "shared/AtomicFile.h"
#include "shared/JsonFields.h"

namespace sollun {

std::optional<WakeSchedule> decodeWakeSchedule(std::string_view json) {
    using namespace json_fields;
    const auto document = parseObject(json);
    if (!document) {
        return std::nullopt;
    }
    const auto wakeDate = instantField(*document, "wakeDate");
    const auto alarmDate = instantField(*document, "alarmDate");
    const auto revision = integerField(*document, "revision");
    const auto writerVersion = stringField(*document, "writerVersion");
    if (!wakeDate.valid || !alarmDate.valid || !revision.valid || !revision.value ||
        !writerVersion.valid) {
        return std::nullopt;
    }
    return WakeSchedule{wakeDate.value, alarmDate.value, *revision.value, writerVersion.value};
}

std::optional<std::string> encodeWakeSchedule(const WakeSchedule& schedule) {
    nlohmann::ordered_json document = nlohmann::ordered_json::object();
    for (const auto& [key, instant] :
         {std::pair{"wakeDate", schedule.wakeDate}, std::pair{"alarmDate", schedule.alarmDate}}) {
        if (!instant) {
            continue;
        }
        auto text = rfc3339::format(*instant);
        if (!text) {
            return std::nullopt;
        }
        document[key] = std::move(*text);
    }
    // Declaration order: revision comes after the two dates.
    document["revision"] = schedule.revision;
    if (schedule.writerVersion) {
        document["writerVersion"] = *schedule.writerVersion;
    }
    return json_fields::dumpCompact(document);
}

std::optional<std::filesystem::path> wakeScheduleFileURL() {
    auto container = appGroupContainerURL();
    if (!container) {
        return std::nullopt;
    }
    return *container / wakeScheduleFileName;
}

std::optional<WakeSchedule> readWakeSchedule(const std::filesystem::path& path) {
    const auto text = readSmallFile(path, wakeScheduleSizeLimit);
    if (!text) {
        return std::nullopt;
    }
    return decodeWakeSchedule(*text);
}

} // namespace sollun
