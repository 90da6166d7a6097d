#include "decode/stretch.h"

#include <cstddef>
#include <cstring>

std::int32_t WidthWeights[kWeightEntries];
std::int32_t PairWeights[kWeightEntries];
std::int32_t HeightWeights[kWeightEntries];
StretchSizePair widthWeightsSizes;
StretchSizePair heightWeightsSizes;

namespace {

// entry i = floor(8192 * i / (count - 1)) for i = 0 .. count - 2.
void BuildWeights(std::int32_t* weights, int count)
{
    for (int i = 0; i + 1 < count; ++i)
        weights[i] = 8192 * i / (count - 1);
}

inline BYTE Blend(BYTE next, std::int32_t nextWeight, BYTE current, std::int32_t currentWeight)
{
    return static_cast<BYTE>((next * nextWeight + current * currentWeight) >> 13);
}

// One row of ScaleWidth into out; in and out must not overlap.
void StretchRow(const BYTE* in, int sourceWidth, BYTE* out, int destinationWidth)
{
    const int d = destinationWidth - 1;
    const int dc = destinationWidth / 2 - 1;
    const int s = sourceWidth - 1;
    const int sc = sourceWidth / 2 - 1;
    int p = 0;
    int f = 0;
    int q = 0;
    int g = 0;
    for (int x = 0; x < destinationWidth; ++x) {
        out[2 * x] = f == 0 ? in[2 * p] : Blend(in[2 * p + 2], WidthWeights[f], in[2 * p], WidthWeights[d - f]);
        if ((x & 1) == 0) {
            const BYTE* pair = in + 4 * q;
            if (g == 0) {
                out[2 * x + 1] = pair[1];
                out[2 * x + 3] = pair[3];
            } else {
                out[2 * x + 1] = Blend(pair[5], PairWeights[g], pair[1], PairWeights[dc - g]);
                out[2 * x + 3] = Blend(pair[7], PairWeights[g], pair[3], PairWeights[dc - g]);
            }
            g += sc;
            if (g >= dc) {
                g -= dc;
                ++q;
            }
        }
        f += s;
        if (f >= d) {
            f -= d;
            ++p;
        }
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
        widthWeightsSizes = {sourceWidth, destinationWidth};
    }
    // A row is built aside and then stored: near the end of an in-place stretch the destination
    // row overlaps its own source row, though never a later one.
    BYTE row[2 * kMaxStretchSize];
    const std::ptrdiff_t inRowBytes = 2 * static_cast<std::ptrdiff_t>(sourceStride);
    const std::ptrdiff_t outRowBytes = 2 * static_cast<std::ptrdiff_t>(destinationWidth);
    for (int r = 0; r < rows; ++r) {
        StretchRow(source + r * inRowBytes, sourceWidth, row, destinationWidth);
        std::memcpy(destination + r * outRowBytes, row, static_cast<std::size_t>(outRowBytes));
    }
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
        if (f == 0) {
            std::memmove(out, current, static_cast<std::size_t>(count));
        } else {
            const BYTE* next = current + rowBytes;
            const std::int32_t nextWeight = HeightWeights[f];
            const std::int32_t currentWeight = HeightWeights[d - f];
            for (std::ptrdiff_t i = 0; i < count; ++i)
                out[i] = Blend(next[i], nextWeight, current[i], currentWeight);
        }
        f += s;
        if (f >= d) {
            f -= d;
            ++r;
        }
    }
}
