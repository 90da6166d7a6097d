// Mode 2 to 4 decoders: a smoothed one-bit base layer plus per-sample correction codes.
#pragma once

#include <windows.h>

// paddedWidth = frame width + 8 (a multiple of 8), paddedHeight = frame height + 4 (a multiple
// of 4). Reads paddedWidth * paddedHeight / 4 bytes of base layer and W * H * b / 8 bytes of
// correction layer (b = 6, 4, 3), writes exactly the W x H 4:2:2 image, rows 2 * W bytes apart.
// Sizes outside that shape write nothing.
void DecodeMode2Frame(int paddedWidth, int paddedHeight, const BYTE* baseLayer,
                      const BYTE* correctionLayer, BYTE* destination);
void DecodeMode3Frame(int paddedWidth, int paddedHeight, const BYTE* baseLayer,
                      const BYTE* correctionLayer, BYTE* destination);
void DecodeMode4Frame(int paddedWidth, int paddedHeight, const BYTE* baseLayer,
                      const BYTE* correctionLayer, BYTE* destination);

// The plain decoders are the reference; the vector ones give the same bytes and are what the
// three functions above run.
using CompressedDecoder = void (*)(int paddedWidth, int paddedHeight, const BYTE* baseLayer,
                                   const BYTE* correctionLayer, BYTE* destination);
struct CompressedDecoders {
    CompressedDecoder mode2;
    CompressedDecoder mode3;
    CompressedDecoder mode4;
};
extern const CompressedDecoders plainCompressedDecoders;
extern const CompressedDecoders sse2CompressedDecoders;  // defined where LORV_SSE2
// Where LORV_AVX2; run only where CpuHasAvx2(). Mode 2 differs from the SSE2 decoders.
extern const CompressedDecoders avx2CompressedDecoders;

// Correction-layer bytes per frame row, by mode 2 to 4.
inline int CorrectionRowBytes(int mode, int width)
{
    return mode == 2 ? width * 6 / 8 : mode == 3 ? width * 4 / 8 : width * 3 / 8;
}
