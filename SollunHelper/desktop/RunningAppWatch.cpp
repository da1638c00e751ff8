#include "SollunHelper/desktop/RunningAppWatch.h"

#include <sys/epoll.h>
#include <sys/inotify.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <utility>
#include <vector>

namespace sollun::helper {
namespace {

using namespace std::chrono_literals;

// After the program was opened, the first scan waits this long for the exec to be done, and
// the second this long after the first, for an exec that took longer.
constexpr auto firstScanDelay = 100ms;
constexpr auto secondScanDelay = 1s;
constexpr auto recheckInterval = 1s;
// Processes of the application beyond these are not followed: one is enough to say it runs.
constexpr std::size_t followedLimit = 16;

constexpr std::uint32_t programEvents = IN_OPEN | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF;

int onMatchInstalled(sd_bus_message*, void*, sd_bus_error*) {
    // Handled, so that a failure does not close the connection; the name just goes unwatched.
    return 0;
}

} // namespace

RunningAppWatch::RunningAppWatch(platform::SdEventLoop& loop, platform::SharedBus& session,
                                 std::string appId, Lookup lookup, std::function<void()> changed)
    : loop_(loop)
    , appId_(std::move(appId))
    , lookup_(std::move(lookup))
    , changed_(std::move(changed)) {
    inotify_.reset(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (inotify_)
        inotifySource_ =
            loop_.watchFd(inotify_.get(), EPOLLIN, [this](std::uint32_t) { onProgramEvents(); });
    lookUp();
    scan();
    if (sd_bus_service_name_is_valid(appId_.c_str()) > 0 && appId_.front() != ':')
        session_ = session.follow([this](sd_bus* bus) { watchName(bus); },
                                  [this] {
                                      ownerQuery_.reset();
                                      ownerMatch_.reset();
                                  });
    reported_ = running();
}

void RunningAppWatch::report() {
    if (running() == reported_)
        return;
    reported_ = running();
    changed_();
}

void RunningAppWatch::recheck() {
    const auto now = std::chrono::steady_clock::now();
    if (pendingRecheck_ || (now - lastRecheck_ < recheckInterval && now >= lastRecheck_))
        return;
    lastRecheck_ = now;
    pendingRecheck_ = loop_.defer([this] {
        pendingRecheck_.reset();
        lookUp();
        scan();
    });
}

void RunningAppWatch::launched(const std::string& location, pid_t pid) {
    if (!entry_ || entry_->path != location)
        return;
    follow(pid, true);
    report();
}

// ---- The program ----

void RunningAppWatch::lookUp() {
    entry_ = lookup_();
    watchProgram();
}

void RunningAppWatch::watchProgram() {
    if (!inotify_)
        return;
    int watch = -1;
    if (entry_ && entry_->program)
        watch = inotify_add_watch(inotify_.get(), entry_->program->path.c_str(), programEvents);
    // The same file keeps its watch; another one's replaces it.
    if (programWatch_ >= 0 && programWatch_ != watch)
        inotify_rm_watch(inotify_.get(), programWatch_);
    programWatch_ = std::max(watch, -1);
}

void RunningAppWatch::onProgramEvents() {
    alignas(inotify_event) char buffer[4096];
    bool opened = false;
    bool replaced = false;
    ssize_t length = 0;
    while ((length = read(inotify_.get(), buffer, sizeof buffer)) > 0) {
        for (const char* at = buffer; at < buffer + length;) {
            const auto* event = reinterpret_cast<const inotify_event*>(at);
            at += sizeof(inotify_event) + event->len;
            if ((event->mask & IN_Q_OVERFLOW) != 0) {
                opened = replaced = true;
                continue;
            }
            // A watch given up earlier reports its end; only the current one counts.
            if (event->wd != programWatch_)
                continue;
            if ((event->mask & IN_IGNORED) != 0)
                programWatch_ = -1;
            opened = opened || (event->mask & IN_OPEN) != 0;
            replaced = replaced || (event->mask & ((programEvents & ~IN_OPEN) | IN_IGNORED)) != 0;
        }
    }
    // Reading the entry opens a script, which comes back here as an open: that only scans.
    if (replaced)
        lookUp();
    if (opened || replaced)
        scanSoon();
}

// ---- Processes ----

void RunningAppWatch::scanSoon() {
    scansLeft_ = 2;
    if (!scanTimer_)
        scanTimer_ = loop_.addOneShotTimer(firstScanDelay, [this] { onScanTimer(); });
}

void RunningAppWatch::onScanTimer() {
    scanTimer_.reset();
    scan();
    if (--scansLeft_ > 0)
        scanTimer_ = loop_.addOneShotTimer(secondScanDelay, [this] { onScanTimer(); });
}

void RunningAppWatch::scan() {
    std::vector<pid_t> found;
    if (entry_ && entry_->program)
        found = processesRunning(*entry_->program, followedLimit);
    // A process found earlier that no longer runs the program (it ran another) stops counting;
    // one launched from here counts until it ends, whatever it runs yet.
    for (auto it = processes_.begin(); it != processes_.end();) {
        if (it->second.launchedHere ||
            std::find(found.begin(), found.end(), it->first) != found.end()) {
            ++it;
            continue;
        }
        it = processes_.erase(it);
    }
    for (const pid_t pid : found)
        follow(pid, false);
    report();
}

void RunningAppWatch::follow(pid_t pid, bool launchedHere) {
    if (const auto known = processes_.find(pid); known != processes_.end()) {
        known->second.launchedHere = known->second.launchedHere || launchedHere;
        return;
    }
    if (processes_.size() >= followedLimit)
        return;
    // Fails only for a process that has ended (or a kernel without pidfds, where the process then
    // counts once a scan finds it running).
    platform::Fd pidfd(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
    if (!pidfd)
        return;
    auto end = loop_.watchFd(pidfd.get(), EPOLLIN, [this, pid](std::uint32_t) { forget(pid); });
    processes_.emplace(pid, Process{std::move(pidfd), launchedHere, std::move(end)});
}

void RunningAppWatch::forget(pid_t pid) {
    // Its watch goes, from inside its own callback, before the descriptor it watches.
    if (processes_.erase(pid) == 0)
        return;
    report();
}

// ---- The bus name ----

void RunningAppWatch::watchName(sd_bus* bus) {
    const std::string rule =
        "type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',"
        "interface='org.freedesktop.DBus',member='NameOwnerChanged',arg0='" +
        appId_ + "'";
    // The rule goes first: a change after the question is then announced.
    if (sd_bus_add_match_async(bus, platform::out(ownerMatch_), rule.c_str(),
                               &RunningAppWatch::onOwnerChanged, onMatchInstalled, this) < 0 ||
        sd_bus_call_method_async(bus, platform::out(ownerQuery_), "org.freedesktop.DBus",
                                 "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner",
                                 &RunningAppWatch::onOwnerAnswer, this, "s", appId_.c_str()) < 0) {
        ownerQuery_.reset();
        ownerMatch_.reset();
    }
}

int RunningAppWatch::onOwnerChanged(sd_bus_message* message, void* userdata, sd_bus_error*) {
    auto& self = *static_cast<RunningAppWatch*>(userdata);
    const char* name = nullptr;
    const char* oldOwner = nullptr;
    const char* newOwner = nullptr;
    if (sd_bus_message_read(message, "sss", &name, &oldOwner, &newOwner) < 0 || name != self.appId_)
        return 0;
    self.nameOwned_ = newOwner[0] != '\0';
    self.report();
    return 0;
}

int RunningAppWatch::onOwnerAnswer(sd_bus_message* message, void* userdata, sd_bus_error*) {
    auto& self = *static_cast<RunningAppWatch*>(userdata);
    self.ownerQuery_.reset();
    int owned = 0;
    if (sd_bus_message_is_method_error(message, nullptr) ||
        sd_bus_message_read(message, "b", &owned) < 0)
        return 0;
    self.nameOwned_ = owned != 0;
    self.report();
    return 0;
}

} // namespace sollun::helper
