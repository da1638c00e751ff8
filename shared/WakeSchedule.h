#pragma once

#include "shared/Instant.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace sollun {

inline constexpr std::string_view wakeScheduleFileName = "wake-schedule.json";

// Anything larger than this is not a wake schedule (a few hundred bytes) but a runaway writer; it
// is treated as unreadable instead of being loaded into memory. What decoding the largest document
// takes is bounded by it too: its text, and the parser's tree for it, which for a document of
// nested arrays is some 80 bytes a level, 5 MB at this size (and took 70 MB and seconds of CPU
// at a megabyte).
inline constexpr std::size_t wakeScheduleSizeLimit = 64 * 1024;

// The main application's published decision about the next wake.
struct WakeSchedule {
    std::optional<Instant> wakeDate;
    std::optional<Instant> alarmDate;
    std::int64_t revision = 0;
    std::optional<std::string> writerVersion;

    friend bool operator==(const WakeSchedule&, const WakeSchedule&) = default;
};

// Decodes one document. Every invalid document (not JSON, not an object, anything but whitespace
// after the object, `revision` missing, null or not an integer, a value of the wrong type, a date
// not in the accepted form) gives nothing; nothing is thrown and nothing is logged.
std::optional<WakeSchedule> decodeWakeSchedule(std::string_view json);

// The record's own encoding: compact, fields in declaration order, absent optionals left out.
std::optional<std::string> encodeWakeSchedule(const WakeSchedule& schedule);

// The container's "wake-schedule.json", when there is a container.
std::optional<std::filesystem::path> wakeScheduleFileURL();

// Reads and decodes the file at `path`; unreadable, too large or invalid gives nothing.
std::optional<WakeSchedule> readWakeSchedule(const std::filesystem::path& path);

} // namespace sollun
