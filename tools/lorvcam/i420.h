// Packed RGB to planar YUV 4:2:0 (BT.601, limited range) for Y4M streams.
#pragma once

#include <cstdint>

#include "image.h"

namespace lorvcam {

// False where the build has no converter (the Windows build has no libyuv).
bool CanConvertToI420();

// Writes width * height luma bytes to `y` and ceil(width/2) * ceil(height/2) bytes to each
// of `u` and `v`.
void ConvertToI420(const RgbImage& image, std::uint8_t* y, std::uint8_t* u, std::uint8_t* v);

}  // namespace lorvcam
