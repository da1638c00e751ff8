#include "SollunHelper/desktop/XdgAutostartLoginItem.h"

#include "platform/Installation.h"
#include "platform/linux/XdgDirectories.h"
#include "shared/AtomicFile.h"

#include <glib.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string_view>
#include <system_error>
#include <vector>

namespace sollun::helper {
namespace {

namespace fs = std::filesystem;

constexpr const char* entryName = "com.kestrovane.sollun.helper.desktop";
constexpr const char* group = "Desktop Entry";
// Far more than an entry needs; anything larger is not ours to read.
constexpr std::size_t entryLimit = 64 * 1024;

std::optional<fs::path> userEntryPath() {
    if (const auto configHome = platform::xdg::configHome())
        return *configHome / "autostart" / entryName;
    return std::nullopt;
}

// The system-wide entries of that name, most important first.
std::vector<fs::path> systemEntryPaths() {
    std::vector<fs::path> paths;
    for (const auto& dir : platform::xdg::configDirs())
        paths.push_back(dir / "autostart" / entryName);
    return paths;
}

struct KeyFileUnref {
    void operator()(GKeyFile* keys) const { g_key_file_unref(keys); }
};

// Whether the desktop starts what the entry at `path` describes: it is a readable desktop entry,
// neither hidden nor switched off.
bool entryStarts(const fs::path& path) {
    const auto contents = readSmallFile(path, entryLimit);
    if (!contents)
        return false;
    const std::unique_ptr<GKeyFile, KeyFileUnref> keys(g_key_file_new());
    if (!g_key_file_load_from_data(keys.get(), contents->data(), contents->size(), G_KEY_FILE_NONE,
                                   nullptr) ||
        !g_key_file_has_group(keys.get(), group))
        return false;
    // A key that is missing or not a boolean reads as false here.
    const auto flag = [&](const char* key, bool absent) {
        return g_key_file_has_key(keys.get(), group, key, nullptr)
                   ? g_key_file_get_boolean(keys.get(), group, key, nullptr) != FALSE
                   : absent;
    };
    return !flag("Hidden", false) && flag("X-GNOME-Autostart-enabled", true);
}

// A value of type string: backslash, newline, tab and carriage return escaped. (A leading space
// would need escaping too; an Exec value never starts with one, as a space gets it quoted.)
std::string escapedString(std::string_view value) {
    std::string text;
    for (const char c : value) {
        switch (c) {
        case '\\':
            text += "\\\\";
            break;
        case '\n':
            text += "\\n";
            break;
        case '\t':
            text += "\\t";
            break;
        case '\r':
            text += "\\r";
            break;
        default:
            text += c;
        }
    }
    return text;
}

// The executable as the whole of an Exec value: in double quotes when it holds a character the
// desktop-entry rules reserve, with `"`, `` ` ``, `$` and `\` escaped inside; percent signs
// doubled, as they introduce field codes; then escaped as any string.
std::string execValue(const fs::path& executable) {
    const std::string& path = executable.native();
    constexpr std::string_view reserved = " \t\n\"'\\><~|&;$*?#()`";
    std::string word;
    const bool quoted = path.find_first_of(reserved) != std::string::npos;
    if (quoted)
        word += '"';
    for (const char c : path) {
        if (quoted && (c == '"' || c == '`' || c == '$' || c == '\\'))
            word += '\\';
        word += c;
        if (c == '%')
            word += '%';
    }
    if (quoted)
        word += '"';
    return escapedString(word);
}

std::string entry(const fs::path& executable, bool hidden) {
    std::string text = "[Desktop Entry]\n"
                       "Type=Application\n"
                       "Name=SollunHelper\n"
                       "Exec=" +
                       execValue(executable) + "\n";
    text += hidden ? "Hidden=true\n" : "NoDisplay=true\nX-GNOME-Autostart-enabled=true\n";
    return text;
}

std::string describe(std::string_view what, const fs::path& path, std::error_code error) {
    return std::string(what) + " " + path.string() + ": " + error.message();
}

std::optional<std::string> writeEntry(const fs::path& path, const std::string& contents) {
    std::error_code error;
    fs::create_directories(path.parent_path(), error);
    if (error)
        return describe("Cannot create", path.parent_path(), error);
    if ((error = writeFileAtomically(path, contents)))
        return describe("Cannot write", path, error);
    return std::nullopt;
}

constexpr const char* noHome = "No home directory to keep the autostart entry in";

// The directory of the user's entries, or while it does not exist its nearest existing parent.
class AutostartWatch final : public LoginItem::Watch {
public:
    AutostartWatch(platform::EventLoop& loop, fs::path directory, std::function<void()> changed)
        : loop_(loop)
        , directory_(std::move(directory))
        , changed_(std::move(changed)) {
        arm();
    }

private:
    static constexpr std::uint32_t entryEvents =
        IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_CLOSE_WRITE;
    static constexpr std::uint32_t selfEvents = IN_DELETE_SELF | IN_MOVE_SELF;

    // Gives whether the directory itself is watched now.
    bool arm() {
        watch_.reset();
        for (fs::path at = directory_;; at = at.parent_path()) {
            const bool itself = at == directory_;
            auto made = loop_.watchDirectory(
                at, (itself ? entryEvents : IN_CREATE | IN_MOVED_TO) | selfEvents,
                [this, itself](const platform::DirectoryEvent& event) { onEvent(itself, event); });
            if (auto* source = std::get_if<platform::Source>(&made)) {
                watch_ = std::move(*source);
                return itself;
            }
            if (at == at.parent_path() || at.empty())
                return false;
        }
    }

    void onEvent(bool itself, const platform::DirectoryEvent& event) {
        if (itself && (event.mask & (selfEvents | IN_IGNORED)) == 0) {
            changed_();
            return;
        }
        // The directory went, or something appeared in a parent (perhaps the way to it): watched
        // anew, and told when the entries may now differ.
        const bool watchingItself = arm();
        if (itself || watchingItself)
            changed_();
    }

    platform::EventLoop& loop_;
    const fs::path directory_;
    const std::function<void()> changed_;
    platform::Source watch_;
};

} // namespace

XdgAutostartLoginItem::XdgAutostartLoginItem(platform::EventLoop& loop,
                                             std::filesystem::path executable)
    : loop_(loop)
    , executable_(std::move(executable)) {}

std::unique_ptr<LoginItem::Watch>
XdgAutostartLoginItem::watchStatus(std::function<void()> changed) {
    const auto path = userEntryPath();
    if (!path)
        return nullptr;
    return std::make_unique<AutostartWatch>(loop_, path->parent_path(), std::move(changed));
}

std::filesystem::path XdgAutostartLoginItem::ownExecutable() {
    // Replaced while it runs (an upgrade), the new file is the one to start next time. Without
    // /proc, the program is looked up on the PATH at login.
    return platform::ownExecutable().value_or(fs::path("SollunHelper"));
}

std::int64_t XdgAutostartLoginItem::status() {
    // The desktop takes the entry of that name from the first place that has one: the user's
    // own, then the system-wide ones.
    std::vector<fs::path> candidates;
    if (const auto user = userEntryPath())
        candidates.push_back(*user);
    for (auto& path : systemEntryPaths())
        candidates.push_back(std::move(path));
    for (const auto& path : candidates) {
        // One that cannot even be looked at still hides those after it.
        std::error_code error;
        if (fs::symlink_status(path, error).type() != fs::file_type::not_found)
            return entryStarts(path) ? enabled : 0;
    }
    return 0;
}

std::optional<std::string> XdgAutostartLoginItem::registerItem() {
    const auto path = userEntryPath();
    if (!path)
        return noHome;
    return writeEntry(*path, entry(executable_, false));
}

std::optional<std::string> XdgAutostartLoginItem::unregisterItem() {
    const auto path = userEntryPath();
    if (!path)
        return noHome;
    for (const auto& system : systemEntryPaths()) {
        std::error_code error;
        // Removing the user's entry would let the system-wide one start the helper: hide it.
        if (fs::exists(system, error))
            return writeEntry(*path, entry(executable_, true));
    }
    std::error_code error;
    fs::remove(*path, error);
    if (error)
        return describe("Cannot remove", *path, error);
    return std::nullopt;
}

} // namespace sollun::helper
