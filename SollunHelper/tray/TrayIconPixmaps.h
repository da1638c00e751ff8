#pragma once

// The tray icon as pixels, for the hosts that cannot find it by name: the icon's drawing rendered
// at several sizes when the helper is built (packaging/icons/RenderIcon.cpp makes the data).

#include <systemd/sd-bus.h>

#include <cstdint>
#include <span>

namespace sollun::helper {

struct TrayIconPixmap {
    int size; // width and height
    // size * size pixels, rows from the top, each pixel's bytes A, R, G, B in that order (ARGB32
    // in network byte order), colours not premultiplied by alpha.
    std::span<const std::uint8_t> argb;
};

// Smallest first.
std::span<const TrayIconPixmap> trayIconPixmaps();

// Appends the pixmaps as a StatusNotifierItem's a(iiay): width, height, pixels.
int appendTrayIconPixmaps(sd_bus_message* reply);

} // namespace sollun::helper
