#pragma once

#include "tests/support/Subprocess.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sollun::test {

// A virtual X server on a display nobody uses, for the test's lifetime. Clients reach it
// through $DISPLAY, which the test sets to display().
class VirtualScreen {
public:
    // Throws std::runtime_error when the server does not start.
    explicit VirtualScreen(const std::filesystem::path& log);
    const std::string& display() const { return display_; }

private:
    std::unique_ptr<BackgroundProcess> server_;
    std::string display_;
};

struct Rect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    bool operator==(const Rect&) const = default;
};

// The geometry of the first mapped top-level window of that WM_CLASS instance name.
std::optional<Rect> visibleWindow(const std::string& instanceName);

// Synthetic input, as the X server's test extension delivers it.
void clickAt(int x, int y);
void pressKeys(const std::vector<std::string>& keys);

// The whole screen, a pixel a 32-bit value.
struct Image {
    int width = 0;
    int height = 0;
    std::vector<std::uint32_t> pixels;
    std::uint32_t at(int x, int y) const {
        return pixels[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                      static_cast<std::size_t>(x)];
    }
};
// Throws std::runtime_error when the screen cannot be read.
Image captureScreen();

// The smallest rectangle holding every pixel of `area` that differs between `a` and `b`;
// width 0 when none does.
Rect difference(const Image& a, const Image& b, const Rect& area);
// Whether `area` is one colour.
bool uniform(const Image& image, const Rect& area);

} // namespace sollun::test
