#include "platform/Log.h"

#include "platform/linux/JournalLogSink.h"

#include <charconv>

namespace sollun::platform {
namespace {

LogSink* installedSink = nullptr;

LogSink& defaultSink() {
    static LogSink* const sink = makeDefaultLogSink().release();
    return *sink;
}

} // namespace

void setLogSink(LogSink* sink) {
    installedSink = sink;
}

std::string renderLogMessage(std::string_view format, std::span<const detail::LogArg> args) {
    std::string out;
    out.reserve(format.size() + 32);
    auto next = args.begin();
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format[i] != '%' || i + 1 == format.size()) {
            out += format[i];
            continue;
        }
        if (format[++i] == '%') {
            out += '%';
            continue;
        }
        if (format.substr(i).starts_with("{public}"))
            i += 8;
        if (next == args.end())
            break; // unreachable for checked formats
        const detail::LogArg& arg = *next++;
        char buffer[64];
        switch (arg.kind) {
        case detail::LogArg::Kind::text:
            out += arg.text;
            break;
        case detail::LogArg::Kind::integer:
            out.append(buffer, std::to_chars(buffer, buffer + sizeof buffer, arg.integer).ptr);
            break;
        case detail::LogArg::Kind::floating: {
            const auto result = std::to_chars(buffer, buffer + sizeof buffer, arg.floating,
                                              std::chars_format::fixed, 6);
            // Values too large for fixed notation in 64 characters fall back to the shortest form.
            const char* end = result.ec == std::errc()
                                  ? result.ptr
                                  : std::to_chars(buffer, buffer + sizeof buffer, arg.floating).ptr;
            out.append(static_cast<const char*>(buffer), end);
            break;
        }
        }
    }
    return out;
}

void Logger::write(LogLevel level, std::string_view format,
                   std::span<const detail::LogArg> args) const {
    const std::string message = renderLogMessage(format, args);
    LogSink& sink = installedSink != nullptr ? *installedSink : defaultSink();
    sink.write({level, subsystem_, category_, message});
}

void MemoryLogSink::write(const LogRecord& record) {
    entries_.push_back({record.level, std::string(record.subsystem), std::string(record.category),
                        std::string(record.message)});
}

std::vector<MemoryLogSink::Entry> MemoryLogSink::entries() const {
    return entries_;
}

} // namespace sollun::platform
