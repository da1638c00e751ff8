#pragma once

// Texts as the tests compare them: what was logged, dates as ICU writes them, and catalogues of
// translations as msgfmt writes them.

#include "platform/Log.h"

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace sollun::test {

// Each record as a line, "info helper/coordinator: Launched Sollun (pid 42)": its level, its
// subsystem short of "com.kestrovane.sollun.", its category and its text.
std::vector<std::string> logLines(const platform::MemoryLogSink& log);

// ICU's English has a narrow no-break space before AM; the same text with a plain one.
std::string plain(std::string_view text);

// A catalogue as msgfmt lays it out, in either byte order: a 28-byte header, the originals' and
// the translations' tables of (length, offset), then the texts, each ended by a NUL.
std::string messageCatalogue(const std::map<std::string, std::string>& messages,
                             bool bigEndian = false);

} // namespace sollun::test
