#include "image.h"

#include <stdexcept>

namespace lorvcam {

std::size_t LibraryRowStride(int width, int bitsPerPixel)
{
    const auto w = static_cast<std::size_t>(width);
    return bitsPerPixel == 16 ? 2 * w : (3 * w + 3) & ~std::size_t{3};
}

std::size_t LibraryImageBytes(int width, int height, int bitsPerPixel)
{
    return LibraryRowStride(width, bitsPerPixel) * static_cast<std::size_t>(height);
}

namespace {

// Five bits to eight, so that full scale stays full scale (31 -> 255).
std::uint8_t Expand5(unsigned v) { return static_cast<std::uint8_t>((v << 3) | (v >> 2)); }

}  // namespace

RgbImage FromLibraryImage(std::span<const std::uint8_t> library, int width, int height, int bitsPerPixel)
{
    if (width <= 0 || height <= 0 || (bitsPerPixel != 16 && bitsPerPixel != 24))
        throw std::invalid_argument("unsupported image format");
    if (library.size() < LibraryImageBytes(width, height, bitsPerPixel))
        throw std::invalid_argument("image buffer too small");

    RgbImage image{width, height, std::vector<std::uint8_t>(static_cast<std::size_t>(width) * height * 3)};
    const std::size_t stride = LibraryRowStride(width, bitsPerPixel);
    std::uint8_t* out = image.pixels.data();
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* row = library.data() + static_cast<std::size_t>(height - 1 - y) * stride;
        if (bitsPerPixel == 24) {
            for (int i = 0; i < width * 3; ++i)
                *out++ = row[i];
            continue;
        }
        for (int x = 0; x < width; ++x) {
            const unsigned word = row[2 * x] | (row[2 * x + 1] << 8);
            *out++ = Expand5(word & 0x1F);
            *out++ = Expand5((word >> 5) & 0x1F);
            *out++ = Expand5((word >> 10) & 0x1F);
        }
    }
    return image;
}

}  // namespace lorvcam
