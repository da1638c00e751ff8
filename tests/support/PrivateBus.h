#pragma once

#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"

#include <filesystem>
#include <map>
#include <memory>
#include <string>

namespace sollun::test {

// A dbus-daemon of the test's own, configured like a system bus, with activatable services of
// the test's choosing. The bus inherits the test's environment, and so do the services it starts.
// It can be killed and started again on the same socket, as a system bus restarted under its
// clients.
class PrivateBus {
public:
    enum class Policy {
        open,   // everyone may own and call anything
        system, // the usual system bus defaults plus the policy files given
    };

    struct Options {
        Policy policy = Policy::open;
        std::vector<std::filesystem::path> policyFiles;
        // activation file name -> contents
        std::map<std::string, std::string> services;
    };

    explicit PrivateBus(const Options& options);

    // The address the running bus printed, with its guid.
    const std::string& address() const { return address_; }
    // The socket alone, without the guid: each start of the bus has a guid of its own, and a
    // client that was given one refuses a bus with another.
    std::string socketAddress() const;
    const std::filesystem::path& directory() const { return dir_.path(); }

    // Kills the bus (SIGKILL) and waits for it to end. Its clients see their connections end.
    void kill();
    // Kills the bus if it runs, then starts a new one with the same configuration and socket.
    // Throws std::runtime_error when it does not start.
    void restart();

private:
    void start();

    TempDir dir_;
    std::string address_;
    std::unique_ptr<BackgroundProcess> daemon_;
};

// An activation file that starts `executable` for `name`.
std::string activationFile(const std::string& name, const std::filesystem::path& executable);

} // namespace sollun::test
