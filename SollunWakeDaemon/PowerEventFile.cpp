#include "SollunWakeDaemon/PowerEventFile.h"

#include "shared/JsonFields.h"
#include "shared/Rfc3339.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdint>
#include <limits>

namespace sollun::daemon {

namespace {

using Json = nlohmann::json;

// Far beyond any schedule's needs, far below what the stack could take.
constexpr std::size_t maximumNesting = 64;

bool isJsonSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

struct Layout {
    std::size_t nesting = 0;
    // The text of each value one level inside the outermost one; meaningful only when the text
    // turns out to be a valid array.
    std::vector<std::string_view> elements;
};

// One pass over the raw text that tracks strings and brackets only. It is run before the parser
// so that a pathologically deep document is refused before any of it is built.
Layout scan(std::string_view text) {
    Layout layout;
    std::size_t depth = 0;
    bool inString = false;
    bool escaped = false;
    std::size_t start = std::string_view::npos;
    const auto endElement = [&](std::size_t end) {
        if (start == std::string_view::npos) {
            return;
        }
        std::string_view element = text.substr(start, end - start);
        while (!element.empty() && isJsonSpace(element.back())) {
            element.remove_suffix(1);
        }
        layout.elements.push_back(element);
        start = std::string_view::npos;
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inString) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                inString = false;
            }
            continue;
        }
        if (isJsonSpace(c)) {
            continue;
        }
        const bool closesOrSeparates = c == ',' || c == ']' || c == '}';
        if (depth == 1 && start == std::string_view::npos && !closesOrSeparates) {
            start = i;
        }
        switch (c) {
        case '"':
            inString = true;
            break;
        case '[':
        case '{':
            layout.nesting = std::max(layout.nesting, ++depth);
            break;
        case ']':
        case '}':
            if (depth == 1) {
                endElement(i);
            }
            depth = depth > 0 ? depth - 1 : 0;
            break;
        case ',':
            if (depth == 1) {
                endElement(i);
            }
            break;
        default:
            break;
        }
    }
    return layout;
}

PowerValue toPowerValue(const Json& json, bool underTimeKey) {
    switch (json.type()) {
    case Json::value_t::boolean:
        return {json.get<bool>()};
    case Json::value_t::number_integer:
        return {json.get<std::int64_t>()};
    case Json::value_t::number_unsigned: {
        // The parser stores every non-negative integer as unsigned.
        const auto value = json.get<std::uint64_t>();
        if (value <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            return {static_cast<std::int64_t>(value)};
        }
        return {static_cast<double>(value)};
    }
    case Json::value_t::number_float:
        return {json.get<double>()};
    case Json::value_t::string: {
        const auto& text = json.get_ref<const std::string&>();
        if (underTimeKey) {
            if (auto instant = rfc3339::parse(text)) {
                return {*instant};
            }
        }
        return {text};
    }
    case Json::value_t::array: {
        PowerArray array;
        array.reserve(json.size());
        for (const auto& element : json) {
            array.push_back(toPowerValue(element, false));
        }
        return {std::move(array)};
    }
    case Json::value_t::object: {
        PowerDictionary dictionary;
        for (const auto& [key, value] : json.items()) {
            dictionary.emplace(key, toPowerValue(value, key == powerEventTimeKey));
        }
        return {std::move(dictionary)};
    }
    default:
        // Null; binary values and discarded ones never come out of the text parser.
        return {nullptr};
    }
}

Instant asStored(Instant instant) {
    return std::chrono::floor<std::chrono::microseconds>(instant);
}

} // namespace

std::optional<PowerEventDocument> parsePowerEventDocument(std::string_view text) {
    Layout layout = scan(text);
    if (layout.nesting > maximumNesting) {
        return std::nullopt;
    }
    const auto parsed = json_fields::parseValue(text);
    if (!parsed) {
        return std::nullopt;
    }
    const Json& json = *parsed;
    PowerEventDocument document;
    if (!json.is_array()) {
        document.other = toPowerValue(json, false);
        return document;
    }
    if (layout.elements.size() != json.size()) {
        // The scan and the parser disagree about the text; trust neither.
        return std::nullopt;
    }
    auto& events = document.events.emplace();
    events.reserve(json.size());
    for (std::size_t i = 0; i < json.size(); ++i) {
        events.push_back({std::string(layout.elements[i]), toPowerValue(json[i], false)});
    }
    return document;
}

std::string renderPowerEventArray(std::span<const StoredPowerEvent> events) {
    if (events.empty()) {
        return "[]\n";
    }
    std::string text = "[\n";
    for (std::size_t i = 0; i < events.size(); ++i) {
        text += "  ";
        text += events[i].text;
        text += i + 1 < events.size() ? ",\n" : "\n";
    }
    text += "]\n";
    return text;
}

std::optional<std::string> formatStoredTime(Instant instant) {
    const auto micros = std::chrono::floor<std::chrono::microseconds>(instant);
    const auto seconds = std::chrono::floor<std::chrono::seconds>(micros);
    auto text = rfc3339::format(seconds);
    if (!text) {
        return std::nullopt;
    }
    auto fraction = (micros - seconds).count();
    char digits[] = ".000000";
    for (int i = 6; i > 0; --i) {
        digits[i] = static_cast<char>('0' + fraction % 10);
        fraction /= 10;
    }
    // Before the trailing 'Z'.
    text->insert(text->size() - 1, digits);
    return text;
}

std::optional<StoredPowerEvent> makeStoredPowerEvent(Instant time, const std::string& owner,
                                                     const std::string& type,
                                                     std::optional<std::uint32_t> user) {
    auto timeText = formatStoredTime(time);
    if (!timeText) {
        return std::nullopt;
    }
    // Ordered so that the file reads the way the events are described.
    nlohmann::ordered_json object;
    object[std::string(powerEventTimeKey)] = *timeText;
    object[std::string(powerEventOwnerKey)] = owner;
    object[std::string(powerEventTypeKey)] = type;
    if (user) {
        object[std::string(powerEventUserKey)] = *user;
    }
    StoredPowerEvent event;
    try {
        event.text = object.dump();
    } catch (const nlohmann::json::exception&) {
        // Text that is not UTF-8 has no JSON form.
        return std::nullopt;
    }
    PowerDictionary dictionary;
    dictionary.emplace(powerEventTimeKey, PowerValue{asStored(time)});
    dictionary.emplace(powerEventOwnerKey, PowerValue{owner});
    dictionary.emplace(powerEventTypeKey, PowerValue{type});
    if (user) {
        dictionary.emplace(powerEventUserKey, PowerValue{std::int64_t{*user}});
    }
    event.value = {std::move(dictionary)};
    return event;
}

std::optional<Instant> powerEventTime(const PowerValue& event,
                                      std::span<const std::string_view> types) {
    const auto* dictionary = std::get_if<PowerDictionary>(&event.value);
    if (dictionary == nullptr) {
        return std::nullopt;
    }
    const auto* time = memberOf<Instant>(*dictionary, powerEventTimeKey);
    const auto* type = memberOf<std::string>(*dictionary, powerEventTypeKey);
    if (time == nullptr || type == nullptr) {
        return std::nullopt;
    }
    if (!types.empty() && std::find(types.begin(), types.end(), *type) == types.end()) {
        return std::nullopt;
    }
    return *time;
}

bool isPowerEvent(const PowerValue& event, const PowerEventKey& key) {
    const auto* dictionary = std::get_if<PowerDictionary>(&event.value);
    if (dictionary == nullptr) {
        return false;
    }
    const auto* eventTime = memberOf<Instant>(*dictionary, powerEventTimeKey);
    const auto* eventOwner = memberOf<std::string>(*dictionary, powerEventOwnerKey);
    const auto* eventType = memberOf<std::string>(*dictionary, powerEventTypeKey);
    return eventTime != nullptr && eventOwner != nullptr && eventType != nullptr &&
           asStored(*eventTime) == asStored(key.time) && *eventOwner == key.owner &&
           *eventType == key.type && powerEventUser(*dictionary) == key.user;
}

} // namespace sollun::daemon
