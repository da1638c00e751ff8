#pragma once

// Logging with a subsystem and a category per logger, two levels, and message formats that stay
// in the code as they are logged elsewhere:
//
//     "Failed to open container for watching: %{public}s"
//
// A conversion is %s (text), %d (integer) or %f (floating point, six decimals), optionally marked
// {public}; %% is a percent sign. The marker is not rendered. The format is checked against the
// arguments when the program is compiled.
//
// Each component keeps its logger in a function-local static, which C++ creates once, on first
// use:
//
//     const Logger& log() {
//         static const Logger logger("com.kestrovane.sollun.helper", "watcher");
//         return logger;
//     }
//
// Records go to the journal when its socket exists, else to standard error as one line each;
// tests install a MemoryLogSink. Logging happens on the programs' one thread.

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace sollun::platform {

enum class LogLevel { info, error };

struct LogRecord {
    LogLevel level;
    std::string_view subsystem;
    std::string_view category;
    std::string_view message;
};

class LogSink {
public:
    virtual ~LogSink() = default;
    virtual void write(const LogRecord& record) = 0;
};

// Replaces where records go; nullptr restores the default (journal or standard error). The sink
// must outlive its installation.
void setLogSink(LogSink* sink);

// Keeps every record, for tests.
class MemoryLogSink final : public LogSink {
public:
    struct Entry {
        LogLevel level;
        std::string subsystem;
        std::string category;
        std::string message;
        bool operator==(const Entry&) const = default;
    };

    void write(const LogRecord& record) override;
    std::vector<Entry> entries() const;

private:
    std::vector<Entry> entries_;
};

// Installs a MemoryLogSink for the lifetime of the guard.
class ScopedMemoryLog {
public:
    ScopedMemoryLog() { setLogSink(&sink_); }
    ~ScopedMemoryLog() { setLogSink(nullptr); }
    ScopedMemoryLog(const ScopedMemoryLog&) = delete;
    ScopedMemoryLog& operator=(const ScopedMemoryLog&) = delete;
    MemoryLogSink& operator*() { return sink_; }
    MemoryLogSink* operator->() { return &sink_; }

private:
    MemoryLogSink sink_;
};

namespace detail {

struct LogArg {
    enum class Kind { text, integer, floating } kind;
    std::string_view text{};
    std::int64_t integer = 0;
    double floating = 0;
};

template <class T>
constexpr char conversionFor() {
    using U = std::remove_cvref_t<T>;
    if constexpr (std::is_same_v<U, bool>)
        return '?';
    else if constexpr (std::is_integral_v<U>)
        return 'd';
    else if constexpr (std::is_floating_point_v<U>)
        return 'f';
    else if constexpr (std::is_convertible_v<const U&, std::string_view>)
        return 's';
    else
        return '?';
}

template <class T>
LogArg makeArg(const T& value) {
    if constexpr (conversionFor<T>() == 'd')
        return {LogArg::Kind::integer, {}, static_cast<std::int64_t>(value)};
    else if constexpr (conversionFor<T>() == 'f')
        return {LogArg::Kind::floating, {}, 0, static_cast<double>(value)};
    else
        return {LogArg::Kind::text, std::string_view(value)};
}

// Reached only when a format does not fit its arguments; being non-constexpr, it stops the
// compilation there.
void logFormatDoesNotMatchArguments();

// Walks the conversions of `format`; calls `visit(conversion)` for each, and returns false on a
// malformed one.
template <class Visit>
constexpr bool forEachConversion(std::string_view format, Visit visit) {
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format[i] != '%')
            continue;
        if (++i == format.size())
            return false;
        if (format[i] == '%')
            continue;
        if (format.substr(i).starts_with("{public}"))
            i += 8;
        if (i == format.size() || (format[i] != 's' && format[i] != 'd' && format[i] != 'f'))
            return false;
        visit(format[i]);
    }
    return true;
}

} // namespace detail

// A format string whose conversions were checked against Args at compile time.
template <class... Args>
class LogFormat {
public:
    template <class S>
    requires std::convertible_to<const S&, std::string_view>
    consteval LogFormat(const S& text)
        : text_(text) {
        constexpr char expected[] = {detail::conversionFor<Args>()..., '\0'};
        std::size_t count = 0;
        bool matches = true;
        const bool wellFormed = detail::forEachConversion(text_, [&](char conversion) {
            matches = matches && count < sizeof...(Args) && expected[count] == conversion;
            ++count;
        });
        if (!wellFormed || !matches || count != sizeof...(Args))
            detail::logFormatDoesNotMatchArguments();
    }
    constexpr std::string_view text() const { return text_; }

private:
    std::string_view text_;
};

// Renders a checked format without its markers.
std::string renderLogMessage(std::string_view format, std::span<const detail::LogArg> args);

class Logger {
public:
    constexpr Logger(std::string_view subsystem, std::string_view category)
        : subsystem_(subsystem)
        , category_(category) {}

    template <class... Args>
    void info(LogFormat<std::type_identity_t<Args>...> format, const Args&... args) const {
        emit(LogLevel::info, format.text(), args...);
    }
    template <class... Args>
    void error(LogFormat<std::type_identity_t<Args>...> format, const Args&... args) const {
        emit(LogLevel::error, format.text(), args...);
    }

private:
    template <class... Args>
    void emit(LogLevel level, std::string_view format, const Args&... args) const {
        const detail::LogArg packed[sizeof...(Args) + 1] = {detail::makeArg(args)...};
        write(level, format, std::span(packed, sizeof...(Args)));
    }
    void write(LogLevel level, std::string_view format, std::span<const detail::LogArg> args) const;

    std::string_view subsystem_;
    std::string_view category_;
};

} // namespace sollun::platform
