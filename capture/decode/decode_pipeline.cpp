#include "decode/decode_pipeline.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "decode/colour_conversion.h"
#include "decode/compressed_decoders.h"
#include "decode/simd.h"
#include "decode/stretch.h"

#if LORV_AVX2
#include <immintrin.h>
#elif LORV_SSE2
#include <emmintrin.h>
#endif

namespace {

void PairRowPlain(const BYTE* upper, const BYTE* luma, int width, BYTE* outUpper, BYTE* outLower)
{
    for (int x = 0; x < width; ++x) {
        outUpper[2 * x] = upper[2 * x];
        outUpper[2 * x + 1] = upper[2 * x + 1];
        outLower[2 * x] = luma[x];
        outLower[2 * x + 1] = upper[2 * x + 1];
    }
}

// Each upper byte is read once, for both output rows.
#if LORV_SSE2
void PairRowSse2(const BYTE* upper, const BYTE* luma, int width, BYTE* outUpper, BYTE* outLower)
{
    const __m128i chromaBytes = _mm_set1_epi16(static_cast<short>(0xFF00));
    int x = 0;
    for (; x + 16 <= width; x += 16) {
        const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(luma + x));
        const __m128i first = _mm_loadu_si128(reinterpret_cast<const __m128i*>(upper + 2 * x));
        const __m128i second = _mm_loadu_si128(reinterpret_cast<const __m128i*>(upper + 2 * x + 16));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(outUpper + 2 * x), first);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(outUpper + 2 * x + 16), second);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(outLower + 2 * x),
                         _mm_or_si128(_mm_unpacklo_epi8(y, _mm_setzero_si128()), _mm_and_si128(first, chromaBytes)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(outLower + 2 * x + 16),
                         _mm_or_si128(_mm_unpackhi_epi8(y, _mm_setzero_si128()), _mm_and_si128(second, chromaBytes)));
    }
    PairRowPlain(upper + 2 * x, luma + x, width - x, outUpper + 2 * x, outLower + 2 * x);
}
#endif

#if LORV_AVX2
LORV_AVX2_FUNCTION void PairRowAvx2(const BYTE* upper, const BYTE* luma, int width, BYTE* outUpper, BYTE* outLower)
{
    const __m256i chromaBytes = _mm256_set1_epi16(static_cast<short>(0xFF00));
    int x = 0;
    for (; x + 32 <= width; x += 32) {
        const __m256i low = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(luma + x)));
        const __m256i high = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(luma + x + 16)));
        const __m256i first = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(upper + 2 * x));
        const __m256i second = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(upper + 2 * x + 32));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(outUpper + 2 * x), first);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(outUpper + 2 * x + 32), second);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(outLower + 2 * x),
                            _mm256_or_si256(low, _mm256_and_si256(first, chromaBytes)));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(outLower + 2 * x + 32),
                            _mm256_or_si256(high, _mm256_and_si256(second, chromaBytes)));
    }
    PairRowSse2(upper + 2 * x, luma + x, width - x, outUpper + 2 * x, outLower + 2 * x);
}
#endif

}  // namespace

#if LORV_AVX2
const Mode1Rows mode1Rows = {PairRowPlain, PairRowSse2, PairRowAvx2};
#elif LORV_SSE2
const Mode1Rows mode1Rows = {PairRowPlain, PairRowSse2, PairRowSse2};
#else
const Mode1Rows mode1Rows = {PairRowPlain, PairRowPlain, PairRowPlain};
#endif

void ExpandMode1Frame(int width, int height, const BYTE* source, BYTE* destination)
{
    if (width <= 0)
        return;
    const Mode1Row pairRow = CpuHasAvx2() ? mode1Rows.avx2 : mode1Rows.sse2;
    const std::size_t rowBytes = 2 * static_cast<std::size_t>(width);
    for (int pair = 0; pair < height / 2; ++pair) {
        const BYTE* upper = source + static_cast<std::ptrdiff_t>(pair) * 3 * width;
        BYTE* out = destination + static_cast<std::ptrdiff_t>(pair) * 2 * rowBytes;
        pairRow(upper, upper + rowBytes, width, out, out + rowBytes);
    }
}

namespace {

using Address = std::uintptr_t;

Address AddressOf(const BYTE* pointer) { return reinterpret_cast<Address>(pointer); }

// Whether [start, start + bytes) lies inside [buffer, buffer + bufferBytes).
bool Inside(const BYTE* buffer, std::int64_t bufferBytes, const BYTE* start, std::int64_t bytes)
{
    if (buffer == nullptr || start == nullptr || bytes < 0 || AddressOf(start) < AddressOf(buffer))
        return false;
    const std::int64_t offset = static_cast<std::int64_t>(AddressOf(start) - AddressOf(buffer));
    return offset <= bufferBytes && bytes <= bufferBytes - offset;
}

// A stage runs in place only when its image ends where the next stage's image will end:
// 4 bytes short of bufferBytes.
bool EndsAtTail(const BYTE* buffer, std::int64_t bufferBytes, const BYTE* image, std::int64_t imageBytes)
{
    return Inside(buffer, bufferBytes, image, imageBytes) &&
           AddressOf(image) - AddressOf(buffer) == static_cast<Address>(bufferBytes - 4 - imageBytes);
}

// Bytes the mode's expansion reads from the frame.
bool FrameHoldsMode(const CaptureContext& c, std::int64_t imageBytes)
{
    const std::int64_t w = c.frameWidth;
    const std::int64_t h = c.frameHeight;
    if (!Inside(c.readyBuffer, c.bufferBytes, c.readyFrame, c.frameBytes))
        return false;
    switch (c.mode) {
    case 0:
        return c.frameBytes >= imageBytes;
    case 1:
        return h % 2 == 0 && c.frameBytes >= 3 * w * h / 2;
    case 2:
    case 3:
    case 4: {
        const std::int64_t baseBytes = (w + 8) * (h + 4) / 4;
        const std::int64_t codeBytes = h * CorrectionRowBytes(c.mode, c.frameWidth);
        return w % 8 == 0 && h % 4 == 0 && c.secondPartOffset >= 0 && baseBytes <= c.frameBytes &&
               c.secondPartOffset + codeBytes <= c.frameBytes;
    }
    default:
        return true;
    }
}

}  // namespace

bool DecodeFrameIsSound(const CaptureContext* context)
{
    if (context == nullptr)
        return false;
    const CaptureContext& c = *context;
    // The pipeline only enlarges, in pairs of pixels, up to what the weight tables hold.
    if (c.width <= 0 || c.height <= 0 || c.width % 2 != 0 || c.captureWidth <= 0 || c.captureHeight <= 0 ||
        c.captureWidth % 2 != 0 || c.captureWidth > c.width || c.captureHeight > c.height ||
        c.frameWidth != c.captureWidth || c.frameHeight != c.captureHeight)
        return false;
    if ((c.captureWidth < c.width && c.width > kMaxStretchSize) ||
        (c.captureHeight < c.height && c.height > kMaxStretchSize))
        return false;
    if (c.bufferBytes != static_cast<std::int64_t>(c.width) * c.height * 2 + 4)
        return false;
    if ((c.outputBitsPerPixel == 16 || c.outputBitsPerPixel == 24) && c.outputImage == nullptr)
        return false;
    const std::int64_t imageBytes = static_cast<std::int64_t>(c.captureWidth) * c.captureHeight * 2;
    if (c.mode == 0)
        return FrameHoldsMode(c, imageBytes) && EndsAtTail(c.readyBuffer, c.bufferBytes, c.readyFrame, imageBytes);
    if (c.mode >= 1 && c.mode <= 4 && !FrameHoldsMode(c, imageBytes))
        return false;
    return EndsAtTail(c.workBuffer, c.bufferBytes, c.workImage, imageBytes);
}

LORVCAP_API void WINAPI DecodeFrame(CaptureContext* context)
{
    if (!DecodeFrameIsSound(context))
        return;
    CaptureContext& c = *context;
    switch (c.mode) {
    case 0:
        c.workBuffer = c.readyBuffer;
        c.workImage = c.readyFrame;
        break;
    case 1:
        ExpandMode1Frame(c.frameWidth, c.frameHeight, c.readyFrame, c.workImage);
        break;
    case 2:
        DecodeMode2Frame(c.frameWidth + 8, c.frameHeight + 4, c.readyFrame, c.readyFrame + c.secondPartOffset,
                         c.workImage);
        break;
    case 3:
        DecodeMode3Frame(c.frameWidth + 8, c.frameHeight + 4, c.readyFrame, c.readyFrame + c.secondPartOffset,
                         c.workImage);
        break;
    case 4:
        DecodeMode4Frame(c.frameWidth + 8, c.frameHeight + 4, c.readyFrame, c.readyFrame + c.secondPartOffset,
                         c.workImage);
        break;
    default:
        break;
    }

    BYTE* image = c.workImage;
    int stride = c.frameWidth;
    if (c.captureWidth < c.width) {
        BYTE* destination = c.workBuffer + c.bufferBytes - (static_cast<std::ptrdiff_t>(c.captureHeight) * c.width * 2 + 4);
        ScaleWidth(c.frameWidth, c.captureWidth, c.captureHeight, c.workImage, c.width, destination);
        image = destination;
        stride = c.width;
    }
    if (c.captureHeight < c.height)
        ScaleHeight(stride, stride, c.captureHeight, image, c.height, c.workBuffer);

    const bool doubleSize = c.doubleSize == 1;
    if (c.outputBitsPerPixel == 16)
        (doubleSize ? ConvertToRgb16Double : ConvertToRgb16)(stride, c.width, c.height, c.workBuffer, c.outputImage);
    else if (c.outputBitsPerPixel == 24)
        (doubleSize ? ConvertToRgb24Double : ConvertToRgb24)(stride, c.width, c.height, c.workBuffer, c.outputImage);
}
