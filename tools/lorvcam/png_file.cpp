#include "png_file.h"

#include <png.h>

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>

namespace lorvcam {

namespace {

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// The simplified png_image API reports failures in `message` instead of by longjmp.
std::string Describe(const png_image& image) { return image.message[0] ? image.message : "unknown libpng error"; }

}  // namespace

void WritePng(const std::filesystem::path& path, const RgbImage& image)
{
    png_image png{};
    png.version = PNG_IMAGE_VERSION;
    png.width = static_cast<png_uint_32>(image.width);
    png.height = static_cast<png_uint_32>(image.height);
    png.format = PNG_FORMAT_RGB;
    if (!png_image_write_to_file(&png, path.c_str(), 0, image.pixels.data(), 0, nullptr)) {
        const std::string why = Describe(png);
        png_image_free(&png);
        throw std::runtime_error("cannot write " + path.string() + ": " + why + ".");
    }
}

RgbImage ReadPng(const std::filesystem::path& path)
{
    File file(std::fopen(path.c_str(), "rb"));
    if (!file)
        throw std::runtime_error("cannot open " + path.string() + ".");
    png_image png{};
    png.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_stdio(&png, file.get()))
        throw std::runtime_error(path.string() + " is not a PNG file that can be read (" + Describe(png) + ").");
    constexpr png_uint_32 kLargest = 16384;  // a scene is a picture, not a memory test
    if (png.width == 0 || png.height == 0 || png.width > kLargest || png.height > kLargest) {
        png_image_free(&png);
        throw std::runtime_error(path.string() + " is too large to film (at most 16384 x 16384 pixels).");
    }
    png.format = PNG_FORMAT_RGB;
    RgbImage image{static_cast<int>(png.width), static_cast<int>(png.height), {}};
    image.pixels.resize(PNG_IMAGE_SIZE(png));
    if (!png_image_finish_read(&png, nullptr, image.pixels.data(), 0, nullptr)) {
        const std::string why = Describe(png);
        png_image_free(&png);
        throw std::runtime_error("cannot read " + path.string() + ": " + why + ".");
    }
    return image;
}

}  // namespace lorvcam
