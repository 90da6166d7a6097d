// Linear stretching of 4:2:2 images in 13-bit fixed point (8192 = 1.0).
#pragma once

#include <cstddef>
#include <cstdint>

#include <windows.h>

#include "decode/simd.h"

// A destination of D pixels or rows needs D - 1 entries.
constexpr int kWeightEntries = 640;
constexpr int kMaxStretchSize = kWeightEntries + 1;

// Process-wide weight tables with the (source, destination) size pair each was built for;
// a pair of 0 means never built.
struct StretchSizePair {
    int source;
    int destination;
};
extern std::int32_t WidthWeights[kWeightEntries];
extern std::int32_t PairWeights[kWeightEntries];
extern std::int32_t HeightWeights[kWeightEntries];
extern StretchSizePair widthWeightsSizes;   // WidthWeights and PairWeights
extern StretchSizePair heightWeightsSizes;  // HeightWeights

// The same stretch across as WidthWeights and PairWeights describe, laid out per destination
// pixel and per destination pair so that the row loop has no branches; rebuilt with them.
struct WidthTaps {
    struct Row {
        std::int32_t at[kMaxStretchSize];      // byte offset of the source sample in the row
        std::int32_t nextAt[kMaxStretchSize];  // of the sample it blends toward
        std::int32_t nextWeight[kMaxStretchSize];
        std::int32_t weight[kMaxStretchSize];
        std::int32_t weights[kMaxStretchSize];  // weight in the low half, nextWeight in the high
    };
    Row luma;   // per pixel, offsets of Y
    Row pairs;  // per pair, offsets of the pair (Cr at + 1, Cb at + 3)
    // Destination pairs below this read whole 4-byte luma and 8-byte pair words inside the row;
    // the vector rows take those and leave the rest to the plain row.
    int wordSafePairs;
};
extern WidthTaps widthTaps;

// One destination row of ScaleWidth from the taps; in and out must not overlap. The plain row
// is the reference.
using WidthRow = void (*)(const BYTE* in, BYTE* out, int destinationWidth);
struct WidthRows {
    WidthRow plain;
    WidthRow sse2;  // where LORV_SSE2, else plain
    WidthRow avx2;  // where LORV_AVX2, else sse2; run only where CpuHasAvx2()
};
extern const WidthRows widthRows;
// Destination pixels [fromPair * 2, destinationWidth) of a row, the plain way.
void StretchRowFrom(const BYTE* in, BYTE* out, int destinationWidth, int fromPair);

// ScaleWidth with a given row function.
void ScaleWidthWith(WidthRow row, int sourceStride, int sourceWidth, int rows, const BYTE* source,
                    int destinationWidth, BYTE* destination);

// Source rows 2 * sourceStride bytes apart, destination rows 2 * destinationWidth. Needs even
// widths with sourceWidth <= destinationWidth <= kMaxStretchSize; otherwise writes nothing.
// The destination may overlap the source when both end at the same byte.
void ScaleWidth(int sourceStride, int sourceWidth, int rows, const BYTE* source,
                int destinationWidth, BYTE* destination);
// Rows 2 * stride bytes apart in both images; rowWidth pixels of each row are produced.
// Needs sourceRows <= destinationRows <= kMaxStretchSize; otherwise writes nothing.
void ScaleHeight(int stride, int rowWidth, int sourceRows, const BYTE* source, int destinationRows,
                 BYTE* destination);

// out[i] = (next[i] * nextWeight + current[i] * currentWeight) >> 13 for i < count. The plain
// loop is the reference; BlendRows is the fast one. out may lie at or before current.
void BlendRowsPlain(const BYTE* current, const BYTE* next, BYTE* out, std::ptrdiff_t count,
                    std::int32_t nextWeight, std::int32_t currentWeight);
void BlendRows(const BYTE* current, const BYTE* next, BYTE* out, std::ptrdiff_t count, std::int32_t nextWeight,
               std::int32_t currentWeight);
#if LORV_AVX2
LORV_AVX2_FUNCTION void StretchRowAvx2(const BYTE* in, BYTE* out, int destinationWidth);
LORV_AVX2_FUNCTION void BlendRowsAvx2(const BYTE* current, const BYTE* next, BYTE* out, std::ptrdiff_t count, std::int32_t nextWeight,
                   std::int32_t currentWeight);
#endif
