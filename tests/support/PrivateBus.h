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

    const std::string& address() const { return address_; }
    const std::filesystem::path& directory() const { return dir_.path(); }

private:
    TempDir dir_;
    std::string address_;
    std::unique_ptr<BackgroundProcess> daemon_;
};

// An activation file that starts `executable` for `name`.
std::string activationFile(const std::string& name, const std::filesystem::path& executable);

} // namespace sollun::test
