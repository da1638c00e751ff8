#pragma once

// A desktop, a wake observer and a sleep inhibitor whose answers the test sets, and which keep
// what was asked of them, for building a coordinator from fakes.

#include "SollunHelper/SleepInhibitor.h"
#include "SollunHelper/SystemWakeObserver.h"
#include "SollunHelper/Workspace.h"

#include <algorithm>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace sollun::test {

struct FakeWorkspace final : helper::Workspace {
    bool isRunning(const std::string&) override { return running; }
    // Reads `running` as it is; setRunning() tells it.
    struct Watch final : RunningWatch {
        Watch(FakeWorkspace& o, std::function<void()> c)
            : owner(o)
            , changed(std::move(c)) {}
        ~Watch() override { std::erase(owner.watches, this); }
        bool running() const override { return owner.running; }
        void recheck() override { ++owner.rechecks; }
        FakeWorkspace& owner;
        std::function<void()> changed;
    };
    std::unique_ptr<RunningWatch> watchRunning(const std::string&,
                                               std::function<void()> changed) override {
        auto watch = std::make_unique<Watch>(*this, std::move(changed));
        watches.push_back(watch.get());
        return watch;
    }
    void setRunning(bool value) {
        running = value;
        for (auto* watch : std::vector(watches))
            watch->changed();
    }
    std::optional<std::string> locate(const std::string& appId) override {
        return installed ? std::optional("/apps/" + appId + ".desktop") : std::nullopt;
    }
    void launch(const std::string& location, bool activate,
                std::function<void(LaunchResult)> completion) override {
        launches.push_back(location + (activate ? " activate" : " background"));
        completion(outcome);
    }
    void openURL(const std::string& url, const std::optional<std::string>&,
                 const std::string& activationToken) override {
        urls.push_back(url);
        tokens.push_back(activationToken);
    }

    bool running = false;
    bool installed = true;
    LaunchResult outcome = pid_t{42};
    std::vector<std::string> launches;
    std::vector<std::string> urls;
    std::vector<std::string> tokens;
    std::vector<Watch*> watches;
    int rechecks = 0;
};

struct FakeSystemWake final : helper::SystemWakeObserver {
    struct Registration final : Token {
        explicit Registration(FakeSystemWake& o)
            : owner(o) {}
        ~Registration() override { owner.handler = nullptr; }
        FakeSystemWake& owner;
    };
    std::unique_ptr<Token> observeDidWake(std::function<void()> h) override {
        handler = std::move(h);
        return std::make_unique<Registration>(*this);
    }
    std::function<void()> handler;
};

// Its locks are held (or refused) when the test answers them.
struct FakeSleepInhibitor final : helper::SleepInhibitor {
    struct Held final : Lock {
        Held(FakeSleepInhibitor& o, std::string r, Answer a)
            : owner(o)
            , reason(std::move(r))
            , answer(std::move(a)) {}
        ~Held() override { std::erase(owner.locks, this); }
        FakeSleepInhibitor& owner;
        std::string reason;
        Answer answer;
    };
    std::unique_ptr<Lock> inhibit(const std::string& reason, Answer answer) override {
        auto lock = std::make_unique<Held>(*this, reason, std::move(answer));
        locks.push_back(lock.get());
        ++asked;
        return lock;
    }
    // Every lock not answered yet is held, or refused with `refusal`.
    void answer(const std::optional<std::string>& refusal = std::nullopt) {
        for (auto* lock : std::vector(locks))
            if (std::ranges::count(locks, lock) != 0 && lock->answer)
                std::exchange(lock->answer, nullptr)(refusal);
    }
    std::vector<std::string> reasons() const {
        std::vector<std::string> live;
        for (const auto* lock : locks)
            live.push_back(lock->reason);
        return live;
    }
    std::vector<Held*> locks;
    int asked = 0;
};

} // namespace sollun::test
