#include "decode/colour_conversion.h"

#include <cstddef>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#define LORV_CONVERT_SSE2 1
#endif

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

}  // namespace

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

#if LORV_CONVERT_SSE2
namespace {

// Eight pixels (four pairs) at a time: the table lookups stay scalar, the adds, floors and
// clamps run on vectors. The 32-bit sums fit 16 bits after the shift, so packing is exact, and
// clamping 16-bit lanes to 0..255 is the same clamp as the plain one.
struct EightPixels {
    __m128i red;  // 16-bit lanes, pixel x in lane x, already clamped
    __m128i green;
    __m128i blue;
};

inline __m128i Channel(__m128i lumaLow, __m128i lumaHigh, __m128i pairTerms)
{
    const __m128i low = _mm_srai_epi32(_mm_add_epi32(lumaLow, _mm_unpacklo_epi32(pairTerms, pairTerms)), 12);
    const __m128i high = _mm_srai_epi32(_mm_add_epi32(lumaHigh, _mm_unpackhi_epi32(pairTerms, pairTerms)), 12);
    return _mm_min_epi16(_mm_max_epi16(_mm_packs_epi32(low, high), _mm_setzero_si128()), _mm_set1_epi16(255));
}

inline EightPixels ConvertEight(const BYTE* in)
{
    const ColourTables& t = colourTables;
    const __m128i lumaLow = _mm_setr_epi32(t.LumaTerm[in[0]], t.LumaTerm[in[2]], t.LumaTerm[in[4]], t.LumaTerm[in[6]]);
    const __m128i lumaHigh =
        _mm_setr_epi32(t.LumaTerm[in[8]], t.LumaTerm[in[10]], t.LumaTerm[in[12]], t.LumaTerm[in[14]]);
    const __m128i red = _mm_setr_epi32(t.RedFromCr[in[1]], t.RedFromCr[in[5]], t.RedFromCr[in[9]], t.RedFromCr[in[13]]);
    const __m128i green = _mm_setr_epi32(
        t.GreenFromCr[in[1]] + t.GreenFromCb[in[3]], t.GreenFromCr[in[5]] + t.GreenFromCb[in[7]],
        t.GreenFromCr[in[9]] + t.GreenFromCb[in[11]], t.GreenFromCr[in[13]] + t.GreenFromCb[in[15]]);
    const __m128i blue =
        _mm_setr_epi32(t.BlueFromCb[in[3]], t.BlueFromCb[in[7]], t.BlueFromCb[in[11]], t.BlueFromCb[in[15]]);
    return {Channel(lumaLow, lumaHigh, red), Channel(lumaLow, lumaHigh, green), Channel(lumaLow, lumaHigh, blue)};
}

// Four pixels of R G B 0 as 12 bytes, in the low bytes: in each 64-bit half the second pixel
// moves down one byte next to the first, then the upper half moves down two more.
inline __m128i TwelveBytes(__m128i pixels)
{
    const __m128i low24 = _mm_set1_epi64x(0xFFFFFF);
    const __m128i high24 = _mm_set1_epi64x(0xFFFFFF000000);
    const __m128i halves = _mm_or_si128(_mm_and_si128(pixels, low24), _mm_and_si128(_mm_srli_epi64(pixels, 8), high24));
    return _mm_or_si128(_mm_move_epi64(halves), _mm_slli_si128(_mm_srli_si128(halves, 8), 6));
}

}  // namespace

void ConvertRowToRgb24(const BYTE* in, int pairs, BYTE* out)
{
    int pair = 0;
    for (; pair + 4 <= pairs; pair += 4, in += 16, out += 24) {
        const EightPixels c = ConvertEight(in);
        const __m128i zero = _mm_setzero_si128();
        const __m128i redGreen = _mm_unpacklo_epi8(_mm_packus_epi16(c.red, c.red), _mm_packus_epi16(c.green, c.green));
        const __m128i blueZero = _mm_unpacklo_epi8(_mm_packus_epi16(c.blue, c.blue), zero);
        const __m128i first = TwelveBytes(_mm_unpacklo_epi16(redGreen, blueZero));
        const __m128i second = TwelveBytes(_mm_unpackhi_epi16(redGreen, blueZero));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_or_si128(first, _mm_slli_si128(second, 12)));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 16), _mm_srli_si128(second, 4));
    }
    ConvertRowToRgb24Plain(in, pairs - pair, out);
}

void ConvertRowToRgb16(const BYTE* in, int pairs, BYTE* out)
{
    int pair = 0;
    for (; pair + 4 <= pairs; pair += 4, in += 16, out += 16) {
        const EightPixels c = ConvertEight(in);
        const __m128i words = _mm_or_si128(
            _mm_srli_epi16(c.red, 3),
            _mm_or_si128(_mm_slli_epi16(_mm_srli_epi16(c.green, 3), 5), _mm_slli_epi16(_mm_srli_epi16(c.blue, 3), 10)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), words);
    }
    ConvertRowToRgb16Plain(in, pairs - pair, out);
}
#else
void ConvertRowToRgb24(const BYTE* in, int pairs, BYTE* out) { ConvertRowToRgb24Plain(in, pairs, out); }
void ConvertRowToRgb16(const BYTE* in, int pairs, BYTE* out) { ConvertRowToRgb16Plain(in, pairs, out); }
#endif

// Pixels travel in pairs; an odd last pixel has no Cb of its own, so only whole pairs are
// converted and such a pixel is left as it was.
void ConvertToRgb24(int stride, int width, int height, const BYTE* source, BYTE* destination)
{
    const int rowBytes = Rgb24RowBytes(width);
    for (int r = 0; r < height; ++r)
        ConvertRowToRgb24(SourceRow(source, stride, r), width / 2, BottomUpRow(destination, height, r, rowBytes));
}

void ConvertToRgb16(int stride, int width, int height, const BYTE* source, BYTE* destination)
{
    const int rowBytes = Rgb16RowBytes(width);
    for (int r = 0; r < height; ++r)
        ConvertRowToRgb16(SourceRow(source, stride, r), width / 2, BottomUpRow(destination, height, r, rowBytes));
}

void ConvertToRgb24Double(int stride, int width, int height, const BYTE* source, BYTE* destination)
{
    const int pairs = width / 2;
    const int rowBytes = Rgb24RowBytes(2 * width);
    for (int r = 0; r < height; ++r) {
        const BYTE* in = SourceRow(source, stride, r);
        // Output row 2r, and 2r + 1 one stride lower in memory.
        BYTE* upper = BottomUpRow(destination, 2 * height, 2 * r, rowBytes);
        BYTE* lower = upper - rowBytes;
        for (int pair = 0; pair < pairs; ++pair, in += 4, upper += 12, lower += 12) {
            const PairTerms terms = ChromaTerms(in[1], in[3]);
            const Rgb left = PixelColour(in[0], terms);
            const Rgb right = PixelColour(in[2], terms);
            const BYTE block[12] = {left.red,  left.green,  left.blue,  left.red,  left.green,  left.blue,
                                    right.red, right.green, right.blue, right.red, right.green, right.blue};
            std::memcpy(upper, block, sizeof block);
            std::memcpy(lower, block, sizeof block);
        }
    }
}

void ConvertToRgb16Double(int stride, int width, int height, const BYTE* source, BYTE* destination)
{
    const int pairs = width / 2;
    const int rowBytes = Rgb16RowBytes(2 * width);
    for (int r = 0; r < height; ++r) {
        const BYTE* in = SourceRow(source, stride, r);
        BYTE* upper = BottomUpRow(destination, 2 * height, 2 * r, rowBytes);
        BYTE* lower = upper - rowBytes;
        for (int pair = 0; pair < pairs; ++pair, in += 4, upper += 8, lower += 8) {
            const PairTerms terms = ChromaTerms(in[1], in[3]);
            const std::uint32_t left = Pack16(PixelColour(in[0], terms));
            const std::uint32_t right = Pack16(PixelColour(in[2], terms));
            Store32(upper, left | left << 16);
            Store32(upper + 4, right | right << 16);
            Store32(lower, left | left << 16);
            Store32(lower + 4, right | right << 16);
        }
    }
}
