#include "tests/support/PrivateBus.h"

#include <stdexcept>

namespace sollun::test {
namespace {

// A system bus's defaults: the bus driver, signals, and replies to what one asked.
constexpr const char* systemDefaults = R"(<policy context="default">
  <allow user="*"/> <deny own="*"/> <deny send_type="method_call"/> <allow send_type="signal"/>
  <allow send_requested_reply="true" send_type="method_return"/>
  <allow send_requested_reply="true" send_type="error"/>
  <allow receive_type="method_call"/> <allow receive_type="method_return"/>
  <allow receive_type="error"/> <allow receive_type="signal"/>
  <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus"/>
  <allow send_destination="org.freedesktop.DBus"
         send_interface="org.freedesktop.DBus.Introspectable"/>
  <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus.Properties"/>
</policy>
)";

constexpr const char* openPolicy = R"(<policy context="default">
  <allow user="*"/> <allow own="*"/> <allow send_type="method_call"/>
  <allow send_destination="*" eavesdrop="true"/> <allow eavesdrop="true"/>
</policy>
)";

} // namespace

std::string activationFile(const std::string& name, const std::filesystem::path& executable) {
    return "[D-BUS Service]\nName=" + name + "\nExec=" + executable.string() + "\nUser=root\n";
}

PrivateBus::PrivateBus(const Options& options) {
    // Clients running as other users must reach the socket.
    using enum std::filesystem::perms;
    std::filesystem::permissions(dir_.path(), owner_all | group_exec | others_exec);
    const auto services = dir_ / "services";
    std::filesystem::create_directory(services);
    for (const auto& [file, contents] : options.services)
        writeFile(services / file, contents);

    std::string config = "<busconfig>\n<type>" +
                         std::string(options.session ? "session" : "system") +
                         "</type>\n<auth>EXTERNAL</auth>\n<listen>" + socketAddress() +
                         "</listen>\n<servicedir>" + services.string() + "</servicedir>\n" +
                         (options.policy == Policy::open ? openPolicy : systemDefaults);
    for (const auto& file : options.policyFiles)
        config += "<include>" + file.string() + "</include>\n";
    config += "</busconfig>\n";
    writeFile(dir_ / "bus.conf", config);
    restart();
}

ProcessResult PrivateBus::busctl(std::vector<std::string> arguments) const {
    arguments.insert(arguments.begin(), {"busctl", "--timeout=10", "--address=" + address_});
    return runProcess(arguments);
}

bool PrivateBus::waitForName(const std::string& name) const {
    return runProcess({"gdbus", "wait", "--address", address_, "--timeout", "10", name}).exitCode ==
           0;
}

void PrivateBus::reload() const {
    busctl({"call", "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
            "ReloadConfig"});
}

std::unique_ptr<BackgroundProcess>
startSystemMock(const PrivateBus& bus, const std::string& templateName, const std::string& name) {
    auto mock = std::make_unique<BackgroundProcess>(
        std::vector<std::string>{"setpriv", "--pdeathsig=KILL", "/usr/bin/python3", "-m",
                                 "dbusmock", "--system", "-t", templateName});
    return bus.waitForName(name) ? std::move(mock) : nullptr;
}

void PrivateBus::restart() {
    kill();
    // A killed bus leaves its socket behind.
    std::filesystem::remove(dir_ / "bus");
    // The bus dies with the test, even a crashed one, and its services with it.
    daemon_ = std::make_unique<BackgroundProcess>(
        std::vector<std::string>{"setpriv", "--pdeathsig=KILL", "dbus-daemon",
                                 "--config-file=" + (dir_ / "bus.conf").string(), "--nofork",
                                 "--nopidfile", "--print-address=3"},
        3);
    address_ = daemon_->readLine();
    if (address_.empty())
        throw std::runtime_error("dbus-daemon did not start");
}

} // namespace sollun::test
