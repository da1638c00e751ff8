#include "tests/desktop/X11.h"

#include "tests/desktop/Harness.h"

#include <algorithm>
#include <sstream>
#include <stdexcept>

namespace sollun::test {
namespace {

// xdotool answers within milliseconds; a hung one must not stall the test.
constexpr auto toolLimit = std::chrono::seconds(5);

std::uint32_t bigEndian32(const std::string& bytes, std::size_t offset) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i)
        value = value << 8 | static_cast<unsigned char>(bytes[offset + i]);
    return value;
}

// `area` within the image.
Rect clip(const Image& image, const Rect& area) {
    const int x = std::clamp(area.x, 0, image.width);
    const int y = std::clamp(area.y, 0, image.height);
    return {x, y, std::clamp(area.x + area.width, x, image.width) - x,
            std::clamp(area.y + area.height, y, image.height) - y};
}

} // namespace

VirtualScreen::VirtualScreen(const std::filesystem::path& log) {
    // The server picks a free display and writes its number to descriptor 3 once it accepts
    // clients.
    server_ =
        std::make_unique<BackgroundProcess>(loggedTo(log, {"Xvfb", "-displayfd", "3", "-screen",
                                                           "0", "640x480x24", "-nolisten", "tcp"}),
                                            3);
    const auto number = server_->readLine(std::chrono::seconds(10));
    if (number.empty())
        throw std::runtime_error("Xvfb did not start");
    display_ = ":" + number;
}

std::optional<Rect> visibleWindow(const std::string& instanceName) {
    const auto result =
        runProcess({"xdotool", "search", "--onlyvisible", "--maxdepth", "1", "--classname",
                    "^" + instanceName + "$", "getwindowgeometry", "--shell"},
                   toolLimit);
    if (result.exitCode != 0)
        return std::nullopt;
    Rect rect;
    std::istringstream lines(result.output);
    for (std::string line; std::getline(lines, line);) {
        const auto equals = line.find('=');
        if (equals == std::string::npos)
            continue;
        const auto name = line.substr(0, equals);
        const int value = std::stoi(line.substr(equals + 1));
        if (name == "X")
            rect.x = value;
        else if (name == "Y")
            rect.y = value;
        else if (name == "WIDTH")
            rect.width = value;
        else if (name == "HEIGHT")
            rect.height = value;
    }
    return rect;
}

void clickAt(int x, int y) {
    const auto result = runProcess(
        {"xdotool", "mousemove", std::to_string(x), std::to_string(y), "click", "1"}, toolLimit);
    if (result.exitCode != 0)
        throw std::runtime_error("xdotool click: " + result.output);
}

void pressKeys(const std::vector<std::string>& keys) {
    std::vector<std::string> argv{"xdotool", "key"};
    argv.insert(argv.end(), keys.begin(), keys.end());
    const auto result = runProcess(argv, toolLimit);
    if (result.exitCode != 0)
        throw std::runtime_error("xdotool key: " + result.output);
}

Image captureScreen() {
    // An XWD dump: a header of big-endian 32-bit fields, a colour map, then the rows.
    const auto dump = runProcess({"xwd", "-root", "-silent"}, toolLimit);
    const auto& bytes = dump.output;
    if (dump.exitCode != 0 || bytes.size() < 100)
        throw std::runtime_error("xwd: " + bytes.substr(0, 200));
    const auto field = [&](std::size_t index) { return bigEndian32(bytes, index * 4); };
    Image image;
    image.width = static_cast<int>(field(4));
    image.height = static_cast<int>(field(5));
    const bool littleEndian = field(7) == 0;
    const std::size_t rowBytes = field(12);
    const std::size_t start = field(0) + field(19) * 12;
    if (image.width <= 0 || rowBytes / static_cast<std::size_t>(image.width) != 4 ||
        start + rowBytes * static_cast<std::size_t>(image.height) > bytes.size())
        throw std::runtime_error("xwd: not a 32-bit screen dump");
    image.pixels.reserve(static_cast<std::size_t>(image.width) *
                         static_cast<std::size_t>(image.height));
    for (int y = 0; y < image.height; ++y)
        for (int x = 0; x < image.width; ++x) {
            const auto offset =
                start + static_cast<std::size_t>(y) * rowBytes + static_cast<std::size_t>(x) * 4;
            const auto value = bigEndian32(bytes, offset);
            image.pixels.push_back(littleEndian ? __builtin_bswap32(value) : value);
        }
    return image;
}

Rect difference(const Image& a, const Image& b, const Rect& wanted) {
    const Rect area = clip(a, clip(b, wanted));
    int left = area.x + area.width;
    int top = area.y + area.height;
    int right = area.x - 1;
    int bottom = area.y - 1;
    for (int y = area.y; y < area.y + area.height; ++y)
        for (int x = area.x; x < area.x + area.width; ++x)
            if (a.at(x, y) != b.at(x, y)) {
                left = std::min(left, x);
                right = std::max(right, x);
                top = std::min(top, y);
                bottom = std::max(bottom, y);
            }
    if (right < left)
        return {area.x, area.y, 0, 0};
    return {left, top, right - left + 1, bottom - top + 1};
}

bool uniform(const Image& image, const Rect& wanted) {
    const Rect area = clip(image, wanted);
    for (int y = area.y; y < area.y + area.height; ++y)
        for (int x = area.x; x < area.x + area.width; ++x)
            if (image.at(x, y) != image.at(area.x, area.y))
                return false;
    return true;
}

} // namespace sollun::test
