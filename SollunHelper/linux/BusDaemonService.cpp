#include "SollunHelper/linux/BusDaemonService.h"

#include "platform/Installation.h"
#include "shared/WakeDaemonProtocol.h"

#include <spawn.h>
#include <sys/epoll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

extern char** environ;

namespace sollun::helper {
namespace {

// The registration is asked about on the main loop, synchronously: a bus that does not answer
// must not stall the helper for long.
constexpr std::uint64_t busCallTimeoutUsec = 2'000'000;

constexpr const char* installerName = "sollun-wakedaemon-install";

} // namespace

BusDaemonService::Setup BusDaemonService::shipped() {
    const auto prefix = platform::installPrefix().value_or(std::filesystem::path());
    const auto installer = prefix / "libexec" / "sollun-helper" / installerName;
    return {wake_daemon_protocol::busName,
            prefix / "share" / "sollun-helper" / "wakedaemon",
            {"pkexec", installer.string()}};
}

BusDaemonService::BusDaemonService(platform::EventLoop& loop, Setup setup)
    : loop_(loop)
    , setup_(std::move(setup)) {}

BusDaemonService::~BusDaemonService() {
    approvalWatch_.reset();
    if (approvalPidfd_ >= 0)
        close(approvalPidfd_);
    sd_bus_flush_close_unref(bus_);
}

bool BusDaemonService::definitionPresent() const {
    std::error_code error;
    return std::filesystem::is_regular_file(setup_.definition / (setup_.serviceName + ".service"),
                                            error);
}

bool BusDaemonService::nameIsAvailable() {
    // The connection is not watched between questions, so a bus that went away meanwhile (the
    // system bus restarted) shows only when it is asked: then the question goes once more to a
    // fresh connection, instead of reporting the daemon gone.
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (bus_ != nullptr && sd_bus_is_open(bus_) <= 0)
            bus_ = sd_bus_flush_close_unref(bus_);
        if (bus_ == nullptr) {
            if (setup_.openBus(&bus_) < 0) {
                bus_ = nullptr;
                return false;
            }
            sd_bus_set_method_call_timeout(bus_, busCallTimeoutUsec);
        }
        if (const bool available = askWhetherAvailable(); available || sd_bus_is_open(bus_) > 0)
            return available;
    }
    return false;
}

bool BusDaemonService::askWhetherAvailable() {
    bool available = false;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    int hasOwner = 0;
    if (sd_bus_call_method(bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                           "org.freedesktop.DBus", "NameHasOwner", &error, &reply, "s",
                           setup_.serviceName.c_str()) >= 0 &&
        sd_bus_message_read(reply, "b", &hasOwner) >= 0 && hasOwner)
        available = true;
    reply = sd_bus_message_unref(reply);
    sd_bus_error_free(&error);

    if (!available &&
        sd_bus_call_method(bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                           "org.freedesktop.DBus", "ListActivatableNames", &error, &reply,
                           "") >= 0 &&
        sd_bus_message_enter_container(reply, 'a', "s") >= 0) {
        const char* name = nullptr;
        while (!available && sd_bus_message_read(reply, "s", &name) > 0)
            available = setup_.serviceName == name;
    }
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);

    // Nothing else is expected on this connection; drop whatever the bus sent meanwhile.
    while (sd_bus_process(bus_, nullptr) > 0) {
    }
    return available;
}

std::int64_t BusDaemonService::status() {
    if (nameIsAvailable()) {
        pending_ = false;
        return serviceEnabled;
    }
    if (pending_)
        return serviceRequiresApproval;
    return definitionPresent() ? serviceNotRegistered : serviceNotFound;
}

std::optional<std::string> BusDaemonService::registerService() {
    if (!definitionPresent())
        return "The wake daemon's definition is missing from " + setup_.definition.string();
    pending_ = true;
    return std::nullopt;
}

void BusDaemonService::requestApproval() {
    if (approvalPid_ > 0 || setup_.approvalCommand.empty())
        return; // one at a time
    std::vector<char*> argv;
    for (auto& arg : setup_.approvalCommand)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
        return;
    approvalPid_ = pid;
    // Through syscall(): this glibc's <sys/pidfd.h> lacks C linkage for C++. Pidfds are always
    // close-on-exec.
    approvalPidfd_ = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (approvalPidfd_ < 0) {
        approvalEnded(); // cannot watch it: wait for it here
        return;
    }
    approvalWatch_ = loop_.watchFd(approvalPidfd_, EPOLLIN, [this](std::uint32_t) {
        approvalWatch_.reset();
        close(approvalPidfd_);
        approvalPidfd_ = -1;
        approvalEnded();
    });
}

void BusDaemonService::approvalEnded() {
    int status = 0;
    while (waitpid(approvalPid_, &status, 0) < 0 && errno == EINTR) {
    }
    approvalPid_ = -1;
    if (approvalFinished_)
        approvalFinished_(WIFEXITED(status) ? WEXITSTATUS(status) : -1);
}

void BusDaemonService::setApprovalFinishedHandler(std::function<void(int)> handler) {
    approvalFinished_ = std::move(handler);
}

} // namespace sollun::helper
