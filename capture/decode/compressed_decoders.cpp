#include "decode/compressed_decoders.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "decode/base_layer.h"
#include "decode/decoder_tables.h"
#include "decode/simd.h"

namespace {

// Half of a packed block: its upper (row 0) or lower (row 1) two samples.
inline std::uint32_t BlockRow(std::uint32_t block, int row)
{
    return (block >> (16 * row)) & 0xFFFF;
}

// Base values of an 8 x 4 output block: luma per pixel, chroma per pair, one row at a time.
struct BlockBases {
    std::uint64_t luma[4];  // byte x = pixel x
    std::uint32_t cr[4];    // byte m = pair m
    std::uint32_t cb[4];
};

BlockBases ComputeBlockBases(const BYTE* band, const BYTE* nextBand)
{
    BlockRowBases blockRows[2];
    ComputeBlockRowBases(band, nextBand, blockRows);
    BlockBases bases;
    for (int blockRow = 0; blockRow < 2; ++blockRow) {
        const BlockRowBases& b = blockRows[blockRow];
        for (int row = 0; row < 2; ++row) {
            const int y = 2 * blockRow + row;
            bases.luma[y] = 0;
            for (int j = 0; j < 4; ++j)
                bases.luma[y] |= static_cast<std::uint64_t>(BlockRow(b.luma[j], row)) << (16 * j);
            bases.cr[y] = BlockRow(b.cr[0], row) | BlockRow(b.cr[1], row) << 16;
            bases.cb[y] = BlockRow(b.cb[0], row) | BlockRow(b.cb[1], row) << 16;
        }
    }
    return bases;
}

// Correction steps of one row of an 8-pixel block.
struct RowSteps {
    int luma[8];
    std::uint32_t cr;  // byte m = step of pair m, two's complement
    std::uint32_t cb;
};

inline int StepAt(std::uint32_t packed, int byte)
{
    return static_cast<std::int8_t>(packed >> (8 * byte));
}

struct Mode2Codes {
    static constexpr int kBlockBytes = 6;
    static RowSteps Expand(const BYTE* codes)
    {
        RowSteps steps;
        const CodeExpansionTables& t = codeExpansionTables;
        for (int half = 0; half < 2; ++half) {
            const BYTE* group = codes + 3 * half;
            const std::uint32_t left = t.mode2Luma[group[0]];
            const std::uint32_t right = t.mode2Luma[group[1]];
            steps.luma[4 * half + 0] = static_cast<std::int16_t>(left);
            steps.luma[4 * half + 1] = static_cast<std::int16_t>(left >> 16);
            steps.luma[4 * half + 2] = static_cast<std::int16_t>(right);
            steps.luma[4 * half + 3] = static_cast<std::int16_t>(right >> 16);
        }
        // Each chroma byte holds Cr of its two pairs in bytes 0-1 of its entry and Cb in 2-3.
        const std::uint32_t first = t.mode2Chroma[codes[2]];
        const std::uint32_t second = t.mode2Chroma[codes[5]];
        steps.cr = (first & 0xFFFF) | (second << 16);
        steps.cb = (first >> 16) | (second & 0xFFFF0000);
        return steps;
    }
};

struct Mode3Codes {
    static constexpr int kBlockBytes = 4;
    static RowSteps Expand(const BYTE* codes)
    {
        RowSteps steps;
        steps.cr = 0;
        steps.cb = 0;
        for (int pair = 0; pair < 4; ++pair) {
            const std::uint32_t entry = codeExpansionTables.mode3[codes[pair]];
            steps.luma[2 * pair] = StepAt(entry, 0);
            steps.luma[2 * pair + 1] = StepAt(entry, 2);
            steps.cr |= ((entry >> 8) & 0xFF) << (8 * pair);
            steps.cb |= (entry >> 24) << (8 * pair);
        }
        return steps;
    }
};

struct Mode4Codes {
    static constexpr int kBlockBytes = 3;
    static RowSteps Expand(const BYTE* codes)
    {
        RowSteps steps;
        const CodeExpansionTables& t = codeExpansionTables;
        const std::uint32_t left = t.mode4Luma[codes[0]];
        const std::uint32_t right = t.mode4Luma[codes[1]];
        for (int k = 0; k < 4; ++k) {
            steps.luma[k] = StepAt(left, k);
            steps.luma[4 + k] = StepAt(right, k);
        }
        steps.cr = t.mode4Chroma[codes[2] & 15];
        steps.cb = t.mode4Chroma[codes[2] >> 4];
        return steps;
    }
};

inline BYTE ClampedLuma(int value)
{
    return static_cast<BYTE>(value < 0 ? 0 : value > 255 ? 255 : value);
}

// Four byte-wise additions modulo 256, without carries between bytes.
inline std::uint32_t AddBytesWrapping(std::uint32_t a, std::uint32_t b)
{
    return ((a & 0x7F7F7F7F) + (b & 0x7F7F7F7F)) ^ ((a ^ b) & 0x80808080);
}

inline void WriteRow(const BlockBases& bases, int y, const RowSteps& steps, BYTE* out)
{
    const std::uint32_t cr = AddBytesWrapping(bases.cr[y], steps.cr);
    const std::uint32_t cb = AddBytesWrapping(bases.cb[y], steps.cb);
    BYTE row[16];
    for (int pair = 0; pair < 4; ++pair) {
        row[4 * pair + 0] = ClampedLuma(static_cast<int>((bases.luma[y] >> (16 * pair)) & 0xFF) + steps.luma[2 * pair]);
        row[4 * pair + 1] = static_cast<BYTE>(cr >> (8 * pair));
        row[4 * pair + 2] =
            ClampedLuma(static_cast<int>((bases.luma[y] >> (16 * pair + 8)) & 0xFF) + steps.luma[2 * pair + 1]);
        row[4 * pair + 3] = static_cast<BYTE>(cb >> (8 * pair));
    }
    std::memcpy(out, row, sizeof row);
}

template <typename Codes>
void DecodeLayers(int paddedWidth, int paddedHeight, const BYTE* baseLayer, const BYTE* correctionLayer,
                  BYTE* destination)
{
    if (paddedWidth < 16 || paddedHeight < 8 || paddedWidth % 8 != 0 || paddedHeight % 4 != 0)
        return;
    const int width = paddedWidth - 8;
    const std::ptrdiff_t outRowBytes = 2 * static_cast<std::ptrdiff_t>(width);
    const std::ptrdiff_t codeRowBytes = static_cast<std::ptrdiff_t>(width) / 8 * Codes::kBlockBytes;
    const int bands = paddedHeight / 4 - 1;
    const int blocks = paddedWidth / 8 - 1;
    for (int b = 0; b < bands; ++b) {
        const BYTE* band = baseLayer + static_cast<std::ptrdiff_t>(b) * paddedWidth;
        const BYTE* codes = correctionLayer + 4 * b * codeRowBytes;
        BYTE* out = destination + 4 * b * outRowBytes;
        for (int g = 0; g < blocks; ++g) {
            const BlockBases bases = ComputeBlockBases(band + 8 * g, band + paddedWidth + 8 * g);
            for (int y = 0; y < 4; ++y) {
                const RowSteps steps = Codes::Expand(codes + y * codeRowBytes + g * Codes::kBlockBytes);
                WriteRow(bases, y, steps, out + y * outRowBytes + 16 * g);
            }
        }
    }
}

}  // namespace

const CompressedDecoders plainCompressedDecoders = {DecodeLayers<Mode2Codes>, DecodeLayers<Mode3Codes>,
                                                    DecodeLayers<Mode4Codes>};

namespace {

const CompressedDecoders& FastDecoders()
{
#if LORV_AVX2
    if (CpuHasAvx2())
        return avx2CompressedDecoders;
#endif
#if LORV_SSE2
    return sse2CompressedDecoders;
#else
    return plainCompressedDecoders;
#endif
}

}  // namespace

void DecodeMode2Frame(int paddedWidth, int paddedHeight, const BYTE* baseLayer, const BYTE* correctionLayer,
                      BYTE* destination)
{
    FastDecoders().mode2(paddedWidth, paddedHeight, baseLayer, correctionLayer, destination);
}

void DecodeMode3Frame(int paddedWidth, int paddedHeight, const BYTE* baseLayer, const BYTE* correctionLayer,
                      BYTE* destination)
{
    FastDecoders().mode3(paddedWidth, paddedHeight, baseLayer, correctionLayer, destination);
}

void DecodeMode4Frame(int paddedWidth, int paddedHeight, const BYTE* baseLayer, const BYTE* correctionLayer,
                      BYTE* destination)
{
    FastDecoders().mode4(paddedWidth, paddedHeight, baseLayer, correctionLayer, destination);
}
