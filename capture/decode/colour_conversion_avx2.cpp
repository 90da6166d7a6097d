// Converter rows on AVX2, eight pairs at a time: the SSE2 rows' terms on 256-bit vectors, with the
// luma of each pair's left and right pixels summed in separate 32-bit lanes so that the pair's
// chroma terms need no spreading. Each 128-bit half holds four pairs, so the pixels stay in order
// within a half.
#include "decode/colour_conversion.h"

#include "decode/simd.h"

#if LORV_AVX2
#include <immintrin.h>

namespace {

// trunc(r * v / 125) per word, r given per word: floor(|v| * ceil(2^16 r / 125) / 2^16) is exact
// for |v| <= 239, the rounding up staying below the 1/125 a non-integer quotient keeps.
LORV_AVX2_FUNCTION inline __m256i TruncRest(__m256i magnitude, __m256i v, __m256i multipliers)
{
    return _mm256_sign_epi16(_mm256_mulhi_epu16(magnitude, multipliers), v);
}

LORV_AVX2_FUNCTION inline __m256i RestMultipliers(int low, int high)
{
    const auto m = [](int r) { return static_cast<unsigned>((65536 * r + 124) / 125); };
    return _mm256_set1_epi32(static_cast<int>(m(low) | m(high) << 16));
}

LORV_AVX2_FUNCTION inline __m256i WordPair(int low, int high)
{
    return _mm256_set1_epi32(
        static_cast<int>((static_cast<unsigned>(low) & 0xFFFF) | static_cast<unsigned>(high) << 16));
}

// (luma + pair term) >> 12 for the pairs' left and right pixels, back in pixel order: the left
// sum shifted down keeps its value in the low word, the right sum shifted up by 4 has it in the
// high word. Not yet clamped.
LORV_AVX2_FUNCTION inline __m256i Channel(__m256i lumaLeft, __m256i lumaRight, __m256i pairTerm)
{
    const __m256i left = _mm256_srai_epi32(_mm256_add_epi32(lumaLeft, pairTerm), 12);
    const __m256i right = _mm256_slli_epi32(_mm256_add_epi32(lumaRight, pairTerm), 4);
    return _mm256_blend_epi16(left, right, 0xAA);
}

struct SixteenPixels {
    __m256i red;
    __m256i green;
    __m256i blue;
};

LORV_AVX2_FUNCTION inline SixteenPixels ConvertSixteen(const BYTE* in)
{
    const __m256i pairs = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in));
    const __m256i y = _mm256_sub_epi16(_mm256_and_si256(pairs, _mm256_set1_epi16(0xFF)), _mm256_set1_epi16(16));
    const __m256i c = _mm256_sub_epi16(_mm256_srli_epi16(pairs, 8), _mm256_set1_epi16(128));
    // The rests of the swapped luma words, so that a blend pairs each pixel with its own rest.
    const __m256i swapped = _mm256_shuffle_epi8(
        y, _mm256_setr_epi8(2, 3, 0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13, 2, 3, 0, 1, 6, 7, 4, 5, 10, 11, 8,
                            9, 14, 15, 12, 13));
    const __m256i swappedRest = TruncRest(_mm256_abs_epi16(swapped), swapped, RestMultipliers(93, 93));
    const __m256i cMagnitude = _mm256_abs_epi16(c);
    const __m256i redBlueRest = TruncRest(cMagnitude, c, RestMultipliers(27, 91));
    const __m256i greenRest = TruncRest(cMagnitude, c, RestMultipliers(6, 67));
    const __m256i lumaLeft = _mm256_madd_epi16(_mm256_blend_epi16(y, swappedRest, 0xAA), WordPair(4767, 1));
    const __m256i lumaRight = _mm256_madd_epi16(_mm256_blend_epi16(swappedRest, y, 0xAA), WordPair(1, 4767));
    // (Cr, red rest) and (Cb, blue rest) word pairs: one multiply each.
    const __m256i redWords = _mm256_blend_epi16(c, _mm256_slli_epi32(redBlueRest, 16), 0xAA);
    const __m256i blueWords = _mm256_blend_epi16(_mm256_srli_epi32(c, 16), redBlueRest, 0xAA);
    const __m256i red = _mm256_madd_epi16(redWords, WordPair(6537, 1));
    const __m256i blue = _mm256_madd_epi16(blueWords, WordPair(8265, 1));
    const __m256i green = _mm256_add_epi32(_mm256_madd_epi16(c, WordPair(-3330, -1601)),
                                           _mm256_madd_epi16(greenRest, WordPair(-1, -1)));
    return {Channel(lumaLeft, lumaRight, red), Channel(lumaLeft, lumaRight, green), Channel(lumaLeft, lumaRight, blue)};
}

LORV_AVX2_FUNCTION inline __m256i ClampByte(__m256i v)
{
    return _mm256_min_epi16(_mm256_max_epi16(v, _mm256_setzero_si256()), _mm256_set1_epi16(255));
}

LORV_AVX2_FUNCTION inline __m256i Pack16(const SixteenPixels& c)
{
    const __m256i red = _mm256_srli_epi16(ClampByte(c.red), 3);
    const __m256i green = _mm256_slli_epi16(_mm256_srli_epi16(ClampByte(c.green), 3), 5);
    const __m256i blue = _mm256_slli_epi16(_mm256_srli_epi16(ClampByte(c.blue), 3), 10);
    return _mm256_or_si256(red, _mm256_or_si256(green, blue));
}

// Each half's eight pixels as 24 bytes, the low half's at low and the high half's at high;
// packus does the clamp. Bytes 0-7 of redGreen are red, 8-15 green; blue is in 0-7 of blues.
LORV_AVX2_FUNCTION inline void Store24(BYTE* low, BYTE* high, __m256i red, __m256i green, __m256i blue)
{
    const __m256i redGreen = _mm256_packus_epi16(red, green);
    const __m256i blues = _mm256_packus_epi16(blue, blue);
    const signed char z = -128;  // pshufb: a set top bit gives 0
    const __m256i firstRedGreen =
        _mm256_setr_epi8(0, 8, z, 1, 9, z, 2, 10, z, 3, 11, z, 4, 12, z, 5, 0, 8, z, 1, 9, z, 2, 10, z, 3, 11, z, 4, 12, z, 5);
    const __m256i firstBlue =
        _mm256_setr_epi8(z, z, 0, z, z, 1, z, z, 2, z, z, 3, z, z, 4, z, z, z, 0, z, z, 1, z, z, 2, z, z, 3, z, z, 4, z);
    const __m256i lastRedGreen =
        _mm256_setr_epi8(13, z, 6, 14, z, 7, 15, z, z, z, z, z, z, z, z, z, 13, z, 6, 14, z, 7, 15, z, z, z, z, z, z, z, z, z);
    const __m256i lastBlue =
        _mm256_setr_epi8(z, 5, z, z, 6, z, z, 7, z, z, z, z, z, z, z, z, z, 5, z, z, 6, z, z, 7, z, z, z, z, z, z, z, z);
    const __m256i first =
        _mm256_or_si256(_mm256_shuffle_epi8(redGreen, firstRedGreen), _mm256_shuffle_epi8(blues, firstBlue));
    const __m256i last = _mm256_or_si256(_mm256_shuffle_epi8(redGreen, lastRedGreen), _mm256_shuffle_epi8(blues, lastBlue));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(low), _mm256_castsi256_si128(first));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(low + 16), _mm256_castsi256_si128(last));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(high), _mm256_extracti128_si256(first, 1));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(high + 16), _mm256_extracti128_si256(last, 1));
}

LORV_AVX2_FUNCTION void RowRgb24(const BYTE* in, int pairs, BYTE* out)
{
    int pair = 0;
    for (; pair + 8 <= pairs; pair += 8, in += 32, out += 48) {
        const SixteenPixels c = ConvertSixteen(in);
        Store24(out, out + 24, c.red, c.green, c.blue);
    }
    sse2ConvertRows.rgb24(in, pairs - pair, out);
}

LORV_AVX2_FUNCTION void RowRgb16(const BYTE* in, int pairs, BYTE* out)
{
    int pair = 0;
    for (; pair + 8 <= pairs; pair += 8, in += 32, out += 32)
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), Pack16(ConvertSixteen(in)));
    sse2ConvertRows.rgb16(in, pairs - pair, out);
}

// Doubling within a half gives pixels 0-3 | 8-11 and 4-7 | 12-15.
LORV_AVX2_FUNCTION void RowRgb24Double(const BYTE* in, int pairs, BYTE* out)
{
    int pair = 0;
    for (; pair + 8 <= pairs; pair += 8, in += 32, out += 96) {
        const SixteenPixels c = ConvertSixteen(in);
        Store24(out, out + 48, _mm256_unpacklo_epi16(c.red, c.red), _mm256_unpacklo_epi16(c.green, c.green),
                _mm256_unpacklo_epi16(c.blue, c.blue));
        Store24(out + 24, out + 72, _mm256_unpackhi_epi16(c.red, c.red), _mm256_unpackhi_epi16(c.green, c.green),
                _mm256_unpackhi_epi16(c.blue, c.blue));
    }
    sse2ConvertRows.rgb24Double(in, pairs - pair, out);
}

LORV_AVX2_FUNCTION void RowRgb16Double(const BYTE* in, int pairs, BYTE* out)
{
    int pair = 0;
    for (; pair + 8 <= pairs; pair += 8, in += 32, out += 64) {
        const __m256i words = Pack16(ConvertSixteen(in));
        const __m256i low = _mm256_unpacklo_epi16(words, words);
        const __m256i high = _mm256_unpackhi_epi16(words, words);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm256_permute2x128_si256(low, high, 0x20));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 32), _mm256_permute2x128_si256(low, high, 0x31));
    }
    sse2ConvertRows.rgb16Double(in, pairs - pair, out);
}

}  // namespace

const ConvertRows avx2ConvertRows = {RowRgb24, RowRgb16, RowRgb24Double, RowRgb16Double};
#endif
