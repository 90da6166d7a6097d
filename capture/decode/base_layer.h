// Base values of the mode 2 to 4 decoders: six table lookups per 2 x 2 block of samples.
#pragma once

#include <cstdint>

#include <windows.h>

#include "decode/decoder_tables.h"

// The four base-layer bytes that hold one 4-column strip of a plane over eight plane rows
// (two bands): rows 0-1 sit in the band's odd byte, rows 2-3 in its even byte.
struct Strip {
    BYTE rowPairs[4];
};

inline Strip StripAt(const BYTE* band, const BYTE* nextBand, int evenByte)
{
    return {{band[evenByte + 1], band[evenByte], nextBand[evenByte + 1], nextBand[evenByte]}};
}

// Packed base values of one 2 x 2 block: its 6 x 6 window spans the row pairs first to
// first + 2 of two strips, cut as parts leftPart and rightPart.
inline std::uint32_t BlockBase(const Strip& left, int leftPart, const Strip& right, int rightPart, int first)
{
    return BaseLayerTables[0][leftPart][left.rowPairs[first]] +
           BaseLayerTables[0][rightPart][right.rowPairs[first]] +
           BaseLayerTables[1][leftPart][left.rowPairs[first + 1]] +
           BaseLayerTables[1][rightPart][right.rowPairs[first + 1]] +
           BaseLayerTables[2][leftPart][left.rowPairs[first + 2]] +
           BaseLayerTables[2][rightPart][right.rowPairs[first + 2]];
}

// The packed 2 x 2 blocks of one block row (two output rows) of an 8 x 4 output block.
struct BlockRowBases {
    std::uint32_t luma[4];  // pixels 2j, 2j + 1
    std::uint32_t cr[2];    // pairs 2k, 2k + 1
    std::uint32_t cb[2];
};

inline void ComputeBlockRowBases(const BYTE* band, const BYTE* nextBand, BlockRowBases rows[2])
{
    // Byte columns of groups G and G + 1: Y columns 8G..8G+3 at 0, 8G+4..8G+7 at 4,
    // Cr at 2, Cb at 6.
    const Strip yLeft = StripAt(band, nextBand, 0);
    const Strip yRight = StripAt(band, nextBand, 4);
    const Strip yNextLeft = StripAt(band, nextBand, 8);
    const Strip yNextRight = StripAt(band, nextBand, 12);
    const Strip cr = StripAt(band, nextBand, 2);
    const Strip crNext = StripAt(band, nextBand, 10);
    const Strip cb = StripAt(band, nextBand, 6);
    const Strip cbNext = StripAt(band, nextBand, 14);
    for (int blockRow = 0; blockRow < 2; ++blockRow) {
        BlockRowBases& r = rows[blockRow];
        // Luma windows begin two plane columns right of their block: at 8G+2, 8G+4, 8G+6, 8G+8.
        r.luma[0] = BlockBase(yLeft, kHighBitsAsColumns0To1, yRight, kWholeAsColumns2To5, blockRow);
        r.luma[1] = BlockBase(yRight, kWholeAsColumns0To3, yNextLeft, kLowBitsAsColumns4To5, blockRow);
        r.luma[2] = BlockBase(yRight, kHighBitsAsColumns0To1, yNextLeft, kWholeAsColumns2To5, blockRow);
        r.luma[3] = BlockBase(yNextLeft, kWholeAsColumns0To3, yNextRight, kLowBitsAsColumns4To5, blockRow);
        // Chroma windows begin at their block: plane columns 4G and 4G + 2.
        r.cr[0] = BlockBase(cr, kWholeAsColumns0To3, crNext, kLowBitsAsColumns4To5, blockRow);
        r.cr[1] = BlockBase(cr, kHighBitsAsColumns0To1, crNext, kWholeAsColumns2To5, blockRow);
        r.cb[0] = BlockBase(cb, kWholeAsColumns0To3, cbNext, kLowBitsAsColumns4To5, blockRow);
        r.cb[1] = BlockBase(cb, kHighBitsAsColumns0To1, cbNext, kWholeAsColumns2To5, blockRow);
    }
}
