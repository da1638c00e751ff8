#pragma once

// What the helper asks of the desktop about the main application: whether it runs, where it is
// installed, starting it, and opening URLs.

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <variant>

namespace sollun::helper {

class Workspace {
public:
    virtual ~Workspace() = default;

    // Whether at least one process of the application `appId` runs for this user, however it
    // was started.
    virtual bool isRunning(const std::string& appId) = 0;

    // Where the application `appId` is installed (its desktop entry's file), or nothing.
    virtual std::optional<std::string> locate(const std::string& appId) = 0;

    // Starts the application installed at `location`, in the background unless `activate`.
    // `completion` gets the new process's id (-1 when the platform gives none) or the error's
    // description; it may be called before launch() returns.
    using LaunchResult = std::variant<pid_t, std::string>;
    virtual void launch(const std::string& location, bool activate,
                        std::function<void(LaunchResult)> completion) = 0;

    // Opens `url` with the application installed at `location`, or with the default handler of
    // its scheme when there is no location. The outcome is not reported.
    virtual void openURL(const std::string& url, const std::optional<std::string>& location) = 0;
};

} // namespace sollun::helper
