// Linear stretching of 4:2:2 images in 13-bit fixed point (8192 = 1.0).
#pragma once

#include <cstdint>

#include <windows.h>

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

// Source rows 2 * sourceStride bytes apart, destination rows 2 * destinationWidth. Needs even
// widths with sourceWidth <= destinationWidth <= kMaxStretchSize; otherwise writes nothing.
// The destination may overlap the source when both end at the same byte.
void ScaleWidth(int sourceStride, int sourceWidth, int rows, const BYTE* source,
                int destinationWidth, BYTE* destination);
// Rows 2 * stride bytes apart in both images; rowWidth pixels of each row are produced.
// Needs sourceRows <= destinationRows <= kMaxStretchSize; otherwise writes nothing.
void ScaleHeight(int stride, int rowWidth, int sourceRows, const BYTE* source, int destinationRows,
                 BYTE* destination);
