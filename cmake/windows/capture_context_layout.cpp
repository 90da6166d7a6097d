// The application writes outputImage, outputBitsPerPixel and doubleSize straight into the
// record, so its layout is part of lorvcap.dll's interface: 516 bytes with 32-bit pointers,
// the same fields in the same order with natural alignment on 64-bit.
#include <cstddef>

#include "capture_api.h"

#define LORV_AT(field, offset) static_assert(offsetof(CaptureContext, field) == (offset), #field)

// Each field after the previous one, on its own natural alignment, without overlap.
#define LORV_AFTER(previous, field)                                                                          \
    static_assert(offsetof(CaptureContext, field) >=                                                         \
                      offsetof(CaptureContext, previous) + sizeof(CaptureContext::previous), #field " order"); \
    static_assert(offsetof(CaptureContext, field) % alignof(decltype(CaptureContext::field)) == 0, #field " alignment")

LORV_AT(width, 0);
LORV_AFTER(width, height);
LORV_AFTER(height, mode);
LORV_AFTER(mode, frameBytes);
LORV_AFTER(frameBytes, fillBuffer);
LORV_AFTER(fillBuffer, readyBuffer);
LORV_AFTER(readyBuffer, outputImage);
LORV_AFTER(outputImage, workBuffer);
LORV_AFTER(workBuffer, rateStartTick);
LORV_AFTER(rateStartTick, rateFrameCount);
LORV_AFTER(rateFrameCount, framesPerSecond);
LORV_AFTER(framesPerSecond, framesPerSecondHundredths);
LORV_AFTER(framesPerSecondHundredths, secondPartOffset);
LORV_AFTER(secondPartOffset, outputBitsPerPixel);
LORV_AFTER(outputBitsPerPixel, frameTailBytes);
LORV_AFTER(frameTailBytes, frameAlignedBytes);
LORV_AFTER(frameAlignedBytes, framePhase);
LORV_AFTER(framePhase, nextFramePhase);
LORV_AFTER(nextFramePhase, carryBytes);
LORV_AFTER(carryBytes, carry);
LORV_AFTER(carry, overlapped);
LORV_AFTER(overlapped, device);
LORV_AFTER(device, streaming);
LORV_AFTER(streaming, readPending);
LORV_AFTER(readPending, reserved1);
LORV_AFTER(reserved1, controllerRegs);
LORV_AFTER(controllerRegs, controllerRegsApplied);
LORV_AFTER(controllerRegsApplied, refWidth);
LORV_AFTER(cropCenterY, doubleSize);
LORV_AFTER(doubleSize, windowStartX);
LORV_AFTER(windowEndY, bufferBytes);
LORV_AFTER(bufferBytes, captureImageBytes);
LORV_AFTER(captureImageBytes, fillFrame);
LORV_AFTER(fillFrame, readyFrame);
LORV_AFTER(readyFrame, workImage);
LORV_AFTER(workImage, reserved2);
LORV_AFTER(reserved2, capturing);
LORV_AFTER(capturing, reserved3);
LORV_AFTER(reserved3, zoomChanged);

// The 40 integers from refWidth to cropCenterY follow each other without a gap.
static_assert(offsetof(CaptureContext, cropCenterY) - offsetof(CaptureContext, refWidth) == 39 * sizeof(LONG));
static_assert(sizeof(LONG) == 4 && sizeof(DWORD) == 4);

#if defined(_WIN64)
static_assert(sizeof(OVERLAPPED) == 32);
static_assert(sizeof(CaptureContext) % alignof(void*) == 0);
#else
static_assert(sizeof(OVERLAPPED) == 20, "five 32-bit members");
LORV_AT(outputImage, 24);
LORV_AT(outputBitsPerPixel, 52);
LORV_AT(carry, 76);
LORV_AT(overlapped, 140);
LORV_AT(device, 160);
LORV_AT(controllerRegs, 236);
LORV_AT(refWidth, 300);
LORV_AT(doubleSize, 460);
LORV_AT(zoomChanged, 512);
static_assert(sizeof(CaptureContext) == 516);
#endif
