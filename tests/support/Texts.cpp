#include "tests/support/Texts.h"

#include <cstdint>

namespace sollun::test {

std::vector<std::string> logLines(const platform::MemoryLogSink& log) {
    constexpr std::string_view product = "com.kestrovane.sollun.";
    std::vector<std::string> lines;
    for (const auto& entry : log.entries()) {
        std::string_view subsystem = entry.subsystem;
        if (subsystem.starts_with(product))
            subsystem.remove_prefix(product.size());
        lines.push_back((entry.level == platform::LogLevel::info ? "info " : "error ") +
                        std::string(subsystem) + "/" + entry.category + ": " + entry.message);
    }
    return lines;
}

std::string plain(std::string_view text) {
    constexpr std::string_view narrow = "\u202F";
    std::string result;
    for (std::size_t at; (at = text.find(narrow)) != std::string_view::npos;) {
        result.append(text.substr(0, at)).push_back(' ');
        text.remove_prefix(at + narrow.size());
    }
    return result.append(text);
}

std::string messageCatalogue(const std::map<std::string, std::string>& messages, bool bigEndian) {
    const auto count = static_cast<std::uint32_t>(messages.size());
    std::vector<std::uint32_t> words{0x950412de, 0, count, 28, 28 + 8 * count, 0, 0};
    std::string texts;
    for (const bool originals : {true, false})
        for (const auto& [original, translation] : messages) {
            const std::string& text = originals ? original : translation;
            words.push_back(static_cast<std::uint32_t>(text.size()));
            words.push_back(static_cast<std::uint32_t>(28 + 16 * count + texts.size()));
            texts += text + '\0';
        }
    std::string bytes;
    for (const auto word : words)
        for (int byte = 0; byte < 4; ++byte)
            bytes.push_back(static_cast<char>(word >> 8 * (bigEndian ? 3 - byte : byte)));
    return bytes + texts;
}

} // namespace sollun::test
