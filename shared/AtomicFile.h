#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

namespace sollun {

// Replaces `target` with `contents` so that a concurrent reader sees either the previous complete
// file or the new complete one: the bytes go to a fresh temporary file beside the target (created
// with the default mode 0666 less the umask), are flushed to disk, renamed over the target, and
// the directory entry is flushed too. On any failure the temporary file is removed, the previous
// file stays as it was, and the error is returned. The one exception is the last step: should
// flushing the directory fail, the new file is already in place, and the error is still returned
// because the replacement may not survive a crash. The directory is never created.
std::error_code writeFileAtomically(const std::filesystem::path& target, std::string_view contents);

// Removes the temporary files that writes of `target` left behind when their process was killed
// before the rename. Only for the sole writer of `target`: another writer's file in flight would
// go too. Errors are ignored; what cannot be removed now is tried again next time.
void removeLeftoverTemporaries(const std::filesystem::path& target);

// Reads a whole regular file of at most `limit` bytes. A missing file, anything but a regular file
// (a FIFO would block the reader), a read error, or a file larger than `limit` gives nothing.
std::optional<std::string> readSmallFile(const std::filesystem::path& path, std::size_t limit);

} // namespace sollun
