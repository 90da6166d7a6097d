// The stretches on AVX2: ScaleWidth's row, ScaleHeight's blend 32 bytes at a time.
#include "decode/stretch.h"

#if LORV_AVX2
#include <immintrin.h>

#include <cstring>

namespace {

inline int Load32(const BYTE* p)
{
    int v;
    std::memcpy(&v, p, 4);
    return v;
}

inline long long Load64(const BYTE* p)
{
    long long v;
    std::memcpy(&v, p, 8);
    return v;
}

}  // namespace

// Four destination pairs at a time, as the SSE2 row does it. Plain loads build the words:
// gathers measured slower here.
LORV_AVX2_FUNCTION void StretchRowAvx2(const BYTE* in, BYTE* out, int destinationWidth)
{
    const WidthTaps& t = widthTaps;
    const __m256i lowBytes = _mm256_set1_epi16(0xFF);
    const __m256i crToPairs = _mm256_setr_epi8(0, 1, 4, 5, 2, 3, 6, 7, 8, 9, 12, 13, 10, 11, 14, 15, 0, 1, 4, 5, 2, 3, 6,
                                               7, 8, 9, 12, 13, 10, 11, 14, 15);
    const __m256i pairWeightOrder = _mm256_setr_epi32(0, 0, 1, 1, 2, 2, 3, 3);
    int k = 0;
    for (; k + 4 <= t.wordSafePairs; k += 4) {
        const int x = 2 * k;
        const std::int32_t* lumaAt = t.luma.at + x;
        const __m256i lumaWords = _mm256_setr_epi32(Load32(in + lumaAt[0]), Load32(in + lumaAt[1]), Load32(in + lumaAt[2]),
                                                    Load32(in + lumaAt[3]), Load32(in + lumaAt[4]), Load32(in + lumaAt[5]),
                                                    Load32(in + lumaAt[6]), Load32(in + lumaAt[7]));
        const __m256i luma = _mm256_srli_epi32(
            _mm256_madd_epi16(_mm256_and_si256(lumaWords, lowBytes),
                              _mm256_loadu_si256(reinterpret_cast<const __m256i*>(t.luma.weights + x))),
            13);
        const std::int32_t* pairAt = t.pairs.at + k;
        const __m256i pairWords = _mm256_setr_epi64x(Load64(in + pairAt[0]), Load64(in + pairAt[1]), Load64(in + pairAt[2]),
                                                     Load64(in + pairAt[3]));
        const __m256i chroma = _mm256_shuffle_epi8(_mm256_srli_epi16(pairWords, 8), crToPairs);
        const __m256i pairWeights = _mm256_permutevar8x32_epi32(
            _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(t.pairs.weights + k))),
            pairWeightOrder);
        const __m256i crCb = _mm256_srli_epi32(_mm256_madd_epi16(chroma, pairWeights), 13);
        // Per half: luma of pixels 4h..4h+3 and Cr, Cb of pairs 2h, 2h + 1.
        const __m256i words = _mm256_packs_epi32(_mm256_unpacklo_epi32(luma, crCb), _mm256_unpackhi_epi32(luma, crCb));
        const __m256i bytes = _mm256_permute4x64_epi64(_mm256_packus_epi16(words, words), _MM_SHUFFLE(3, 1, 2, 0));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * x), _mm256_castsi256_si128(bytes));
    }
    StretchRowFrom(in, out, destinationWidth, k);
}

LORV_AVX2_FUNCTION void BlendRowsAvx2(const BYTE* current, const BYTE* next, BYTE* out, std::ptrdiff_t count,
                                      std::int32_t nextWeight, std::int32_t currentWeight)
{
    std::ptrdiff_t i = 0;
    const __m256i weights = _mm256_set1_epi32(static_cast<int>((currentWeight & 0xFFFF) | (nextWeight << 16)));
    const __m256i zero = _mm256_setzero_si256();
    for (; i + 32 <= count; i += 32) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(current + i));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(next + i));
        const __m256i aLow = _mm256_unpacklo_epi8(a, zero);
        const __m256i aHigh = _mm256_unpackhi_epi8(a, zero);
        const __m256i bLow = _mm256_unpacklo_epi8(b, zero);
        const __m256i bHigh = _mm256_unpackhi_epi8(b, zero);
        const __m256i s0 = _mm256_srli_epi32(_mm256_madd_epi16(_mm256_unpacklo_epi16(aLow, bLow), weights), 13);
        const __m256i s1 = _mm256_srli_epi32(_mm256_madd_epi16(_mm256_unpackhi_epi16(aLow, bLow), weights), 13);
        const __m256i s2 = _mm256_srli_epi32(_mm256_madd_epi16(_mm256_unpacklo_epi16(aHigh, bHigh), weights), 13);
        const __m256i s3 = _mm256_srli_epi32(_mm256_madd_epi16(_mm256_unpackhi_epi16(aHigh, bHigh), weights), 13);
        // Every unpack and pack stays within its half, so the bytes come back in order.
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i),
                            _mm256_packus_epi16(_mm256_packs_epi32(s0, s1), _mm256_packs_epi32(s2, s3)));
    }
    BlendRows(current + i, next + i, out + i, count - i, nextWeight, currentWeight);
}
#endif
