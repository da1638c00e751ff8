#include "tests/support/PrivateBus.h"

#include <filesystem>
#include <stdexcept>

namespace sollun::test {
namespace {

// What a system bus allows everyone by default: talking to the bus driver, signals, and replies
// to what one asked.
constexpr const char* systemDefaults = R"(
  <policy context="default">
    <allow user="*"/>
    <deny own="*"/>
    <deny send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_requested_reply="true" send_type="method_return"/>
    <allow send_requested_reply="true" send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
    <allow receive_type="signal"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus"/>
    <allow send_destination="org.freedesktop.DBus"
           send_interface="org.freedesktop.DBus.Introspectable"/>
    <allow send_destination="org.freedesktop.DBus"
           send_interface="org.freedesktop.DBus.Properties"/>
  </policy>
)";

constexpr const char* openPolicy = R"(
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_type="method_call"/>
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
  </policy>
)";

} // namespace

std::string activationFile(const std::string& name, const std::filesystem::path& executable) {
    return "[D-BUS Service]\nName=" + name + "\nExec=" + executable.string() + "\nUser=root\n";
}

PrivateBus::PrivateBus(const Options& options) {
    // Callers running as other users must reach the socket.
    std::filesystem::permissions(dir_.path(), std::filesystem::perms::owner_all |
                                                  std::filesystem::perms::group_exec |
                                                  std::filesystem::perms::others_exec);
    const auto services = dir_ / "services";
    std::filesystem::create_directory(services);
    for (const auto& [file, contents] : options.services)
        writeFile(services / file, contents);

    std::string config =
        R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=)" +
        (dir_ / "bus").string() +
        R"(</listen>
  <auth>EXTERNAL</auth>
  <servicedir>)" +
        services.string() + "</servicedir>\n";
    config += options.policy == Policy::open ? openPolicy : systemDefaults;
    for (const auto& file : options.policyFiles)
        config += "  <include>" + file.string() + "</include>\n";
    config += "</busconfig>\n";
    writeFile(dir_ / "bus.conf", config);
    start();
}

std::string PrivateBus::socketAddress() const {
    return "unix:path=" + (dir_ / "bus").string();
}

void PrivateBus::kill() {
    daemon_.reset();
    address_.clear();
}

void PrivateBus::restart() {
    kill();
    // A killed bus leaves its socket file behind; the new one binds afresh.
    std::error_code ignored;
    std::filesystem::remove(dir_ / "bus", ignored);
    start();
}

void PrivateBus::start() {
    // The bus dies with the test, even one that crashes, and the services it started end when
    // their bus goes: nothing is left holding the test runner's output open.
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
