#pragma once

#include "shared/Instant.h"

#include <string>

namespace sollun {

// An instant as the logs write it: UTC, whole seconds (cut off), and the offset, as in
// "2026-12-05 06:30:00 +0000".
std::string dateText(Instant date);

} // namespace sollun
