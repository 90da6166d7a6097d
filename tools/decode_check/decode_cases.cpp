#include "decode_cases.h"

#include <cstdint>
#include <cstring>
#include <vector>

namespace {

struct Case {
    int width, height, mode, captureWidth, captureHeight, bitsPerPixel, doubleSize;
};

// Sizes as the geometry gives them, every mode, stretching across, down and both.
constexpr Case kCases[] = {
    {320, 240, 0, 230, 240, 24, 0}, {160, 120, 0, 160, 120, 16, 1}, {160, 120, 1, 116, 96, 24, 1},
    {320, 240, 2, 232, 240, 16, 0}, {320, 240, 3, 232, 160, 24, 0}, {640, 480, 4, 232, 240, 24, 0},
    {320, 240, 1, 230, 240, 16, 0},
};

std::uint32_t Next(std::uint32_t& state)
{
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
}

std::uint64_t Fnv1a(const std::vector<BYTE>& bytes)
{
    std::uint64_t hash = 1469598103934665603ULL;
    for (BYTE b : bytes)
        hash = (hash ^ b) * 1099511628211ULL;
    return hash;
}

LONG FrameBytes(LONG mode, LONG w, LONG h)
{
    const LONG p = (w + 8) * (h + 4) / 4;
    switch (mode) {
    case 0: return 2 * w * h + 4;
    case 1: return 3 * w * h / 2 + 4;
    case 2: return 3 * w * h / 4 + p + 4;
    case 3: return w * h / 2 + p + 4;
    default: return 3 * w * h / 8 + p + 4;
    }
}

// One record prepared the way StartCapture and a completed frame read leave it.
std::vector<BYTE> DecodeCase(const Case& c, std::uint32_t& seed, DecodeFunction decode)
{
    CaptureContext context;
    std::memset(&context, 0, sizeof context);
    context.width = c.width;
    context.height = c.height;
    context.mode = c.mode;
    context.frameWidth = context.captureWidth = c.captureWidth;
    context.frameHeight = context.captureHeight = c.captureHeight;
    context.frameBytes = FrameBytes(c.mode, c.captureWidth, c.captureHeight);
    context.secondPartOffset = (c.captureWidth + 8) * (c.captureHeight + 4) / 4;
    context.bufferBytes = c.width * c.height * 2 + 4;
    context.captureImageBytes = c.captureWidth * c.captureHeight * 2 + 4;

    std::vector<BYTE> ready(context.bufferBytes + 4224), work(context.bufferBytes + 4224);
    context.readyBuffer = ready.data();
    context.readyFrame = ready.data() + context.bufferBytes - context.frameBytes;
    for (LONG i = 0; i < context.frameBytes; ++i)
        context.readyFrame[i] = static_cast<BYTE>(Next(seed) >> 24);
    if (c.mode >= 1) {
        context.workBuffer = work.data();
        context.workImage = work.data() + context.bufferBytes - context.captureImageBytes;
    }

    const int outWidth = c.doubleSize ? 2 * c.width : c.width;
    const int outHeight = c.doubleSize ? 2 * c.height : c.height;
    const int stride = c.bitsPerPixel == 24 ? (3 * outWidth + 3) & ~3 : 2 * outWidth;
    std::vector<BYTE> output(static_cast<std::size_t>(stride) * outHeight, 0xA5);
    context.outputImage = output.data();
    context.outputBitsPerPixel = c.bitsPerPixel;
    context.doubleSize = c.doubleSize;
    decode(&context);
    return output;
}

}  // namespace

int WriteDecodeCases(std::FILE* out, DecodeFunction decode)
{
    std::uint32_t seed = 0x4C4F5256;
    int n = 0;
    for (const Case& c : kCases) {
        const std::vector<BYTE> image = DecodeCase(c, seed, decode);
        if (std::fwrite(image.data(), 1, image.size(), out) != image.size())
            return 0;
        std::printf("case %d: %dx%d mode %d, %d-bit%s: %016llx\n", ++n, c.width, c.height, c.mode, c.bitsPerPixel,
                    c.doubleSize ? " double" : "", static_cast<unsigned long long>(Fnv1a(image)));
    }
    return 1;
}
