// DecodeFrame (exported through capture_api.h) and its mode-1 stage.
#pragma once

#include "capture_api.h"

// Mode 1: row pairs of 3 * width bytes (upper row as 4:2:2, then the lower row's luma) to two
// 4:2:2 rows; the lower row repeats the upper row's chroma. Only whole pairs are expanded.
void ExpandMode1Frame(int width, int height, const BYTE* source, BYTE* destination);

// One mode-1 pair: the upper 4:2:2 row as it came, and the lower row with luma from its own
// bytes and chroma from the upper row. The plain row is the reference.
using Mode1Row = void (*)(const BYTE* upper, const BYTE* luma, int width, BYTE* outUpper, BYTE* outLower);
struct Mode1Rows {
    Mode1Row plain;
    Mode1Row sse2;  // where LORV_SSE2, else plain
    Mode1Row avx2;  // where LORV_AVX2, else sse2; run only where CpuHasAvx2()
};
extern const Mode1Rows mode1Rows;

// Whether DecodeFrame can run on this record without touching memory outside its buffers:
// sizes positive and consistent, capture no larger than the output, even widths, the frame and
// work image inside their buffers, the mode's frame shape. DecodeFrame skips records that fail.
bool DecodeFrameIsSound(const CaptureContext* context);
