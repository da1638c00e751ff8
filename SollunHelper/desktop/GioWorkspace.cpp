#include "SollunHelper/desktop/GioWorkspace.h"

#include "SollunHelper/desktop/ProgramProcesses.h"
#include "SollunHelper/desktop/RunningAppWatch.h"
#include "platform/linux/XdgDirectories.h"

#include <gio/gdesktopappinfo.h>
#include <gio/gio.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string_view>
#include <utility>
#include <vector>

namespace sollun::helper {
namespace {

namespace fs = std::filesystem;

struct GObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
template <class T>
using GObjectPtr = std::unique_ptr<T, GObjectUnref>;

struct GFreeText {
    void operator()(gchar* text) const { g_free(text); }
};
using GText = std::unique_ptr<gchar, GFreeText>;

struct GKeyFileUnref {
    void operator()(GKeyFile* keys) const { g_key_file_unref(keys); }
};

// A GError out-parameter that frees what it receives.
class Failure {
public:
    Failure() = default;
    Failure(const Failure&) = delete;
    Failure& operator=(const Failure&) = delete;
    ~Failure() {
        if (error_ != nullptr)
            g_error_free(error_);
    }
    GError** out() { return &error_; }
    std::string message() const { return error_ != nullptr ? error_->message : "unknown error"; }

private:
    GError* error_ = nullptr;
};

// Brackets every call into GLib. GLib starts threads of its own on first use (the bus worker, the
// file monitors' worker); created inside, they inherit a mask that blocks every asynchronous
// signal, so that a signal sent to the process reaches the loop's signal descriptor rather than
// ending the process through a thread that does not block it. What GLib queues for a main context
// meanwhile goes to a context only these calls use, dispatched on the way out: nothing else runs
// it, and what it holds (bus connections among them) would otherwise be kept forever.
class GlibCall {
public:
    GlibCall() {
        sigset_t asynchronous;
        sigfillset(&asynchronous);
        for (const int synchronous : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP})
            sigdelset(&asynchronous, synchronous);
        // With a valid set and how, these cannot fail.
        (void)pthread_sigmask(SIG_BLOCK, &asynchronous, &saved_);
        g_main_context_push_thread_default(context());
    }
    GlibCall(const GlibCall&) = delete;
    GlibCall& operator=(const GlibCall&) = delete;
    ~GlibCall() {
        dispatchPending();
        g_main_context_pop_thread_default(context());
        (void)pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
    }

    static void dispatchPending() {
        while (g_main_context_iteration(context(), FALSE)) {
        }
    }

private:
    // Process-wide, like the GLib state whose leftovers it receives; never freed.
    static GMainContext* context() {
        static GMainContext* const shared = g_main_context_new();
        return shared;
    }

    sigset_t saved_;
};

// Runs in the started child between fork and exec: async-signal-safe calls only. Without it the
// application would inherit the signals the helper's loop blocks (and those GlibCall blocks), and
// stay deaf to the session's SIGTERM; signals the helper ignores would stay ignored across exec.
void startWithDefaultSignals(gpointer) {
    struct sigaction defaults = {};
    defaults.sa_handler = SIG_DFL;
    for (int signal = 1; signal < NSIG; ++signal) {
        // The C library refuses its own (the threads' signals); those are as it wants them.
        if (signal != SIGKILL && signal != SIGSTOP)
            (void)sigaction(signal, &defaults, nullptr);
    }
    sigset_t none;
    sigemptyset(&none);
    (void)sigprocmask(SIG_SETMASK, &none, nullptr);
}

void rememberFirstPid(GDesktopAppInfo*, GPid pid, gpointer first) {
    auto* result = static_cast<pid_t*>(first);
    if (*result == -1)
        *result = pid;
}

// A launch's context: the token, when there is one, raises the application's window; otherwise
// no token is passed on.
GObjectPtr<GAppLaunchContext> launchContext(const std::string& token) {
    GObjectPtr<GAppLaunchContext> context(g_app_launch_context_new());
    for (const char* name : {"XDG_ACTIVATION_TOKEN", "DESKTOP_STARTUP_ID"}) {
        if (token.empty())
            g_app_launch_context_unsetenv(context.get(), name);
        else
            g_app_launch_context_setenv(context.get(), name, token.c_str());
    }
    return context;
}

// Starts `app` with `uris` (nullptr for none). Gives the new process's id, -1 when GIO started
// the application without a process of its own (D-Bus activation), or GIO's error.
Workspace::LaunchResult start(GDesktopAppInfo* app, GList* uris, const std::string& token) {
    const auto context = launchContext(token);
    pid_t pid = -1;
    Failure failure;
    // Without G_SPAWN_DO_NOT_REAP_CHILD GLib forks twice and reports the grandchild, which the
    // system reaps; with it, the zombie would be ours and no main loop here would collect it.
    if (!g_desktop_app_info_launch_uris_as_manager(app, uris, context.get(), G_SPAWN_SEARCH_PATH,
                                                   startWithDefaultSignals, nullptr,
                                                   rememberFirstPid, &pid, failure.out()))
        return failure.message();
    return pid;
}

// ---- Desktop entries ----

std::vector<fs::path> applicationDirectories() {
    std::vector<fs::path> directories;
    if (const auto dataHome = platform::xdg::dataHome())
        directories.push_back(*dataHome / "applications");
    for (const auto& directory : platform::xdg::dataDirs())
        directories.push_back(directory / "applications");
    return directories;
}

// GIO opens an entry as it is and waits: a FIFO in its place would hold the helper until a writer
// came. So only a regular file is given to it (as a stat saw it a moment before: the user could
// swap one in between, and the user's own helper is all that would wait).
bool isRegularFile(const std::string& path) {
    std::error_code error;
    return fs::is_regular_file(path, error);
}

struct FoundEntry {
    std::string path;
    GObjectPtr<GDesktopAppInfo> info;
};

std::optional<FoundEntry> findEntry(const std::string& appId) {
    const std::string fileName = appId + ".desktop";
    for (const auto& directory : applicationDirectories()) {
        const std::string path = (directory / fileName).string();
        if (!isRegularFile(path))
            continue;
        GObjectPtr<GDesktopAppInfo> info(g_desktop_app_info_new_from_filename(path.c_str()));
        if (!info)
            continue;
        if (g_desktop_app_info_get_is_hidden(info.get()))
            return std::nullopt;
        return FoundEntry{path, std::move(info)};
    }
    return std::nullopt;
}

bool programFound(const std::string& program) {
    return GText(g_find_program_in_path(program.c_str())) != nullptr;
}

std::optional<ProgramIdentity> entryProgram(GDesktopAppInfo* info) {
    const GText tryExec(g_desktop_app_info_get_string(info, "TryExec"));
    const GText exec(g_desktop_app_info_get_string(info, "Exec"));
    return programOf(tryExec.get(), exec.get());
}

// Why GIO would not take the entry at `path`, in words for the launch's completion.
std::string unusableEntry(const std::string& path) {
    std::error_code error;
    if (const auto type = fs::status(path, error).type();
        type != fs::file_type::not_found && type != fs::file_type::regular)
        return "The desktop entry " + path + " is not a file";
    const std::unique_ptr<GKeyFile, GKeyFileUnref> keys(g_key_file_new());
    Failure failure;
    if (!g_key_file_load_from_file(keys.get(), path.c_str(), G_KEY_FILE_NONE, failure.out()))
        return "Cannot read the desktop entry " + path + ": " + failure.message();
    for (const char* key : {"TryExec", "Exec"}) {
        const GText value(g_key_file_get_string(keys.get(), "Desktop Entry", key, nullptr));
        const auto words = commandWords(value.get());
        if (!words.empty() && !programFound(words.front()))
            return "The program " + words.front() + " of the desktop entry " + path +
                   " was not found";
    }
    return "The desktop entry " + path + " does not describe an application that can be started";
}

} // namespace

// ---- The session bus ----

// GLib's shared session bus connection, the one GIO also uses when it launches. Holding it keeps
// GIO on the connection whose exit-on-close this class turned off; GLib's default for a shared
// connection is to raise SIGTERM when the bus goes away.
class GioWorkspace::SessionBus {
public:
    SessionBus() = default;
    SessionBus(const SessionBus&) = delete;
    SessionBus& operator=(const SessionBus&) = delete;
    ~SessionBus() { forget(); }

    // Inside a GlibCall. Nothing when there is no session bus.
    GDBusConnection* get() {
        if (connection_ != nullptr && g_dbus_connection_is_closed(connection_))
            forget();
        if (connection_ == nullptr) {
            connection_ = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
            // GLib hands out its shared connection for as long as anyone holds it, closed or not.
            // A closed one is held by the notices GLib queued about it, which dispatching
            // releases; the next request then connects anew.
            if (connection_ != nullptr && g_dbus_connection_is_closed(connection_)) {
                forget();
                connection_ = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
            }
            if (connection_ != nullptr)
                g_dbus_connection_set_exit_on_close(connection_, FALSE);
        }
        return connection_;
    }

private:
    void forget() {
        if (connection_ == nullptr)
            return;
        g_object_unref(connection_);
        connection_ = nullptr;
        GlibCall::dispatchPending();
    }

    GDBusConnection* connection_ = nullptr;
};

// ---- GioWorkspace ----

GioWorkspace::GioWorkspace(platform::SdEventLoop& loop, platform::SharedBus& session)
    : loop_(loop)
    , bus_(std::make_unique<SessionBus>())
    , session_(session) {}

GioWorkspace::~GioWorkspace() {
    const GlibCall call;
    bus_.reset();
}

bool GioWorkspace::sessionNameHasOwner(const std::string& name) {
    if (sd_bus_service_name_is_valid(name.c_str()) <= 0 || name.front() == ':')
        return false;
    // Asked on the spot, not from a background thread's view of the bus: a restarted bus is
    // noticed at the next call, and a question that failed is asked once more, on a new
    // connection when the one it failed on has closed. What the bus sends meanwhile waits for
    // the loop.
    for (int attempt = 0; attempt < 2; ++attempt) {
        sd_bus* const session = session_.connection();
        if (session == nullptr)
            return false;
        platform::BusMessage question;
        platform::BusMessage reply;
        sd_bus_error error = SD_BUS_ERROR_NULL;
        int owned = 0;
        int r = sd_bus_message_new_method_call(session, platform::out(question),
                                               "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                               "org.freedesktop.DBus", "NameHasOwner");
        if (r >= 0)
            r = sd_bus_message_append(question.get(), "s", name.c_str());
        if (r >= 0)
            r = sd_bus_call(session, question.get(), sessionAnswerLimitUsec, &error,
                            platform::out(reply));
        const bool answered = r >= 0 && sd_bus_message_read(reply.get(), "b", &owned) >= 0;
        sd_bus_error_free(&error);
        if (answered)
            return owned != 0;
    }
    return false;
}

bool GioWorkspace::isRunning(const std::string& appId) {
    const GlibCall call;
    if (auto entry = findEntry(appId)) {
        if (isStillStarting(entry->path))
            return true;
        if (const auto program = entryProgram(entry->info.get());
            program && !processesRunning(*program, 1).empty())
            return true;
    }
    return sessionNameHasOwner(appId);
}

void GioWorkspace::remember(const std::string& location, const LaunchResult& result) {
    if (const pid_t* pid = std::get_if<pid_t>(&result)) {
        if (auto startTime = startTimeOf(*pid))
            started_[location] = Started{*pid, std::move(*startTime)};
        for (RunningAppWatch* watch : std::vector(*watches_))
            watch->launched(location, *pid);
    }
}

namespace {

// A watch that takes itself off the workspace's list when it goes.
class ListedWatch final : public Workspace::RunningWatch {
public:
    template <class... Args>
    ListedWatch(std::weak_ptr<std::vector<RunningAppWatch*>> list, Args&&... arguments)
        : watch_(std::forward<Args>(arguments)...)
        , list_(std::move(list)) {
        if (const auto watches = list_.lock())
            watches->push_back(&watch_);
    }
    ~ListedWatch() override {
        if (const auto watches = list_.lock())
            std::erase(*watches, &watch_);
    }
    bool running() const override { return watch_.running(); }
    void recheck() override { watch_.recheck(); }

private:
    RunningAppWatch watch_;
    std::weak_ptr<std::vector<RunningAppWatch*>> list_;
};

} // namespace

std::unique_ptr<Workspace::RunningWatch> GioWorkspace::watchRunning(const std::string& appId,
                                                                    std::function<void()> changed) {
    auto lookup = [appId]() -> std::optional<RunningAppWatch::Entry> {
        const GlibCall call;
        auto entry = findEntry(appId);
        if (!entry)
            return std::nullopt;
        return RunningAppWatch::Entry{std::move(entry->path), entryProgram(entry->info.get())};
    };
    return std::make_unique<ListedWatch>(watches_, loop_, session_, appId, std::move(lookup),
                                         std::move(changed));
}

bool GioWorkspace::isStillStarting(const std::string& location) {
    const auto started = started_.find(location);
    if (started == started_.end())
        return false;
    if (startTimeOf(started->second.pid) == started->second.startTime)
        return true;
    started_.erase(started);
    return false;
}

std::optional<std::string> GioWorkspace::locate(const std::string& appId) {
    const GlibCall call;
    if (auto entry = findEntry(appId))
        return std::move(entry->path);
    return std::nullopt;
}

void GioWorkspace::launch(const std::string& location, bool /*activate*/,
                          std::function<void(LaunchResult)> completion) {
    LaunchResult result = [&]() -> LaunchResult {
        const GlibCall call;
        // Before GIO takes GLib's shared connection for its launch notice: it must be one that
        // does not end the process when the bus goes away.
        bus_->get();
        const GObjectPtr<GDesktopAppInfo> app(
            isRegularFile(location) ? g_desktop_app_info_new_from_filename(location.c_str())
                                    : nullptr);
        if (!app)
            return unusableEntry(location);
        // A background start has no token to pass on; an activating one none from the desktop.
        return start(app.get(), nullptr, {});
    }();
    remember(location, result);
    completion(std::move(result));
}

void GioWorkspace::openURL(const std::string& url, const std::optional<std::string>& location,
                           const std::string& activationToken) {
    const GlibCall call;
    bus_->get(); // as for launch()
    GObjectPtr<GAppInfo> app;
    if (location) {
        if (isRegularFile(*location))
            app.reset(G_APP_INFO(g_desktop_app_info_new_from_filename(location->c_str())));
    } else if (const char* scheme = g_uri_peek_scheme(url.c_str())) {
        app.reset(g_app_info_get_default_for_uri_scheme(scheme));
    }
    if (!app)
        return;
    GList uris{};
    uris.data = const_cast<char*>(url.c_str());
    // Opening the main application from the menu brings it forward.
    if (G_IS_DESKTOP_APP_INFO(app.get())) {
        const auto result = start(G_DESKTOP_APP_INFO(app.get()), &uris, activationToken);
        if (location)
            remember(*location, result);
    } else
        g_app_info_launch_uris(app.get(), &uris, launchContext(activationToken).get(), nullptr);
}

} // namespace sollun::helper
