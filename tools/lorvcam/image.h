// Pictures as lorvcam hands them on: packed red, green, blue bytes, rows top to bottom.
// The library writes bottom-up rows instead (24-bit on a 4-byte-aligned stride, 16-bit as
// little-endian words with red in the low bits); this is where that is undone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace lorvcam {

struct RgbImage {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> pixels;  // width * height * 3 bytes

    std::span<const std::uint8_t> Row(int y) const
    {
        return std::span(pixels).subspan(static_cast<std::size_t>(y) * width * 3, static_cast<std::size_t>(width) * 3);
    }
};

// Bytes between two rows of the library's output image.
std::size_t LibraryRowStride(int width, int bitsPerPixel);
// Bytes the application must give the library for one output image.
std::size_t LibraryImageBytes(int width, int height, int bitsPerPixel);

// Converts an image in the library's layout (bitsPerPixel 16 or 24) into top-down RGB.
// `library` must hold at least LibraryImageBytes(width, height, bitsPerPixel) bytes.
RgbImage FromLibraryImage(std::span<const std::uint8_t> library, int width, int height, int bitsPerPixel);

}  // namespace lorvcam
