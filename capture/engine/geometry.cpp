#include <cstdint>
#include <cstring>

#include "bridge/camera_controller.h"
#include "bridge/device_channel.h"
#include "engine/capture_context.h"

namespace {

constexpr LONG kRegisterImageBytes = 32;
constexpr LONG kComparedRegisters = 18;  // 0x00 to 0x11

LONG Half(LONG value)
{
    return value / 2;
}

// The crop centre, the pan control and the pan centre come from the application as any 32-bit
// values: their sums and products are formed in 64 bits and brought back into range, which
// leaves every result that fitted as it was.
using Wide = long long;

LONG Narrow(Wide value)
{
    if (value > INT32_MAX)
        return INT32_MAX;
    if (value < INT32_MIN)
        return INT32_MIN;
    return static_cast<LONG>(value);
}

LONG MulDiv(LONG a, LONG b, LONG divisor)
{
    return Narrow(Wide{a} * b / divisor);
}

LONG Sum(Wide a, Wide b)
{
    return Narrow(a + b);
}

LONG HalfSum(LONG a, LONG b)
{
    return Narrow((Wide{a} + b) / 2);
}

bool IsFullFrameOutput(const CaptureContext* c)
{
    return c->width == 640 && c->height == 480;
}

bool IsCompressedMode(LONG mode)
{
    return mode >= 2;
}

// Rounds up to the controller's step; where that would exceed the output, rounds down
// instead, so the decoder never has to shrink. Never below one step.
LONG RoundToStep(LONG size, LONG step, LONG roundUpBy, LONG limit)
{
    LONG rounded = (size + roundUpBy) & ~(step - 1);
    if (rounded > limit)
        rounded = size & ~(step - 1);
    return rounded < step ? step : rounded;
}

void ApplySizeRounding(CaptureContext* c)
{
    if (IsCompressedMode(c->mode)) {
        c->frameWidth = RoundToStep(c->captureWidth, 8, 4, c->width);
        c->frameHeight = RoundToStep(c->captureHeight, 4, 2, c->height);
    } else {
        c->frameWidth = RoundToStep(c->captureWidth, 2, 1, c->width);
        c->frameHeight = RoundToStep(c->captureHeight, 2, 1, c->height);
    }
    c->captureWidth = c->frameWidth;
    c->captureHeight = c->frameHeight;
}

void PutLittleEndian(BYTE* regs, int first, LONG value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        regs[first + i] = static_cast<BYTE>(static_cast<DWORD>(value) >> (8 * i));
}

BYTE ScaleRegister(LONG scale)
{
    return scale == 64 ? 0x00 : static_cast<BYTE>(scale | 0x80);
}

// The geometry needs the source constants of StartCapture before any setter may divide.
bool GeometryReady(const CaptureContext* c)
{
    return c != nullptr && !deviceChannel.failed && c->sourceWidth > 0 && c->sourceHeight > 0;
}

}  // namespace

void SetSourceConstants(CaptureContext* c)
{
    c->refWidth = 640;
    c->refHeight = 240;
    c->sourceWidth = 460;
    c->sourceHeight = 240;
    c->scaleUnit = 64;
    c->sourceLeft = 2;
    c->sourceTop = 10;
}

void ComputeZoomLimits(CaptureContext* c)
{
    c->wantedWidth = c->width * c->sourceWidth / c->refWidth;
    c->wantedHeight = c->height * c->sourceHeight / c->refHeight;
    if (IsFullFrameOutput(c)) {
        c->zoomFactor = c->zoomMin = c->zoomMax = 32;
        return;
    }
    LONG byWidth = c->scaleUnit * c->wantedWidth / c->sourceWidth;
    LONG byHeight = c->scaleUnit * c->wantedHeight / c->sourceHeight;
    c->zoomMin = byWidth < byHeight ? byWidth : byHeight;
    c->zoomMax = c->scaleUnit;
}

void UpdateGeometry(CaptureContext* c)
{
    if (IsFullFrameOutput(c)) {
        c->captureWidth = Half(c->sourceWidth);
        c->captureHeight = c->sourceHeight;
        ApplySizeRounding(c);
        c->scaleX = 32;
        c->scaleY = 64;
        c->windowWidth = c->scaleUnit * c->frameWidth / 32;
        c->windowHeight = c->scaleUnit * c->frameHeight / 64;
        c->windowOuterWidth = c->scaleUnit * (c->frameWidth + 8) / 32;
        c->windowOuterHeight = c->scaleUnit * (c->frameHeight + 4) / 64;
    } else {
        if (c->zoomFactor < c->zoomMin)
            c->zoomFactor = c->zoomMin;
        if (c->zoomFactor > c->zoomMax)
            c->zoomFactor = c->zoomMax;
        c->windowWidth = c->sourceWidth * c->zoomMin / c->zoomFactor;
        c->windowHeight = c->sourceHeight * c->zoomMin / c->zoomFactor;
        if (c->wantedWidth < c->windowWidth) {
            c->captureWidth = c->wantedWidth;
            c->scaleX = c->wantedWidth * c->scaleUnit / c->windowWidth;
        } else {
            c->captureWidth = c->windowWidth;
            c->scaleX = c->scaleUnit;
        }
        if (c->wantedHeight < c->windowHeight) {
            c->captureHeight = c->wantedHeight;
            c->scaleY = c->wantedHeight * c->scaleUnit / c->windowHeight;
        } else {
            c->captureHeight = c->windowHeight;
            c->scaleY = c->scaleUnit;
        }
        ApplySizeRounding(c);
        c->windowWidth = c->scaleUnit * c->frameWidth / c->scaleX;
        c->windowHeight = c->scaleUnit * c->frameHeight / c->scaleY;
        c->windowOuterWidth = c->scaleUnit * (c->frameWidth + 8) / c->scaleX;
        c->windowOuterHeight = c->scaleUnit * (c->frameHeight + 4) / c->scaleY;
    }
    UpdatePanViewSize(c);
    PlaceCropWindow(c);
    PanCenterFromCrop(c);
    ClampPanView(c);
}

void UpdatePanViewSize(CaptureContext* c)
{
    c->panViewWidth = MulDiv(c->windowWidth, c->panCtrlWidth, c->sourceWidth);
    c->panViewHeight = MulDiv(c->windowHeight, c->panCtrlHeight, c->sourceHeight);
}

void PanCenterFromCrop(CaptureContext* c)
{
    c->panCenterX = MulDiv(c->cropCenterX, c->panCtrlWidth, c->sourceWidth);
    c->panCenterY = MulDiv(c->cropCenterY, c->panCtrlHeight, c->sourceHeight);
}

void CropCenterFromPan(CaptureContext* c)
{
    c->cropCenterX = MulDiv(c->panCenterX, c->sourceWidth, c->panCtrlWidth);
    c->cropCenterY = MulDiv(c->panCenterY, c->sourceHeight, c->panCtrlHeight);
}

void ClampPanView(CaptureContext* c)
{
    c->panViewLeft = Sum(c->panCenterX, -Wide{Half(c->panViewWidth)});
    if (c->panViewLeft < 0)
        c->panViewLeft = 0;
    c->panViewTop = Sum(c->panCenterY, -Wide{Half(c->panViewHeight)});
    if (c->panViewTop < 0)
        c->panViewTop = 0;
    c->panViewRight = Sum(c->panViewLeft, c->panViewWidth);
    if (c->panViewRight > c->panCtrlWidth) {
        c->panViewRight = c->panCtrlWidth;
        c->panViewLeft = Sum(c->panCtrlWidth, -Wide{c->panViewWidth});
    }
    c->panViewBottom = Sum(c->panViewTop, c->panViewHeight);
    if (c->panViewBottom > c->panCtrlHeight) {
        c->panViewBottom = c->panCtrlHeight;
        c->panViewTop = Sum(c->panCtrlHeight, -Wide{c->panViewHeight});
    }
    c->panCenterX = HalfSum(c->panViewRight, c->panViewLeft);
    c->panCenterY = HalfSum(c->panViewBottom, c->panViewTop);
}

void PlaceCropWindow(CaptureContext* c)
{
    c->cropLeft = Sum(c->cropCenterX, -Wide{Half(c->windowWidth)});
    if (c->cropLeft < 0)
        c->cropLeft = 0;
    c->cropTop = Sum(c->cropCenterY, -Wide{Half(c->windowHeight)});
    if (c->cropTop < 0)
        c->cropTop = 0;
    c->cropRight = Sum(c->cropLeft, c->windowWidth);
    if (c->cropRight > c->sourceWidth) {
        c->cropRight = c->sourceWidth;
        c->cropLeft = c->sourceWidth - c->windowWidth;
    }
    c->cropBottom = Sum(c->cropTop, c->windowHeight);
    if (c->cropBottom > c->sourceHeight) {
        c->cropBottom = c->sourceHeight;
        c->cropTop = c->sourceHeight - c->windowHeight;
    }
    if (c->cropLeft < 0) {  // a window wider than the source starts at its left edge
        c->cropLeft = 0;
        c->cropRight = c->windowWidth;
    }
    if (c->cropTop < 0) {  // and one taller than the source at its top: never above the field
        c->cropTop = 0;
        c->cropBottom = c->windowHeight;
    }
    c->cropCenterX = Half(c->cropRight + c->cropLeft);
    c->cropCenterY = Half(c->cropBottom + c->cropTop);

    c->marginLeft = c->sourceLeft - Half(c->windowOuterWidth - c->windowWidth);
    if (c->marginLeft < 2)
        c->marginLeft = 2;
    c->marginTop = c->sourceTop - Half(c->windowOuterHeight - c->windowHeight);
    if (c->marginTop < 2)
        c->marginTop = 2;

    if (IsCompressedMode(c->mode)) {  // the window carries the decoding margin
        c->windowStartX = c->marginLeft + c->cropLeft;
        c->windowStartY = c->marginTop + c->cropTop;
        c->windowEndX = c->windowStartX + c->windowOuterWidth;
        c->windowEndY = c->windowStartY + c->windowOuterHeight;
    } else {
        c->windowStartX = c->sourceLeft + c->cropLeft;
        c->windowEndX = c->sourceLeft + c->cropRight;
        c->windowStartY = c->sourceTop + c->cropTop;
        c->windowEndY = c->sourceTop + c->cropBottom;
    }
    BuildControllerRegs(c);
}

void BuildControllerRegs(CaptureContext* c)
{
    BYTE* regs = c->controllerRegs;
    LONG p = SecondPartOffset(c->frameWidth, c->frameHeight);
    LONG start = 0;
    BYTE format = 0;
    switch (c->mode) {
    case 0: format = 0x40; break;
    case 1: format = 0x44; break;
    case 2: start = p; format = 0xE0; break;
    case 3: start = p; format = 0xF0; break;
    case 4: start = p; format = 0xF8; break;
    default: break;  // refused by StartCapture
    }
    LONG end = RawFrameBytes(c->frameWidth, c->frameHeight, c->mode) - 1;

    regs[0x01] = static_cast<BYTE>(0x18 | (c->windowStartX & 1));
    regs[0x02] = ScaleRegister(c->scaleY);
    regs[0x03] = ScaleRegister(c->scaleX);
    PutLittleEndian(regs, 0x04, c->windowStartX, 2);
    PutLittleEndian(regs, 0x06, c->windowStartY, 2);
    PutLittleEndian(regs, 0x08, c->windowEndX, 2);
    PutLittleEndian(regs, 0x0A, c->windowEndY, 2);
    regs[0x0C] = 0x0E;
    PutLittleEndian(regs, 0x0D, start, 3);
    PutLittleEndian(regs, 0x10, end, 3);
    regs[0x13] = format;
    regs[0x17] = 0x00;
    regs[0x19] = 0x0F;
    regs[0x1A] = 0x0D;
    regs[0x1B] = 0x10;
}

int ControllerRegsChanged(const CaptureContext* c)
{
    return memcmp(c->controllerRegs, c->controllerRegsApplied, kComparedRegisters) != 0 ? 1 : 0;
}

void WriteControllerRegs(CaptureContext* c)
{
    for (BYTE reg = 0x01; reg <= 0x13; ++reg)
        WriteControllerReg(reg, c->controllerRegs[reg]);
    for (BYTE reg = 0x18; reg <= 0x1A; ++reg)
        WriteControllerReg(reg, c->controllerRegs[reg]);
    WriteControllerReg(0x17, c->controllerRegs[0x17]);
    WriteControllerReg(0x1B, c->controllerRegs[0x1B]);
    memcpy(c->controllerRegsApplied, c->controllerRegs, kComparedRegisters);
    static_assert(sizeof(CaptureContext::controllerRegs) == kRegisterImageBytes);
}

int OutputSizeSupported(const CaptureContext* c)
{
    if (c->mode < 0 || c->mode > 4)
        return 0;
    // Pixels travel in pairs, and the smallest frame is one rounding step of each side.
    if (c->width < 8 || (c->width & 1) || c->height < 4)
        return 0;
    if (c->width > kLargestOutputSide || c->height > kLargestOutputSide)
        return 0;
    return 1;
}

LORVCAP_API void WINAPI SetCropCenter(CaptureContext* context, int x, int y)
{
    if (context == nullptr)
        return;
    context->cropCenterX = x;
    context->cropCenterY = y;
}

LORVCAP_API void WINAPI SetZoomFactor(CaptureContext* context, int zoom)
{
    if (!GeometryReady(context) || context->zoomMin <= 0)
        return;
    context->zoomFactor = zoom;
    UpdateGeometry(context);
    context->zoomChanged = 1;
}

LORVCAP_API void WINAPI SetPanCtrlSize(CaptureContext* context, int width, int height)
{
    if (!GeometryReady(context))
        return;
    context->panCtrlWidth = width;
    context->panCtrlHeight = height;
    UpdatePanViewSize(context);
    PanCenterFromCrop(context);
    ClampPanView(context);
}

LORVCAP_API void WINAPI SetPanAreaCenter(CaptureContext* context, int x, int y)
{
    if (!GeometryReady(context) || context->panCtrlWidth <= 0 || context->panCtrlHeight <= 0)
        return;
    context->panCenterX = x;
    context->panCenterY = y;
    ClampPanView(context);
    CropCenterFromPan(context);
    PlaceCropWindow(context);
}
