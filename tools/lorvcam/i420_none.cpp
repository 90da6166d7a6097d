#include "i420.h"

#include <stdexcept>

namespace lorvcam {

bool CanConvertToI420() { return false; }

void ConvertToI420(const RgbImage&, std::uint8_t*, std::uint8_t*, std::uint8_t*)
{
    throw std::logic_error("no I420 converter in this build");
}

}  // namespace lorvcam
