#include "decode/decoder_tables.h"

const std::int32_t SmoothingKernel[5][5] = {
    {3942, 10001, 11519, 6516, 1550},
    {7587, 20234, 24242, 14849, 4030},
    {7399, 21318, 27329, 17137, 4861},
    {4650, 13790, 19016, 12622, 3636},
    {1211, 4623, 7126, 4973, 1314},
};

const CorrectionStepLists CorrectionSteps = {
    {2, 6, 10, 14, 18, 24, 32, 40, -2, -6, -10, -14, -18, -24, -32, -40},
    {2, 6, -2, -6},
    {2, 7, 14, 25, -3, -8, -15, -26},
    {4, 12, -4, -12},
    {4, -4},
};

std::uint32_t BaseLayerTables[3][4][256];
CodeExpansionTables codeExpansionTables;

namespace {

// Window column of the byte's k-th column (k = 0 to 3) in a part, or -1 when the part skips it.
int PartColumn(int part, int k)
{
    switch (part) {
    case kWholeAsColumns0To3:
        return k;
    case kLowBitsAsColumns4To5:
        return k < 2 ? 4 + k : -1;
    case kHighBitsAsColumns0To1:
        return k >= 2 ? k - 2 : -1;
    default:
        return 2 + k;
    }
}

// Weight of window bit (column, row) for the block sample at (dx, dy): the kernel placed at
// the sample's offset, 0 outside it.
std::int32_t SampleWeight(int dx, int dy, int column, int row)
{
    const int c = column - dx;
    const int r = row - dy;
    return c >= 0 && c < 5 && r >= 0 && r < 5 ? SmoothingKernel[r][c] : 0;
}

// One part of a block's window: the rounded partial sums of the four samples for byte v.
std::uint32_t BaseLayerEntry(int rowPair, int part, int v)
{
    static const int kSampleOffsets[4][2] = {{0, 0}, {1, 0}, {0, 1}, {1, 1}};
    std::uint32_t entry = 0;
    for (int s = 0; s < 4; ++s) {
        std::int32_t sum = 0;
        for (int k = 0; k < 4; ++k) {
            const int column = PartColumn(part, k);
            if (column < 0)
                continue;
            // Bit 2k + 1 is the upper row of the pair, bit 2k the lower.
            if (v & (1 << (2 * k + 1)))
                sum += SampleWeight(kSampleOffsets[s][0], kSampleOffsets[s][1], column, 2 * rowPair);
            if (v & (1 << (2 * k)))
                sum += SampleWeight(kSampleOffsets[s][0], kSampleOffsets[s][1], column, 2 * rowPair + 1);
        }
        entry |= static_cast<std::uint32_t>((sum + 360) / 1000) << (8 * s);
    }
    return entry;
}

std::uint32_t StepByte(std::int8_t step, int position)
{
    return static_cast<std::uint32_t>(static_cast<std::uint8_t>(step)) << (8 * position);
}

std::uint32_t StepHalf(std::int8_t step, int position)
{
    return static_cast<std::uint32_t>(static_cast<std::uint16_t>(step)) << (16 * position);
}

void BuildCodeExpansionTables()
{
    const CorrectionStepLists& steps = CorrectionSteps;
    CodeExpansionTables& tables = codeExpansionTables;
    for (int b = 0; b < 256; ++b) {
        tables.mode2Luma[b] = StepHalf(steps.luma4[b & 15], 0) | StepHalf(steps.luma4[b >> 4], 1);
        tables.mode2Chroma[b] = 0;
        tables.mode4Luma[b] = 0;
        for (int k = 0; k < 4; ++k) {
            tables.mode2Chroma[b] |= StepByte(steps.chroma2[(b >> (2 * k)) & 3], k);
            tables.mode4Luma[b] |= StepByte(steps.luma2[(b >> (2 * k)) & 3], k);
        }
        tables.mode3[b] = StepByte(steps.luma3[b & 7], 0) | StepByte(steps.chroma1[(b >> 3) & 1], 1) |
                          StepByte(steps.luma3[(b >> 4) & 7], 2) | StepByte(steps.chroma1[b >> 7], 3);
    }
    for (int n = 0; n < 16; ++n) {
        tables.mode4Chroma[n] = 0;
        for (int k = 0; k < 4; ++k)
            tables.mode4Chroma[n] |= StepByte(steps.chroma1[(n >> k) & 1], k);
    }
}

}  // namespace

void BuildDecoderTables()
{
    for (int rowPair = 0; rowPair < 3; ++rowPair)
        for (int part = 0; part < 4; ++part)
            for (int v = 0; v < 256; ++v)
                BaseLayerTables[rowPair][part][v] = BaseLayerEntry(rowPair, part, v);
    BuildCodeExpansionTables();
}
