#pragma once

#include "platform/Log.h"

#include <memory>

namespace sollun::platform {

// The journal, with the fields PRIORITY, SYSLOG_IDENTIFIER, SOLLUN_SUBSYSTEM and
// SOLLUN_CATEGORY beside MESSAGE.
class JournalLogSink final : public LogSink {
public:
    void write(const LogRecord& record) override;
};

// One line per record on standard error, written in one piece:
//   SollunHelper[1234]: com.kestrovane.sollun.helper watcher error: <message>
class StderrLogSink final : public LogSink {
public:
    void write(const LogRecord& record) override;
};

// The journal when its socket exists (the journal library drops messages silently without one),
// standard error otherwise.
std::unique_ptr<LogSink> makeDefaultLogSink();

} // namespace sollun::platform
