// Lookup tables of the mode 2 to 4 decoders, built once at bring-up by BuildDecoderTables.
#pragma once

#include <cstdint>

// The 5 x 5 weights (sum 255475, about 255 in 1/1000) that turn base-layer bit density into a value.
extern const std::int32_t SmoothingKernel[5][5];

// Signed steps selected by the correction codes.
struct CorrectionStepLists {
    std::int8_t luma4[16];    // mode 2
    std::int8_t chroma2[4];   // mode 2
    std::int8_t luma3[8];     // mode 3
    std::int8_t luma2[4];     // mode 4
    std::int8_t chroma1[2];   // modes 3 and 4
};
extern const CorrectionStepLists CorrectionSteps;

// Cuts of a 6 x 6 window that one base-layer byte can cover, by which bits feed which columns.
enum BaseLayerPart {
    kWholeAsColumns0To3 = 0,
    kLowBitsAsColumns4To5 = 1,
    kHighBitsAsColumns0To1 = 2,
    kWholeAsColumns2To5 = 3,
};

// [row pair of the window][part][byte]: the rounded partial sums of the four samples of a 2 x 2
// block, one per byte, in the order (0,0) (1,0) (0,1) (1,1) from the low byte up. Adding the six
// entries of a block never carries between bytes, since each full sum stays at most 255.
extern std::uint32_t BaseLayerTables[3][4][256];

// Correction codes expanded a whole byte at a time. 8-bit steps are two's complement per byte.
struct CodeExpansionTables {
    std::uint32_t mode2Luma[256];    // two 16-bit steps, low nibble in the low half
    std::uint32_t mode2Chroma[256];  // four 8-bit steps of bits 0-1, 2-3, 4-5, 6-7
    std::uint32_t mode3[256];        // luma bits 0-2, Cr bit 3, luma bits 4-6, Cb bit 7
    std::uint32_t mode4Luma[256];    // four 8-bit steps of bits 0-1 ... 6-7
    std::uint32_t mode4Chroma[16];   // four 8-bit steps of bits 0 ... 3
};
extern CodeExpansionTables codeExpansionTables;

void BuildDecoderTables();
