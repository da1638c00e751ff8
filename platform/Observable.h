#pragma once

// Observable fields for the classes that hold user-visible state. Each such object keeps one
// ObservationRegistrar; each observable field reports its changes there under its own name.
// A field notifies only when a new value differs from the old one (pointers and handles compare
// by identity), unless it is declared with AlwaysNotify. Nothing is notified on reads.

#include <cstdint>
#include <functional>
#include <map>
#include <string_view>
#include <utility>

namespace sollun::platform {

class ObservationRegistrar {
public:
    using Observer = std::function<void(std::string_view field)>;

    // Ends the observation when destroyed.
    class [[nodiscard]] Subscription {
    public:
        Subscription() = default;
        Subscription(Subscription&& other) noexcept
            : registrar_(std::exchange(other.registrar_, nullptr))
            , id_(other.id_) {}
        Subscription& operator=(Subscription&& other) noexcept {
            if (this != &other) {
                reset();
                registrar_ = std::exchange(other.registrar_, nullptr);
                id_ = other.id_;
            }
            return *this;
        }
        ~Subscription() { reset(); }
        void reset() {
            if (registrar_ != nullptr)
                std::exchange(registrar_, nullptr)->observers_.erase(id_);
        }

    private:
        friend ObservationRegistrar;
        Subscription(ObservationRegistrar* registrar, std::uint64_t id)
            : registrar_(registrar)
            , id_(id) {}
        ObservationRegistrar* registrar_ = nullptr;
        std::uint64_t id_ = 0;
    };

    ObservationRegistrar() = default;
    ObservationRegistrar(const ObservationRegistrar&) = delete;
    ObservationRegistrar& operator=(const ObservationRegistrar&) = delete;

    Subscription observe(Observer observer) {
        observers_.emplace(++lastId_, std::move(observer));
        return {this, lastId_};
    }

    void didChange(std::string_view field) {
        // Observers may end their own or others' observations while being told.
        for (auto it = observers_.begin(); it != observers_.end();) {
            const auto id = it->first;
            auto observer = it->second;
            observer(field);
            it = observers_.upper_bound(id);
        }
    }

private:
    std::map<std::uint64_t, Observer> observers_;
    std::uint64_t lastId_ = 0;
};

enum class Notify { onChange, always };

template <class T, Notify policy = Notify::onChange>
class Observable {
public:
    Observable(ObservationRegistrar& registrar, std::string_view name, T initial = T{})
        : registrar_(registrar)
        , name_(name)
        , value_(std::move(initial)) {}
    Observable(const Observable&) = delete;
    Observable& operator=(const Observable&) = delete;

    const T& get() const { return value_; }

    // Returns whether observers were told.
    bool set(T value) {
        if constexpr (policy == Notify::onChange) {
            if (value_ == value)
                return false;
        }
        value_ = std::move(value);
        registrar_.didChange(name_);
        return true;
    }

private:
    ObservationRegistrar& registrar_;
    std::string_view name_;
    T value_;
};

} // namespace sollun::platform
