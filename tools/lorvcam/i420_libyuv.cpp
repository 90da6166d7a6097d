#include "i420.h"

#include <libyuv/convert.h>

namespace lorvcam {

bool CanConvertToI420() { return true; }

void ConvertToI420(const RgbImage& image, std::uint8_t* y, std::uint8_t* u, std::uint8_t* v)
{
    const int chromaWidth = (image.width + 1) / 2;
    // libyuv calls red-first byte order "RAW" (its "RGB24" is blue first).
    libyuv::RAWToI420(image.pixels.data(), image.width * 3, y, image.width, u, chromaWidth, v, chromaWidth,
                      image.width, image.height);
}

}  // namespace lorvcam
