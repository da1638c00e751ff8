#pragma once

#include "shared/Instant.h"
#include "shared/Rfc3339.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

// The documents' text and typed access to their members, shared by every reader of a JSON file.
// The accessors of nlohmann::json throw on a type mismatch; these check the type first and report
// a mismatch as an invalid field, so a reader never throws and rejects a mistyped document whole.
namespace sollun::json_fields {

// One member as read: `valid` is false when the member is present with the wrong type, and
// `value` is empty when it is missing or JSON null (which the files treat alike).
template <typename T>
struct Field {
    bool valid = true;
    std::optional<T> value;
};

template <typename T>
constexpr Field<T> invalid() {
    return {false, std::nullopt};
}

// The document itself: nothing unless the text is exactly one JSON value, with nothing but
// whitespace after it.
inline std::optional<nlohmann::json> parseValue(std::string_view text) {
    // The parser takes a NUL byte for the end of its input and would accept whatever follows one.
    // No valid document holds a NUL (a string must escape it), so one anywhere spoils the text.
    if (text.find('\0') != std::string_view::npos) {
        return std::nullopt;
    }
    auto document = nlohmann::json::parse(text.begin(), text.end(), nullptr, false);
    if (document.is_discarded()) {
        return std::nullopt;
    }
    return document;
}

// The same, for documents that must be one JSON object.
inline std::optional<nlohmann::json> parseObject(std::string_view text) {
    auto document = parseValue(text);
    if (!document || !document->is_object()) {
        return std::nullopt;
    }
    return document;
}

inline const nlohmann::json* member(const nlohmann::json& object, const char* key) {
    const auto found = object.find(key);
    return found == object.end() || found->is_null() ? nullptr : &*found;
}

inline Field<std::string> stringField(const nlohmann::json& object, const char* key) {
    const auto* value = member(object, key);
    if (value == nullptr) {
        return {};
    }
    const auto* text = value->get_ptr<const nlohmann::json::string_t*>();
    if (text == nullptr) {
        return invalid<std::string>();
    }
    return {true, *text};
}

// A JSON integer that fits int64. The parser stores non-negative integers as unsigned, so those
// above INT64_MAX are refused here; 42.0 and 4.2e1 are floats and refused as well.
inline Field<std::int64_t> integerField(const nlohmann::json& object, const char* key) {
    const auto* value = member(object, key);
    if (value == nullptr) {
        return {};
    }
    // Unsigned first: get_ptr for number_integer_t also answers for unsigned values.
    if (const auto* natural = value->get_ptr<const nlohmann::json::number_unsigned_t*>()) {
        if (*natural > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            return invalid<std::int64_t>();
        }
        return {true, static_cast<std::int64_t>(*natural)};
    }
    if (const auto* integer = value->get_ptr<const nlohmann::json::number_integer_t*>()) {
        return {true, static_cast<std::int64_t>(*integer)};
    }
    return invalid<std::int64_t>();
}

inline Field<Instant> instantField(const nlohmann::json& object, const char* key) {
    const auto text = stringField(object, key);
    if (!text.valid) {
        return invalid<Instant>();
    }
    if (!text.value) {
        return {};
    }
    const auto instant = rfc3339::parse(*text.value);
    if (!instant) {
        return invalid<Instant>();
    }
    return {true, instant};
}

// Compact text; invalid UTF-8 in a string is replaced rather than thrown about.
inline std::string dumpCompact(const nlohmann::ordered_json& document) {
    return document.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

} // namespace sollun::json_fields
