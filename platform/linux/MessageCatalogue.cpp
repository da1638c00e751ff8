#include "platform/linux/MessageCatalogue.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <utility>

namespace sollun::platform {
namespace {

constexpr std::uint32_t magic = 0x950412de;
constexpr std::size_t headerSize = 28;

// The 32-bit word at byte `offset` of `bytes`, which the caller has checked lies within, in the
// byte order `swapped` says.
std::uint32_t wordAt(std::string_view bytes, std::size_t offset, bool swapped) {
    std::uint32_t word = 0;
    std::memcpy(&word, bytes.data() + offset, sizeof word);
    return swapped ? __builtin_bswap32(word) : word;
}

// "UTF-8", "utf8" and "Utf-8" alike: letters and digits only, in lower case.
std::string normalizedCodeset(std::string_view codeset) {
    std::string result;
    bool digitsOnly = true;
    for (const char c : codeset) {
        if (std::isalnum(static_cast<unsigned char>(c)) == 0)
            continue;
        digitsOnly = digitsOnly && std::isdigit(static_cast<unsigned char>(c)) != 0;
        result.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    }
    // As the C library names them: "8859-1" is "iso88591".
    return digitsOnly && !result.empty() ? "iso" + result : result;
}

// The charset the header entry ("Content-Type: text/plain; charset=UTF-8\n") declares, if any.
std::optional<std::string_view> declaredCharset(std::string_view header) {
    constexpr std::string_view key = "charset=";
    const auto at = header.find(key);
    if (at == std::string_view::npos)
        return std::nullopt;
    header.remove_prefix(at + key.size());
    return header.substr(0, header.find_first_of(" \t\n;"));
}

} // namespace

std::optional<MessageCatalogue> MessageCatalogue::parse(std::string bytes) {
    if (bytes.size() < headerSize || bytes.size() > UINT32_MAX)
        return std::nullopt;
    const bool swapped = wordAt(bytes, 0, false) != magic;
    const auto word = [&bytes, swapped](std::size_t offset) {
        return wordAt(bytes, offset, swapped);
    };
    if (word(0) != magic)
        return std::nullopt;
    // Revision 1 adds texts that depend on the system (<inttypes.h> formats); its plain tables are
    // those of revision 0, and no later major revision exists.
    if (word(4) >> 16 > 1)
        return std::nullopt;

    MessageCatalogue catalogue;
    const std::size_t size = bytes.size();
    const std::size_t count = word(8);
    const auto readTable = [&](std::size_t tableOffset, std::vector<Text>& table) {
        if (tableOffset > size || count > (size - tableOffset) / 8)
            return false;
        table.reserve(count);
        for (std::size_t i = 0; i < count; ++i) {
            const Text text{word(tableOffset + 4 + 8 * i), word(tableOffset + 8 * i)};
            if (text.offset > size || text.length > size - text.offset)
                return false;
            table.push_back(text);
        }
        return true;
    };
    if (!readTable(word(12), catalogue.originals_) || !readTable(word(16), catalogue.translations_))
        return std::nullopt;
    catalogue.bytes_ = std::move(bytes);

    // The header is the translation of the empty text; without one, the texts are taken as they
    // are, as the C library takes them.
    if (const auto header = catalogue.find({}))
        if (const auto charset = declaredCharset(*header)) {
            const auto name = normalizedCodeset(*charset);
            if (name != "utf8" && name != "ascii" && name != "usascii")
                return std::nullopt;
        }
    return catalogue;
}

std::optional<std::string_view> MessageCatalogue::find(std::string_view english) const {
    // An original of a plural entry is "singular\0plural"; the catalogue is sorted as strcmp
    // orders its texts, which ends them at the first NUL, and a translation's first form is the
    // singular one.
    const auto untilNul = [](std::string_view text) { return text.substr(0, text.find('\0')); };
    std::size_t low = 0;
    std::size_t high = originals_.size();
    while (low < high) {
        const std::size_t middle = low + (high - low) / 2;
        const int order = untilNul(text(originals_[middle])).compare(english);
        if (order == 0)
            return untilNul(text(translations_[middle]));
        if (order < 0)
            low = middle + 1;
        else
            high = middle;
    }
    return std::nullopt;
}

std::string_view MessageCatalogue::text(Text where) const {
    return std::string_view(bytes_).substr(where.offset, where.length);
}

std::vector<std::string> catalogueNames(std::string_view locale) {
    const auto cut = [&locale](char separator) {
        const auto at = locale.find(separator);
        if (at == std::string_view::npos)
            return std::string_view();
        const auto part = locale.substr(at);
        locale = locale.substr(0, at);
        return part;
    };
    const std::string_view modifier = cut('@');
    const std::string_view codeset = cut('.');
    const std::string_view territory = cut('_');
    const std::string_view language = locale;
    // Appended rather than `"." + ...`, which GCC 12 at -O3 takes for an overlapping copy.
    std::string normalized;
    if (!codeset.empty())
        normalized.append(".").append(normalizedCodeset(codeset));

    std::vector<std::string> names;
    for (const auto m : {modifier, std::string_view()})
        for (const auto t : {territory, std::string_view()})
            for (const std::string_view c : {codeset, std::string_view(normalized), {}}) {
                std::string name = std::string(language).append(t).append(c).append(m);
                if (std::find(names.begin(), names.end(), name) == names.end())
                    names.push_back(std::move(name));
            }
    return names;
}

} // namespace sollun::platform
