// DecodeFrame (exported through capture_api.h) and its mode-1 stage.
#pragma once

#include "capture_api.h"

// Mode 1: row pairs of 3 * width bytes (upper row as 4:2:2, then the lower row's luma) to two
// 4:2:2 rows; the lower row repeats the upper row's chroma. Only whole pairs are expanded.
void ExpandMode1Frame(int width, int height, const BYTE* source, BYTE* destination);

// The lower row of a mode-1 pair: luma from its own bytes, chroma from the upper 4:2:2 row.
// The plain row is the reference.
using LowerRow = void (*)(const BYTE* upper, const BYTE* luma, int width, BYTE* lower);
struct LowerRows {
    LowerRow plain;
    LowerRow sse2;  // where LORV_SSE2, else plain
    LowerRow avx2;  // where LORV_AVX2, else sse2; run only where CpuHasAvx2()
};
extern const LowerRows lowerRows;

// Whether DecodeFrame can run on this record without touching memory outside its buffers:
// sizes positive and consistent, capture no larger than the output, even widths, the frame and
// work image inside their buffers, the mode's frame shape. DecodeFrame skips records that fail.
bool DecodeFrameIsSound(const CaptureContext* context);
