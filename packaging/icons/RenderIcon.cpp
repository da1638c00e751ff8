// Renders the tray icon's drawing into pixels while the program is built.
//
//   RenderIcon <drawing.svg> <image.png> <size>        one square PNG image
//   RenderIcon <drawing.svg> <pixmaps.cpp> <size>...   the helper's pixmaps, as C++ source
//
// The C++ source defines trayIconPixmaps() (SollunHelper/tray/TrayIconPixmaps.h): one square
// image a size, each pixel as a StatusNotifierItem host reads it, the bytes A, R, G, B in that
// order and the colours not premultiplied by alpha. Cairo keeps a pixel as one native-endian
// 32-bit word with premultiplied colours, so each is taken apart and divided back.
//
// Whatever goes wrong is told on standard error with a non-zero exit, and leaves no output.

#include <cairo.h>
#include <librsvg/rsvg.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

using Surface = std::unique_ptr<cairo_surface_t, decltype(&cairo_surface_destroy)>;

struct Failure {
    std::string what;
};

Surface render(RsvgHandle* drawing, int size) {
    Surface surface(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, size, size),
                    &cairo_surface_destroy);
    cairo_t* cairo = cairo_create(surface.get());
    const RsvgRectangle viewport{0, 0, static_cast<double>(size), static_cast<double>(size)};
    GError* error = nullptr;
    const bool drawn = rsvg_handle_render_document(drawing, cairo, &viewport, &error);
    const cairo_status_t status = cairo_status(cairo);
    cairo_destroy(cairo);
    if (!drawn) {
        Failure failure{std::string("cannot draw it: ") + (error ? error->message : "?")};
        g_clear_error(&error);
        throw failure;
    }
    if (status != CAIRO_STATUS_SUCCESS)
        throw Failure{std::string("cannot draw it: ") + cairo_status_to_string(status)};
    cairo_surface_flush(surface.get());
    return surface;
}

// The image's pixels as rows of A, R, G, B bytes, colours not premultiplied.
std::vector<std::uint8_t> straightArgb(cairo_surface_t* surface) {
    const int width = cairo_image_surface_get_width(surface);
    const int height = cairo_image_surface_get_height(surface);
    const int stride = cairo_image_surface_get_stride(surface);
    const unsigned char* data = cairo_image_surface_get_data(surface);
    std::vector<std::uint8_t> bytes;
    bytes.reserve(std::size_t(width) * height * 4);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            std::uint32_t pixel = 0;
            std::memcpy(&pixel, data + std::size_t(y) * stride + std::size_t(x) * 4, 4);
            const unsigned alpha = pixel >> 24;
            bytes.push_back(static_cast<std::uint8_t>(alpha));
            for (const int shift : {16, 8, 0}) {
                const unsigned premultiplied = (pixel >> shift) & 0xff;
                const unsigned straight =
                    alpha == 0 ? 0 : std::min(255u, (premultiplied * 255 + alpha / 2) / alpha);
                bytes.push_back(static_cast<std::uint8_t>(straight));
            }
        }
    }
    return bytes;
}

void writePng(RsvgHandle* drawing, int size, const std::filesystem::path& path) {
    const Surface surface = render(drawing, size);
    const cairo_status_t status = cairo_surface_write_to_png(surface.get(), path.c_str());
    if (status != CAIRO_STATUS_SUCCESS)
        throw Failure{std::string("cannot write it: ") + cairo_status_to_string(status)};
}

void writeSource(RsvgHandle* drawing, const std::vector<int>& sizes,
                 const std::filesystem::path& source, const std::filesystem::path& path) {
    std::ofstream out(path);
    out << "// Made by RenderIcon from " << source.filename().string() << ": not to be edited.\n"
        << "#include \"SollunHelper/tray/TrayIconPixmaps.h\"\n\n"
        << "namespace sollun::helper {\nnamespace {\n\n";
    for (const int size : sizes) {
        const Surface surface = render(drawing, size);
        out << "constexpr std::uint8_t pixels" << size << "[] = {";
        int column = 0;
        for (const std::uint8_t byte : straightArgb(surface.get())) {
            char text[16];
            std::snprintf(text, sizeof text, "%s0x%02x,", column++ % 16 == 0 ? "\n    " : "", byte);
            out << text;
        }
        out << "\n};\n\n";
    }
    out << "constexpr TrayIconPixmap pixmaps[] = {\n";
    for (const int size : sizes)
        out << "    {" << size << ", pixels" << size << "},\n";
    out << "};\n\n} // namespace\n\n"
        << "std::span<const TrayIconPixmap> trayIconPixmaps() {\n    return pixmaps;\n}\n\n"
        << "} // namespace sollun::helper\n";
    out.close();
    if (!out)
        throw Failure{"cannot write it"};
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: RenderIcon <drawing.svg> <image.png> <size>\n"
                             "       RenderIcon <drawing.svg> <pixmaps.cpp> <size>...\n");
        return 2;
    }
    const std::filesystem::path drawingPath = argv[1];
    const std::filesystem::path output = argv[2];
    std::vector<int> sizes;
    for (int i = 3; i < argc; ++i) {
        const int size = std::atoi(argv[i]);
        if (size < 1 || size > 1024) {
            std::fprintf(stderr, "RenderIcon: %s is no size\n", argv[i]);
            return 2;
        }
        sizes.push_back(size);
    }
    const bool png = output.extension() == ".png";
    if (png && sizes.size() != 1) {
        std::fprintf(stderr, "RenderIcon: a PNG image has one size\n");
        return 2;
    }

    GError* error = nullptr;
    RsvgHandle* drawing = rsvg_handle_new_from_file(drawingPath.c_str(), &error);
    if (!drawing) {
        std::fprintf(stderr, "RenderIcon: %s: %s\n", drawingPath.c_str(), error->message);
        g_error_free(error);
        return 1;
    }
    // Written aside, then renamed: an interrupted build leaves nothing that looks complete.
    auto partial = output;
    partial += ".partial";
    int result = 0;
    try {
        if (png)
            writePng(drawing, sizes.front(), partial);
        else
            writeSource(drawing, sizes, drawingPath, partial);
        std::filesystem::rename(partial, output);
    } catch (const Failure& failure) {
        std::fprintf(stderr, "RenderIcon: %s into %s: %s\n", drawingPath.c_str(), output.c_str(),
                     failure.what.c_str());
        result = 1;
    } catch (const std::filesystem::filesystem_error& failure) {
        std::fprintf(stderr, "RenderIcon: %s\n", failure.what());
        result = 1;
    }
    if (result != 0) {
        std::error_code ignored;
        std::filesystem::remove(partial, ignored);
    }
    g_object_unref(drawing);
    return result;
}
