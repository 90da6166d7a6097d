// Writes a fixed picture with lorvcam's PNG writer, so that the pixels of two builds' files can
// be compared (scripts/windows-build does it with ImageMagick): red, green and blue each run
// their own way, and the odd width leaves rows that are not a multiple of four bytes.
//   png_check FILE
#include <cstdio>
#include <exception>

#include "png_file.h"

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: png_check FILE\n");
        return 2;
    }
    lorvcam::RgbImage image{7, 5, {}};
    for (int y = 0; y < image.height; ++y)
        for (int x = 0; x < image.width; ++x)
            image.pixels.insert(image.pixels.end(), {static_cast<std::uint8_t>(30 * x), static_cast<std::uint8_t>(50 * y),
                                                     static_cast<std::uint8_t>(200 - 20 * x - 10 * y)});
    try {
        lorvcam::WritePng(argv[1], image);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "png_check: %s\n", error.what());
        return 1;
    }
    return 0;
}
