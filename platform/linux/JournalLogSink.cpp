#include "platform/linux/JournalLogSink.h"

#include <systemd/sd-journal.h>

#include <sys/uio.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace sollun::platform {
namespace {

constexpr const char* journalSocket = "/run/systemd/journal/socket";

std::string_view identifier() {
    return program_invocation_short_name;
}

std::string_view levelName(LogLevel level) {
    return level == LogLevel::error ? "error" : "info";
}

} // namespace

void JournalLogSink::write(const LogRecord& record) {
    const std::string fields[] = {
        std::string("MESSAGE=").append(record.message),
        record.level == LogLevel::error ? "PRIORITY=" + std::to_string(LOG_ERR)
                                        : "PRIORITY=" + std::to_string(LOG_INFO),
        std::string("SYSLOG_IDENTIFIER=").append(identifier()),
        std::string("SOLLUN_SUBSYSTEM=").append(record.subsystem),
        std::string("SOLLUN_CATEGORY=").append(record.category),
    };
    iovec vector[std::size(fields)];
    for (std::size_t i = 0; i < std::size(fields); ++i)
        vector[i] = {const_cast<char*>(fields[i].data()), fields[i].size()};
    // A line the journal refuses has nowhere else to be said.
    (void)sd_journal_sendv(vector, static_cast<int>(std::size(vector)));
}

void StderrLogSink::write(const LogRecord& record) {
    std::string line;
    line.reserve(record.message.size() + 96);
    line.append(identifier())
        .append("[")
        .append(std::to_string(getpid()))
        .append("]: ")
        .append(record.subsystem)
        .append(" ")
        .append(record.category)
        .append(" ")
        .append(levelName(record.level))
        .append(": ")
        .append(record.message)
        .append("\n");
    // One write per line keeps lines of concurrent writers apart.
    [[maybe_unused]] const auto written = ::write(STDERR_FILENO, line.data(), line.size());
}

std::unique_ptr<LogSink> makeDefaultLogSink() {
    if (access(journalSocket, W_OK) == 0)
        return std::make_unique<JournalLogSink>();
    return std::make_unique<StderrLogSink>();
}

} // namespace sollun::platform
