#include "decode/stretch.h"

#include <cstddef>
#include <cstring>

#if LORV_SSE2
#include <emmintrin.h>
#endif

std::int32_t WidthWeights[kWeightEntries];
std::int32_t PairWeights[kWeightEntries];
std::int32_t HeightWeights[kWeightEntries];
StretchSizePair widthWeightsSizes;
StretchSizePair heightWeightsSizes;
WidthTaps widthTaps;

namespace {

// entry i = floor(8192 * i / (count - 1)) for i = 0 .. count - 2.
void BuildWeights(std::int32_t* weights, int count)
{
    for (int i = 0; i + 1 < count; ++i)
        weights[i] = 8192 * i / (count - 1);
}

// Walks the positions of one stretch (source index p and fraction f, for pixels or pairs) and
// records per destination sample the two source offsets and their weights. Where f = 0 the
// sample is the source sample itself: blending it with itself at weights 0 and 8192 gives it
// back exactly and reads nothing beyond it.
void BuildTaps(WidthTaps::Row& taps, const std::int32_t* weights, int sourceCount, int destinationCount,
               int bytesPerSample)
{
    const int d = destinationCount - 1;
    const int s = sourceCount - 1;
    int p = 0;
    int f = 0;
    for (int x = 0; x < destinationCount; ++x) {
        taps.at[x] = bytesPerSample * p;
        taps.nextAt[x] = f == 0 ? taps.at[x] : bytesPerSample * (p + 1);
        taps.nextWeight[x] = f == 0 ? 0 : weights[f];
        taps.weight[x] = f == 0 ? 8192 : weights[d - f];
        taps.weights[x] = taps.weight[x] | taps.nextWeight[x] << 16;
        f += s;
        if (f >= d) {
            f -= d;
            ++p;
        }
    }
}

inline BYTE Blend(BYTE next, std::int32_t nextWeight, BYTE current, std::int32_t currentWeight)
{
    return static_cast<BYTE>((next * nextWeight + current * currentWeight) >> 13);
}

// The first destination pair whose words would reach past a row of rowBytes.
int WordSafePairs(int destinationWidth, int rowBytes)
{
    int k = 0;
    while (k < destinationWidth / 2 && widthTaps.pairs.at[k] + 8 <= rowBytes && widthTaps.luma.at[2 * k + 1] + 4 <= rowBytes)
        ++k;
    return k;
}

void StretchRowPlain(const BYTE* in, BYTE* out, int destinationWidth) { StretchRowFrom(in, out, destinationWidth, 0); }

}  // namespace

void StretchRowFrom(const BYTE* in, BYTE* out, int destinationWidth, int fromPair)
{
    const WidthTaps::Row& luma = widthTaps.luma;
    for (int x = 2 * fromPair; x < destinationWidth; ++x)
        out[2 * x] = Blend(in[luma.nextAt[x]], luma.nextWeight[x], in[luma.at[x]], luma.weight[x]);
    const WidthTaps::Row& pairs = widthTaps.pairs;
    for (int k = fromPair; k < destinationWidth / 2; ++k) {
        const BYTE* pair = in + pairs.at[k];
        const BYTE* nextPair = in + pairs.nextAt[k];
        out[4 * k + 1] = Blend(nextPair[1], pairs.nextWeight[k], pair[1], pairs.weight[k]);
        out[4 * k + 3] = Blend(nextPair[3], pairs.nextWeight[k], pair[3], pairs.weight[k]);
    }
}

#if LORV_SSE2
namespace {

inline std::int32_t Load32(const BYTE* p)
{
    std::int32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

inline std::int64_t Load64(const BYTE* p)
{
    std::int64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

// Two destination pairs at a time: each luma word holds Y(p) and Y(p + 1) two bytes apart,
// each pair word Cr and Cb of pairs q and q + 1, so one pmaddwd blends them with their weights.
void StretchRowSse2(const BYTE* in, BYTE* out, int destinationWidth)
{
    const WidthTaps& t = widthTaps;
    const __m128i lowBytes = _mm_set1_epi16(0xFF);
    int k = 0;
    for (; k + 2 <= t.wordSafePairs; k += 2) {
        const int x = 2 * k;
        const __m128i lumaWords = _mm_setr_epi32(Load32(in + t.luma.at[x]), Load32(in + t.luma.at[x + 1]),
                                                 Load32(in + t.luma.at[x + 2]), Load32(in + t.luma.at[x + 3]));
        const __m128i luma = _mm_srli_epi32(
            _mm_madd_epi16(_mm_and_si128(lumaWords, lowBytes),
                           _mm_loadu_si128(reinterpret_cast<const __m128i*>(t.luma.weights + x))),
            13);
        const __m128i pairWords = _mm_set_epi64x(Load64(in + t.pairs.at[k + 1]), Load64(in + t.pairs.at[k]));
        // Cr, Cb, Cr', Cb' to Cr, Cr', Cb, Cb' in each half.
        const __m128i chroma = _mm_shufflehi_epi16(_mm_shufflelo_epi16(_mm_srli_epi16(pairWords, 8), _MM_SHUFFLE(3, 1, 2, 0)),
                                                   _MM_SHUFFLE(3, 1, 2, 0));
        const __m128i pairWeights = _mm_setr_epi32(t.pairs.weights[k], t.pairs.weights[k], t.pairs.weights[k + 1],
                                                   t.pairs.weights[k + 1]);
        const __m128i crCb = _mm_srli_epi32(_mm_madd_epi16(chroma, pairWeights), 13);
        const __m128i words = _mm_packs_epi32(_mm_unpacklo_epi32(luma, crCb), _mm_unpackhi_epi32(luma, crCb));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 2 * x), _mm_packus_epi16(words, words));
    }
    StretchRowFrom(in, out, destinationWidth, k);
}

}  // namespace
#endif

const WidthRows widthRows = {
    StretchRowPlain,
#if LORV_SSE2
    StretchRowSse2,
#else
    StretchRowPlain,
#endif
#if LORV_AVX2
    StretchRowAvx2,
#elif LORV_SSE2
    StretchRowSse2,
#else
    StretchRowPlain,
#endif
};

void ScaleWidth(int sourceStride, int sourceWidth, int rows, const BYTE* source, int destinationWidth,
                BYTE* destination)
{
    ScaleWidthWith(CpuHasAvx2() ? widthRows.avx2 : widthRows.sse2, sourceStride, sourceWidth, rows, source,
                   destinationWidth, destination);
}

void ScaleWidthWith(WidthRow row, int sourceStride, int sourceWidth, int rows, const BYTE* source,
                    int destinationWidth, BYTE* destination)
{
    // Odd widths would put a pair's Cb past the row; a shrink would step past the weights.
    if (sourceWidth < 2 || sourceWidth % 2 != 0 || destinationWidth % 2 != 0 || sourceWidth > destinationWidth ||
        destinationWidth > kMaxStretchSize || sourceStride < sourceWidth || rows < 0)
        return;
    if (widthWeightsSizes.source != sourceWidth || widthWeightsSizes.destination != destinationWidth) {
        BuildWeights(WidthWeights, destinationWidth);
        BuildWeights(PairWeights, destinationWidth / 2);
        BuildTaps(widthTaps.luma, WidthWeights, sourceWidth, destinationWidth, 2);
        BuildTaps(widthTaps.pairs, PairWeights, sourceWidth / 2, destinationWidth / 2, 4);
        widthTaps.wordSafePairs = WordSafePairs(destinationWidth, 2 * sourceWidth);
        widthWeightsSizes = {sourceWidth, destinationWidth};
    }
    // A row is built aside and then stored: near the end of an in-place stretch the destination
    // row overlaps its own source row, though never a later one.
    BYTE built[2 * kMaxStretchSize];
    const std::ptrdiff_t inRowBytes = 2 * static_cast<std::ptrdiff_t>(sourceStride);
    const std::ptrdiff_t outRowBytes = 2 * static_cast<std::ptrdiff_t>(destinationWidth);
    for (int r = 0; r < rows; ++r) {
        row(source + r * inRowBytes, built, destinationWidth);
        std::memcpy(destination + r * outRowBytes, built, static_cast<std::size_t>(outRowBytes));
    }
}

void BlendRowsPlain(const BYTE* current, const BYTE* next, BYTE* out, std::ptrdiff_t count,
                    std::int32_t nextWeight, std::int32_t currentWeight)
{
    for (std::ptrdiff_t i = 0; i < count; ++i)
        out[i] = Blend(next[i], nextWeight, current[i], currentWeight);
}

// 16 bytes at a time: each byte and its counterpart in the next row are one 16-bit pair
// multiplied by the pair of weights and summed (pmaddwd), exact in 32 bits.
void BlendRows(const BYTE* current, const BYTE* next, BYTE* out, std::ptrdiff_t count, std::int32_t nextWeight,
               std::int32_t currentWeight)
{
    std::ptrdiff_t i = 0;
#if LORV_SSE2
    const __m128i weights = _mm_set1_epi32(static_cast<int>((currentWeight & 0xFFFF) | (nextWeight << 16)));
    const __m128i zero = _mm_setzero_si128();
    for (; i + 16 <= count; i += 16) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(current + i));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(next + i));
        const __m128i aLow = _mm_unpacklo_epi8(a, zero);
        const __m128i aHigh = _mm_unpackhi_epi8(a, zero);
        const __m128i bLow = _mm_unpacklo_epi8(b, zero);
        const __m128i bHigh = _mm_unpackhi_epi8(b, zero);
        const __m128i s0 = _mm_srli_epi32(_mm_madd_epi16(_mm_unpacklo_epi16(aLow, bLow), weights), 13);
        const __m128i s1 = _mm_srli_epi32(_mm_madd_epi16(_mm_unpackhi_epi16(aLow, bLow), weights), 13);
        const __m128i s2 = _mm_srli_epi32(_mm_madd_epi16(_mm_unpacklo_epi16(aHigh, bHigh), weights), 13);
        const __m128i s3 = _mm_srli_epi32(_mm_madd_epi16(_mm_unpackhi_epi16(aHigh, bHigh), weights), 13);
        const __m128i bytes = _mm_packus_epi16(_mm_packs_epi32(s0, s1), _mm_packs_epi32(s2, s3));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), bytes);
    }
#endif
    BlendRowsPlain(current + i, next + i, out + i, count - i, nextWeight, currentWeight);
}

// In place, each destination row starts at or before the source rows it reads, and bytes are
// read before the same position is written, so a forward pass never loses a needed byte.
void ScaleHeight(int stride, int rowWidth, int sourceRows, const BYTE* source, int destinationRows,
                 BYTE* destination)
{
    if (sourceRows < 1 || sourceRows > destinationRows || destinationRows > kMaxStretchSize || rowWidth < 0 ||
        rowWidth > stride)
        return;
    if (heightWeightsSizes.source != sourceRows || heightWeightsSizes.destination != destinationRows) {
        BuildWeights(HeightWeights, destinationRows);
        heightWeightsSizes = {sourceRows, destinationRows};
    }
#if LORV_AVX2
    const auto blend = CpuHasAvx2() ? BlendRowsAvx2 : BlendRows;
#else
    const auto blend = BlendRows;
#endif
    const int d = destinationRows - 1;
    const int s = sourceRows - 1;
    const std::ptrdiff_t rowBytes = 2 * static_cast<std::ptrdiff_t>(stride);
    const std::ptrdiff_t count = 2 * static_cast<std::ptrdiff_t>(rowWidth);
    int r = 0;
    int f = 0;
    for (int y = 0; y < destinationRows; ++y) {
        const BYTE* current = source + r * rowBytes;
        BYTE* out = destination + y * rowBytes;
        if (f == 0)
            std::memmove(out, current, static_cast<std::size_t>(count));
        else
            blend(current, current + rowBytes, out, count, HeightWeights[f], HeightWeights[d - f]);
        f += s;
        if (f >= d) {
            f -= d;
            ++r;
        }
    }
}
