#include "decode/stretch.h"

#include <cstddef>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#define LORV_STRETCH_SSE2 1
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

// One row of ScaleWidth into out; in and out must not overlap.
void StretchRow(const BYTE* in, BYTE* out, int destinationWidth)
{
    const WidthTaps::Row& luma = widthTaps.luma;
    for (int x = 0; x < destinationWidth; ++x)
        out[2 * x] = Blend(in[luma.nextAt[x]], luma.nextWeight[x], in[luma.at[x]], luma.weight[x]);
    const WidthTaps::Row& pairs = widthTaps.pairs;
    for (int k = 0; k < destinationWidth / 2; ++k) {
        const BYTE* pair = in + pairs.at[k];
        const BYTE* nextPair = in + pairs.nextAt[k];
        out[4 * k + 1] = Blend(nextPair[1], pairs.nextWeight[k], pair[1], pairs.weight[k]);
        out[4 * k + 3] = Blend(nextPair[3], pairs.nextWeight[k], pair[3], pairs.weight[k]);
    }
}

}  // namespace

void ScaleWidth(int sourceStride, int sourceWidth, int rows, const BYTE* source, int destinationWidth,
                BYTE* destination)
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
        widthWeightsSizes = {sourceWidth, destinationWidth};
    }
    // A row is built aside and then stored: near the end of an in-place stretch the destination
    // row overlaps its own source row, though never a later one.
    BYTE row[2 * kMaxStretchSize];
    const std::ptrdiff_t inRowBytes = 2 * static_cast<std::ptrdiff_t>(sourceStride);
    const std::ptrdiff_t outRowBytes = 2 * static_cast<std::ptrdiff_t>(destinationWidth);
    for (int r = 0; r < rows; ++r) {
        StretchRow(source + r * inRowBytes, row, destinationWidth);
        std::memcpy(destination + r * outRowBytes, row, static_cast<std::size_t>(outRowBytes));
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
#if LORV_STRETCH_SSE2
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
            BlendRows(current, current + rowBytes, out, count, HeightWeights[f], HeightWeights[d - f]);
        f += s;
        if (f >= d) {
            f -= d;
            ++r;
        }
    }
}
