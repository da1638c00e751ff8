#pragma once

// What the helper asks of the desktop about the main application: whether it runs, where it is
// installed, starting it, and opening URLs; and, for what the menu shows, word of when it starts
// or ends.

#include <sys/types.h>

#include <functional>
#include <memory>
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

    // Whether the application runs, kept current from the desktop's own notices (a process's
    // start and end, a bus name's owner) rather than looked up at each read.
    class RunningWatch {
    public:
        virtual ~RunningWatch() = default;
        // What the watch last found: cheap, and never waits.
        virtual bool running() const = 0;
        // Looks again, soon and in the background, for what no notice covers; a change is told
        // the usual way. Calls close together look once.
        virtual void recheck() = 0;
    };
    // Watches `appId` until the watch is destroyed; `changed` is called on the loop whenever
    // running() changes. Nothing when the platform cannot watch.
    virtual std::unique_ptr<RunningWatch> watchRunning(const std::string& appId,
                                                       std::function<void()> changed) = 0;

    // Where the application `appId` is installed (its desktop entry's file), or nothing.
    virtual std::optional<std::string> locate(const std::string& appId) = 0;

    // Starts the application installed at `location`, in the background unless `activate`.
    // `completion` gets the new process's id (-1 when the platform gives none) or the error's
    // description; it may be called before launch() returns.
    using LaunchResult = std::variant<pid_t, std::string>;
    virtual void launch(const std::string& location, bool activate,
                        std::function<void(LaunchResult)> completion) = 0;

    // Opens `url` with the application installed at `location`, or with the default handler of
    // its scheme when there is no location, bringing it to the front. `activationToken` is what
    // the desktop gave for raising its window ("" when it gave none); it is used for this opening
    // only. The outcome is not reported.
    virtual void openURL(const std::string& url, const std::optional<std::string>& location,
                         const std::string& activationToken) = 0;
};

} // namespace sollun::helper
