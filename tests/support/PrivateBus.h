#pragma once

#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"

#include <map>
#include <memory>

namespace sollun::test {

// A dbus-daemon configured as a system bus (or a session bus), with activatable services of the
// test's choosing. It and the services it starts inherit the test's environment.
class PrivateBus {
public:
    // open: anyone may own and call anything; system: a system bus's defaults and policyFiles.
    enum class Policy { open, system };

    struct Options {
        Policy policy = Policy::open;
        std::vector<std::filesystem::path> policyFiles;
        std::map<std::string, std::string> services; // activation file name -> contents
        // A session bus: the services it starts find it as their session bus.
        bool session = false;
    };

    explicit PrivateBus(const Options& options);

    // With the guid of this start.
    const std::string& address() const { return address_; }
    // Without a guid: a client given one refuses the same socket after a restart.
    std::string socketAddress() const { return "unix:path=" + (dir_ / "bus").string(); }
    const std::filesystem::path& directory() const { return dir_.path(); }
    // The bus daemon's process, while it runs.
    pid_t pid() const { return daemon_ ? daemon_->pid() : -1; }

    // busctl on this bus, each call waiting 10 s at most: `arguments` follow the address.
    ProcessResult busctl(std::vector<std::string> arguments) const;
    // Whether `name` has an owner, waiting 10 s at most.
    bool waitForName(const std::string& name) const;
    // Has the bus read its configuration and activation files again.
    void reload() const;

    // SIGKILL, as a crash: the clients' connections end.
    void kill() { daemon_.reset(); }
    // A new bus on the same socket and configuration; throws std::runtime_error on failure.
    void restart();

private:
    TempDir dir_;
    std::string address_;
    std::unique_ptr<BackgroundProcess> daemon_;
};

// python-dbusmock's stand-in for a system service, from its `templateName` ("logind",
// "polkitd"), on `bus`, which the environment names as the system bus; once it owns `name`.
// Nothing when it does not within 10 s. It dies with the test.
std::unique_ptr<BackgroundProcess>
startSystemMock(const PrivateBus& bus, const std::string& templateName, const std::string& name);

// An activation file that starts `executable` for `name`.
std::string activationFile(const std::string& name, const std::filesystem::path& executable);

} // namespace sollun::test
