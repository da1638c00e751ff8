#pragma once

// A compiled gettext catalogue (.mo), read by the program itself for the languages the C library
// will not look up: in the C.UTF-8 locale, glibc from 2.41 on ignores LANGUAGE, and no glibc takes
// the language of a locale the system lacks.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sollun::platform {

class MessageCatalogue {
public:
    // The catalogue in `bytes`, as msgfmt writes it in either byte order: nothing when it is not
    // one, when a table or text lies outside it, or when it declares a charset other than UTF-8
    // (its texts go to D-Bus, which takes UTF-8 only). The originals must be sorted, as msgfmt
    // sorts them; in a catalogue that is not, some texts are not found.
    static std::optional<MessageCatalogue> parse(std::string bytes);

    // The translation of `english`, or nothing. The singular form of a plural entry counts.
    std::optional<std::string_view> find(std::string_view english) const;

private:
    struct Text {
        std::uint32_t offset;
        std::uint32_t length;
    };
    MessageCatalogue() = default;
    std::string_view text(Text where) const;

    std::string bytes_;
    std::vector<Text> originals_;
    std::vector<Text> translations_;
};

// The catalogue directories gettext tries for `locale`, most specific first: "de_DE.UTF-8@euro"
// gives de_DE.UTF-8@euro, de_DE.utf8@euro, de_DE@euro, de.UTF-8@euro, de.utf8@euro, de@euro,
// then the same without "@euro", down to "de".
std::vector<std::string> catalogueNames(std::string_view locale);

} // namespace sollun::platform
