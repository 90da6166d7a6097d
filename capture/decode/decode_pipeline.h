// DecodeFrame (exported through capture_api.h) and its mode-1 stage.
#pragma once

#include "capture_api.h"

// Mode 1: row pairs of 3 * width bytes (upper row as 4:2:2, then the lower row's luma) to two
// 4:2:2 rows; the lower row repeats the upper row's chroma. Only whole pairs are expanded.
void ExpandMode1Frame(int width, int height, const BYTE* source, BYTE* destination);

// Whether DecodeFrame can run on this record without touching memory outside its buffers:
// sizes positive and consistent, capture no larger than the output, even widths, the frame and
// work image inside their buffers, the mode's frame shape. DecodeFrame skips records that fail.
bool DecodeFrameIsSound(const CaptureContext* context);
