// Converter rows on AVX-512, sixteen pairs at a time: the AVX2 rows' arithmetic on 512-bit vectors,
// and the 24-bit pixels laid out by two byte permutes across the whole vector. The doubling rows
// are the AVX2 ones.
// GCC 12 takes the undefined pass-through operand inside its own 512-bit shift and broadcast
// intrinsics for an uninitialized variable.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include "decode/colour_conversion.h"

#include "decode/simd.h"

#if LORV_AVX512
#include <immintrin.h>

#include <array>

namespace {

// trunc(r * v / 125) per word, as in the SSE2 and AVX2 rows; the sign comes back by a masked
// negation.
LORV_AVX512_FUNCTION inline __m512i TruncRest(__m512i v, __m512i multipliers)
{
    const __m512i quotient = _mm512_mulhi_epu16(_mm512_abs_epi16(v), multipliers);
    return _mm512_mask_sub_epi16(quotient, _mm512_movepi16_mask(v), _mm512_setzero_si512(), quotient);
}

LORV_AVX512_FUNCTION inline __m512i RestMultipliers(int low, int high)
{
    const auto m = [](int r) { return static_cast<unsigned>((65536 * r + 124) / 125); };
    return _mm512_set1_epi32(static_cast<int>(m(low) | m(high) << 16));
}

LORV_AVX512_FUNCTION inline __m512i WordPair(int low, int high)
{
    return _mm512_set1_epi32(
        static_cast<int>((static_cast<unsigned>(low) & 0xFFFF) | static_cast<unsigned>(high) << 16));
}

constexpr __mmask32 kHighWords = 0xAAAAAAAA;

// Left and right pixels summed in their own lanes, back in pixel order (see the AVX2 rows).
LORV_AVX512_FUNCTION inline __m512i Channel(__m512i lumaLeft, __m512i lumaRight, __m512i pairTerm)
{
    const __m512i left = _mm512_srai_epi32(_mm512_add_epi32(lumaLeft, pairTerm), 12);
    const __m512i right = _mm512_slli_epi32(_mm512_add_epi32(lumaRight, pairTerm), 4);
    return _mm512_mask_blend_epi16(kHighWords, left, right);
}

struct ThirtyTwoPixels {
    __m512i red;
    __m512i green;
    __m512i blue;
};

LORV_AVX512_FUNCTION inline ThirtyTwoPixels ConvertThirtyTwo(const BYTE* in)
{
    const __m512i pairs = _mm512_loadu_si512(in);
    const __m512i y = _mm512_sub_epi16(_mm512_and_si512(pairs, _mm512_set1_epi16(0xFF)), _mm512_set1_epi16(16));
    const __m512i c = _mm512_sub_epi16(_mm512_srli_epi16(pairs, 8), _mm512_set1_epi16(128));
    const __m512i swapped = _mm512_shuffle_epi8(
        y, _mm512_broadcast_i32x4(_mm_setr_epi8(2, 3, 0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13)));
    const __m512i swappedRest = TruncRest(swapped, RestMultipliers(93, 93));
    const __m512i redBlueRest = TruncRest(c, RestMultipliers(27, 91));
    const __m512i greenRest = TruncRest(c, RestMultipliers(6, 67));
    const __m512i lumaLeft = _mm512_madd_epi16(_mm512_mask_blend_epi16(kHighWords, y, swappedRest), WordPair(4767, 1));
    const __m512i lumaRight =
        _mm512_madd_epi16(_mm512_mask_blend_epi16(kHighWords, swappedRest, y), WordPair(1, 4767));
    const __m512i redWords = _mm512_mask_blend_epi16(kHighWords, c, _mm512_slli_epi32(redBlueRest, 16));
    const __m512i blueWords = _mm512_mask_blend_epi16(kHighWords, _mm512_srli_epi32(c, 16), redBlueRest);
    const __m512i red = _mm512_madd_epi16(redWords, WordPair(6537, 1));
    const __m512i blue = _mm512_madd_epi16(blueWords, WordPair(8265, 1));
    const __m512i green =
        _mm512_add_epi32(_mm512_madd_epi16(c, WordPair(-3330, -1601)), _mm512_madd_epi16(greenRest, WordPair(-1, -1)));
    return {Channel(lumaLeft, lumaRight, red), Channel(lumaLeft, lumaRight, green), Channel(lumaLeft, lumaRight, blue)};
}

LORV_AVX512_FUNCTION inline __m512i ClampByte(__m512i v)
{
    return _mm512_min_epi16(_mm512_max_epi16(v, _mm512_setzero_si512()), _mm512_set1_epi16(255));
}

LORV_AVX512_FUNCTION inline __m512i Pack16(const ThirtyTwoPixels& c)
{
    const __m512i red = _mm512_srli_epi16(ClampByte(c.red), 3);
    const __m512i green = _mm512_slli_epi16(_mm512_srli_epi16(ClampByte(c.green), 3), 5);
    const __m512i blue = _mm512_slli_epi16(_mm512_srli_epi16(ClampByte(c.blue), 3), 10);
    return _mm512_or_si512(red, _mm512_or_si512(green, blue));
}

// Where each of the 96 output bytes comes from in (red-green bytes, blue bytes): per 128-bit
// half-lane packus leaves pixel 8L + i's red at 16L + i, its green at 16L + 8 + i, and its blue
// at 16L + i of the second source (64 on).
struct Layout24 {
    alignas(64) std::array<unsigned char, 128> index;
};

constexpr Layout24 MakeLayout24()
{
    Layout24 layout{};
    for (int k = 0; k < 96; ++k) {
        const int pixel = k / 3, lane = pixel / 8, i = pixel % 8;
        const int base = 16 * lane + i;
        layout.index[static_cast<std::size_t>(k)] =
            static_cast<unsigned char>(k % 3 == 0 ? base : k % 3 == 1 ? base + 8 : 64 + base);
    }
    return layout;
}

constexpr Layout24 kLayout24 = MakeLayout24();

// Thirty-two pixels as 96 bytes; packus does the clamp.
LORV_AVX512_FUNCTION inline void Store24(BYTE* out, const ThirtyTwoPixels& c)
{
    const __m512i redGreen = _mm512_packus_epi16(c.red, c.green);
    const __m512i blues = _mm512_packus_epi16(c.blue, c.blue);
    const __m512i first = _mm512_loadu_si512(kLayout24.index.data());
    const __m512i last = _mm512_loadu_si512(kLayout24.index.data() + 64);
    _mm512_storeu_si512(out, _mm512_permutex2var_epi8(redGreen, first, blues));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 64),
                        _mm512_castsi512_si256(_mm512_permutex2var_epi8(redGreen, last, blues)));
}

LORV_AVX512_FUNCTION void RowRgb24(const BYTE* in, int pairs, BYTE* out)
{
    int pair = 0;
    for (; pair + 16 <= pairs; pair += 16, in += 64, out += 96)
        Store24(out, ConvertThirtyTwo(in));
    avx2ConvertRows.rgb24(in, pairs - pair, out);
}

LORV_AVX512_FUNCTION void RowRgb16(const BYTE* in, int pairs, BYTE* out)
{
    int pair = 0;
    for (; pair + 16 <= pairs; pair += 16, in += 64, out += 64)
        _mm512_storeu_si512(out, Pack16(ConvertThirtyTwo(in)));
    avx2ConvertRows.rgb16(in, pairs - pair, out);
}

void RowRgb24Double(const BYTE* in, int pairs, BYTE* out) { avx2ConvertRows.rgb24Double(in, pairs, out); }

void RowRgb16Double(const BYTE* in, int pairs, BYTE* out) { avx2ConvertRows.rgb16Double(in, pairs, out); }

}  // namespace

const ConvertRows avx512ConvertRows = {RowRgb24, RowRgb16, RowRgb24Double, RowRgb16Double};
#endif
