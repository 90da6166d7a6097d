// 4:2:2 work image (per pixel pair: Y0, Cr, Y1, Cb) to the application's RGB image.
#pragma once

#include <cstdint>

#include <windows.h>

// BT.601 studio-range terms in 1/4096, one entry per byte value; built by BuildColourTables.
struct ColourTables {
    std::int32_t LumaTerm[256];
    std::int32_t RedFromCr[256];
    std::int32_t GreenFromCr[256];
    std::int32_t GreenFromCb[256];
    std::int32_t BlueFromCb[256];
};
extern ColourTables colourTables;

void BuildColourTables();

// (stride, width, height, source, destination): source rows 2 * stride bytes apart; output rows
// bottom-up. 24-bit rows are (3 * w + 3) & ~3 bytes, 16-bit rows 2 * w, w being the output width.
// Only whole pairs are converted: the last pixel of an odd width is left as it was.
void ConvertToRgb24(int stride, int width, int height, const BYTE* source, BYTE* destination);
void ConvertToRgb16(int stride, int width, int height, const BYTE* source, BYTE* destination);
// Each source pixel becomes a 2 x 2 block: the output is 2 * width by 2 * height.
void ConvertToRgb24Double(int stride, int width, int height, const BYTE* source, BYTE* destination);
void ConvertToRgb16Double(int stride, int width, int height, const BYTE* source, BYTE* destination);

// One row of whole pairs, left to right; a double row is the upper of its two output rows.
// The plain rows are the reference; the vector rows give the same bytes.
using ConvertRow = void (*)(const BYTE* in, int pairs, BYTE* out);
struct ConvertRows {
    ConvertRow rgb24;
    ConvertRow rgb16;
    ConvertRow rgb24Double;
    ConvertRow rgb16Double;
};
extern const ConvertRows plainConvertRows;
extern const ConvertRows sse2ConvertRows;  // defined where LORV_SSE2
extern const ConvertRows avx2ConvertRows;  // defined where LORV_AVX2; run only where CpuHasAvx2()
extern const ConvertRows avx512ConvertRows;  // defined where LORV_AVX512; run only where CpuHasAvx512()
// The fastest rows this processor runs.
const ConvertRows& FastConvertRows();

// Bytes of one output row, so that callers can size and check buffers.
inline int Rgb24RowBytes(int pixels) { return (3 * pixels + 3) & ~3; }
inline int Rgb16RowBytes(int pixels) { return 2 * pixels; }
