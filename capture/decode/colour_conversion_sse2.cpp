// Converter rows on SSE2, four pairs at a time, exact against the tables.
//
// No lookups: every table entry k * 4096 * n / 1000 (n = i - c) equals trunc(512k * n / 125)
// = A * n + trunc(r * n / 125) with A = 512k / 125 and r = 512k % 125, since both parts share
// the sign of n. So LumaTerm = 4767 n + trunc(93 n / 125), RedFromCr = 6537 n + trunc(27 n / 125),
// GreenFromCr = -(3330 n + trunc(6 n / 125)), GreenFromCb = -(1601 n + trunc(67 n / 125)),
// BlueFromCb = 8265 n + trunc(91 n / 125). The small quotients are taken in 16-bit lanes by one
// high multiply, the 32-bit sums with pmaddwd.
#include "decode/colour_conversion.h"

#include "decode/simd.h"

#if LORV_SSE2
#include <emmintrin.h>

#include <cstdint>

namespace {

// trunc(r * v / 125) per word, r given per word: floor(|v| * ceil(2^16 r / 125) / 2^16) is exact
// for |v| <= 239, the rounding up staying below the 1/125 a non-integer quotient keeps.
inline __m128i TruncRest(__m128i v, __m128i multipliers)
{
    const __m128i sign = _mm_srai_epi16(v, 15);
    const __m128i magnitude = _mm_sub_epi16(_mm_xor_si128(v, sign), sign);
    const __m128i quotient = _mm_mulhi_epu16(magnitude, multipliers);
    return _mm_sub_epi16(_mm_xor_si128(quotient, sign), sign);
}

inline __m128i RestMultipliers(int low, int high)
{
    const auto m = [](int r) { return static_cast<unsigned>((65536 * r + 124) / 125); };
    return _mm_set1_epi32(static_cast<int>(m(low) | m(high) << 16));
}

inline __m128i WordPair(int low, int high)
{
    return _mm_set1_epi32(static_cast<int>((static_cast<unsigned>(low) & 0xFFFF) | static_cast<unsigned>(high) << 16));
}

// (luma + pair term) >> 12 per pixel, pixel x in 16-bit lane x, not yet clamped.
inline __m128i Channel(__m128i lumaLow, __m128i lumaHigh, __m128i pairTerm)
{
    const __m128i low = _mm_srai_epi32(_mm_add_epi32(lumaLow, _mm_unpacklo_epi32(pairTerm, pairTerm)), 12);
    const __m128i high = _mm_srai_epi32(_mm_add_epi32(lumaHigh, _mm_unpackhi_epi32(pairTerm, pairTerm)), 12);
    return _mm_packs_epi32(low, high);
}

struct EightPixels {
    __m128i red;
    __m128i green;
    __m128i blue;
};

inline EightPixels ConvertEight(const BYTE* in)
{
    const __m128i pairs = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
    const __m128i y = _mm_sub_epi16(_mm_and_si128(pairs, _mm_set1_epi16(0xFF)), _mm_set1_epi16(16));
    const __m128i c = _mm_sub_epi16(_mm_srli_epi16(pairs, 8), _mm_set1_epi16(128));  // Cr, Cb per pair
    const __m128i lumaRest = TruncRest(y, RestMultipliers(93, 93));
    const __m128i redBlueRest = TruncRest(c, RestMultipliers(27, 91));
    const __m128i greenRest = TruncRest(c, RestMultipliers(6, 67));
    const __m128i lumaWeights = WordPair(4767, 1);
    const __m128i lumaLow = _mm_madd_epi16(_mm_unpacklo_epi16(y, lumaRest), lumaWeights);
    const __m128i lumaHigh = _mm_madd_epi16(_mm_unpackhi_epi16(y, lumaRest), lumaWeights);
    const __m128i red = _mm_add_epi32(_mm_madd_epi16(c, WordPair(6537, 0)), _mm_madd_epi16(redBlueRest, WordPair(1, 0)));
    const __m128i blue = _mm_add_epi32(_mm_madd_epi16(c, WordPair(0, 8265)), _mm_madd_epi16(redBlueRest, WordPair(0, 1)));
    const __m128i green =
        _mm_add_epi32(_mm_madd_epi16(c, WordPair(-3330, -1601)), _mm_madd_epi16(greenRest, WordPair(-1, -1)));
    return {Channel(lumaLow, lumaHigh, red), Channel(lumaLow, lumaHigh, green), Channel(lumaLow, lumaHigh, blue)};
}

inline __m128i ClampByte(__m128i v) { return _mm_min_epi16(_mm_max_epi16(v, _mm_setzero_si128()), _mm_set1_epi16(255)); }

inline __m128i Pack16(const EightPixels& c)
{
    const __m128i red = _mm_srli_epi16(ClampByte(c.red), 3);
    const __m128i green = _mm_slli_epi16(_mm_srli_epi16(ClampByte(c.green), 3), 5);
    const __m128i blue = _mm_slli_epi16(_mm_srli_epi16(ClampByte(c.blue), 3), 10);
    return _mm_or_si128(red, _mm_or_si128(green, blue));
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

// Eight pixels as 24 bytes; packus does the clamp.
inline void Store24(BYTE* out, __m128i red, __m128i green, __m128i blue)
{
    const __m128i redGreen = _mm_unpacklo_epi8(_mm_packus_epi16(red, red), _mm_packus_epi16(green, green));
    const __m128i blueZero = _mm_unpacklo_epi8(_mm_packus_epi16(blue, blue), _mm_setzero_si128());
    const __m128i first = TwelveBytes(_mm_unpacklo_epi16(redGreen, blueZero));
    const __m128i second = TwelveBytes(_mm_unpackhi_epi16(redGreen, blueZero));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_or_si128(first, _mm_slli_si128(second, 12)));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 16), _mm_srli_si128(second, 4));
}

void RowRgb24(const BYTE* in, int pairs, BYTE* out)
{
    int pair = 0;
    for (; pair + 4 <= pairs; pair += 4, in += 16, out += 24) {
        const EightPixels c = ConvertEight(in);
        Store24(out, c.red, c.green, c.blue);
    }
    plainConvertRows.rgb24(in, pairs - pair, out);
}

void RowRgb16(const BYTE* in, int pairs, BYTE* out)
{
    int pair = 0;
    for (; pair + 4 <= pairs; pair += 4, in += 16, out += 16)
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), Pack16(ConvertEight(in)));
    plainConvertRows.rgb16(in, pairs - pair, out);
}

void RowRgb24Double(const BYTE* in, int pairs, BYTE* out)
{
    int pair = 0;
    for (; pair + 4 <= pairs; pair += 4, in += 16, out += 48) {
        const EightPixels c = ConvertEight(in);
        Store24(out, _mm_unpacklo_epi16(c.red, c.red), _mm_unpacklo_epi16(c.green, c.green),
                _mm_unpacklo_epi16(c.blue, c.blue));
        Store24(out + 24, _mm_unpackhi_epi16(c.red, c.red), _mm_unpackhi_epi16(c.green, c.green),
                _mm_unpackhi_epi16(c.blue, c.blue));
    }
    plainConvertRows.rgb24Double(in, pairs - pair, out);
}

void RowRgb16Double(const BYTE* in, int pairs, BYTE* out)
{
    int pair = 0;
    for (; pair + 4 <= pairs; pair += 4, in += 16, out += 32) {
        const __m128i words = Pack16(ConvertEight(in));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi16(words, words));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16), _mm_unpackhi_epi16(words, words));
    }
    plainConvertRows.rgb16Double(in, pairs - pair, out);
}

}  // namespace

const ConvertRows sse2ConvertRows = {RowRgb24, RowRgb16, RowRgb24Double, RowRgb16Double};
#endif
