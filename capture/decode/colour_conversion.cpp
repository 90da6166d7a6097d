#include "decode/colour_conversion.h"

#include <cstddef>
#include <cstring>

#include "decode/simd.h"

ColourTables colourTables;

// entry = k * 4096 * (i - c) / 1000, truncated toward zero (C++ division does exactly that);
// the products stay below 2^31 for every byte value.
void BuildColourTables()
{
    for (std::int32_t i = 0; i < 256; ++i) {
        colourTables.LumaTerm[i] = 1164 * 4096 * (i - 16) / 1000;
        colourTables.RedFromCr[i] = 1596 * 4096 * (i - 128) / 1000;
        colourTables.GreenFromCr[i] = 813 * 4096 * (128 - i) / 1000;
        colourTables.GreenFromCb[i] = 391 * 4096 * (128 - i) / 1000;
        colourTables.BlueFromCb[i] = 2018 * 4096 * (i - 128) / 1000;
    }
}

namespace {

struct PairTerms {
    std::int32_t red;
    std::int32_t green;
    std::int32_t blue;
};

struct Rgb {
    BYTE red;
    BYTE green;
    BYTE blue;
};

// The shift floors (arithmetic on a signed sum); then clamp to a byte.
inline BYTE ClampedChannel(std::int32_t sum)
{
    const std::int32_t value = sum >> 12;
    return static_cast<BYTE>(value < 0 ? 0 : value > 255 ? 255 : value);
}

inline PairTerms ChromaTerms(BYTE cr, BYTE cb)
{
    return {colourTables.RedFromCr[cr], colourTables.GreenFromCr[cr] + colourTables.GreenFromCb[cb],
            colourTables.BlueFromCb[cb]};
}

inline Rgb PixelColour(BYTE y, const PairTerms& terms)
{
    const std::int32_t luma = colourTables.LumaTerm[y];
    return {ClampedChannel(luma + terms.red), ClampedChannel(luma + terms.green),
            ClampedChannel(luma + terms.blue)};
}

inline std::uint32_t Pack16(const Rgb& c)
{
    return static_cast<std::uint32_t>(c.red >> 3) | static_cast<std::uint32_t>(c.green >> 3) << 5 |
           static_cast<std::uint32_t>(c.blue >> 3) << 10;
}

inline void Store32(BYTE* out, std::uint32_t value)
{
    const BYTE bytes[4] = {static_cast<BYTE>(value), static_cast<BYTE>(value >> 8),
                           static_cast<BYTE>(value >> 16), static_cast<BYTE>(value >> 24)};
    std::memcpy(out, bytes, 4);
}

inline void Store24(BYTE* out, const Rgb& c)
{
    out[0] = c.red;
    out[1] = c.green;
    out[2] = c.blue;
}

// Output row r of an image stored bottom-up.
inline BYTE* BottomUpRow(BYTE* destination, int rows, int r, int rowBytes)
{
    return destination + static_cast<std::ptrdiff_t>(rows - 1 - r) * rowBytes;
}

inline const BYTE* SourceRow(const BYTE* source, int stride, int r)
{
    return source + static_cast<std::ptrdiff_t>(2) * stride * r;
}

void ConvertRowToRgb24Plain(const BYTE* in, int pairs, BYTE* out)
{
    for (int pair = 0; pair < pairs; ++pair, in += 4, out += 6) {
        const PairTerms terms = ChromaTerms(in[1], in[3]);
        Store24(out, PixelColour(in[0], terms));
        Store24(out + 3, PixelColour(in[2], terms));
    }
}

void ConvertRowToRgb16Plain(const BYTE* in, int pairs, BYTE* out)
{
    for (int pair = 0; pair < pairs; ++pair, in += 4, out += 4) {
        const PairTerms terms = ChromaTerms(in[1], in[3]);
        Store32(out, Pack16(PixelColour(in[0], terms)) | Pack16(PixelColour(in[2], terms)) << 16);
    }
}

void ConvertRowToRgb24DoublePlain(const BYTE* in, int pairs, BYTE* out)
{
    for (int pair = 0; pair < pairs; ++pair, in += 4, out += 12) {
        const PairTerms terms = ChromaTerms(in[1], in[3]);
        const Rgb left = PixelColour(in[0], terms);
        const Rgb right = PixelColour(in[2], terms);
        Store24(out, left);
        Store24(out + 3, left);
        Store24(out + 6, right);
        Store24(out + 9, right);
    }
}

void ConvertRowToRgb16DoublePlain(const BYTE* in, int pairs, BYTE* out)
{
    for (int pair = 0; pair < pairs; ++pair, in += 4, out += 8) {
        const PairTerms terms = ChromaTerms(in[1], in[3]);
        const std::uint32_t left = Pack16(PixelColour(in[0], terms));
        const std::uint32_t right = Pack16(PixelColour(in[2], terms));
        Store32(out, left | left << 16);
        Store32(out + 4, right | right << 16);
    }
}

}  // namespace

const ConvertRows plainConvertRows = {ConvertRowToRgb24Plain, ConvertRowToRgb16Plain, ConvertRowToRgb24DoublePlain,
                                      ConvertRowToRgb16DoublePlain};

const ConvertRows& FastConvertRows()
{
#if LORV_AVX512
    if (CpuHasAvx512())
        return avx512ConvertRows;
#endif
#if LORV_AVX2
    if (CpuHasAvx2())
        return avx2ConvertRows;
#endif
#if LORV_SSE2
    return sse2ConvertRows;
#else
    return plainConvertRows;
#endif
}

namespace {

void ConvertSingle(ConvertRow row, int rowBytes, int stride, int width, int height, const BYTE* source,
                   BYTE* destination)
{
    for (int r = 0; r < height; ++r)
        row(SourceRow(source, stride, r), width / 2, BottomUpRow(destination, height, r, rowBytes));
}

// Output row 2r, and the same bytes in row 2r + 1 one stride lower in memory.
void ConvertDouble(ConvertRow row, int rowBytes, int usedBytes, int stride, int width, int height,
                   const BYTE* source, BYTE* destination)
{
    for (int r = 0; r < height; ++r) {
        BYTE* upper = BottomUpRow(destination, 2 * height, 2 * r, rowBytes);
        row(SourceRow(source, stride, r), width / 2, upper);
        std::memcpy(upper - rowBytes, upper, static_cast<std::size_t>(usedBytes));
    }
}

}  // namespace

// Pixels travel in pairs; an odd last pixel has no Cb of its own, so only whole pairs are
// converted and such a pixel is left as it was.
void ConvertToRgb24(int stride, int width, int height, const BYTE* source, BYTE* destination)
{
    ConvertSingle(FastConvertRows().rgb24, Rgb24RowBytes(width), stride, width, height, source, destination);
}

void ConvertToRgb16(int stride, int width, int height, const BYTE* source, BYTE* destination)
{
    ConvertSingle(FastConvertRows().rgb16, Rgb16RowBytes(width), stride, width, height, source, destination);
}

void ConvertToRgb24Double(int stride, int width, int height, const BYTE* source, BYTE* destination)
{
    ConvertDouble(FastConvertRows().rgb24Double, Rgb24RowBytes(2 * width), 12 * (width / 2), stride, width, height,
                  source, destination);
}

void ConvertToRgb16Double(int stride, int width, int height, const BYTE* source, BYTE* destination)
{
    ConvertDouble(FastConvertRows().rgb16Double, Rgb16RowBytes(2 * width), 8 * (width / 2), stride, width, height,
                  source, destination);
}
