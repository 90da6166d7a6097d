#include "engine/capture_context.h"

#include "bridge/device_channel.h"

LORVCAP_API CaptureContext* WINAPI AllocCaptureContext(int width, int height, int mode)
{
    auto* context = static_cast<CaptureContext*>(LocalAlloc(LPTR, sizeof(CaptureContext)));
    if (context == nullptr)
        return nullptr;
    context->width = width;
    context->height = height;
    context->mode = mode;
    return context;
}

// A context freed while capturing first ends its read and releases its buffers, so that
// neither the driver nor the application is left holding memory that is gone.
LORVCAP_API HLOCAL WINAPI FreeCaptureContext(CaptureContext* context)
{
    if (context == nullptr)
        return nullptr;
    if (context->capturing) {
        if (context->streaming && !deviceChannel.failed)
            StopStreaming(context);
        ReleaseFrameBuffers(context);
        context->capturing = 0;
    }
    return LocalFree(context);
}

LONG RawFrameBytes(LONG frameWidth, LONG frameHeight, LONG mode)
{
    DWORD w = static_cast<DWORD>(frameWidth);
    DWORD h = static_cast<DWORD>(frameHeight);
    DWORD n = w * h;
    DWORD p = static_cast<DWORD>(SecondPartOffset(frameWidth, frameHeight));
    switch (mode) {
    case 0: return static_cast<LONG>(2 * n + kTrailerBytes);
    case 1: return static_cast<LONG>(3 * n / 2 + kTrailerBytes);
    case 2: return static_cast<LONG>(3 * n / 4 + p + kTrailerBytes);
    case 3: return static_cast<LONG>(n / 2 + p + kTrailerBytes);
    case 4: return static_cast<LONG>(3 * n / 8 + p + kTrailerBytes);
    default: return 0;
    }
}

LONG SecondPartOffset(LONG frameWidth, LONG frameHeight)
{
    return (frameWidth + 8) * (frameHeight + 4) / 4;
}

void UpdateFrameLayout(CaptureContext* context)
{
    context->frameBytes = RawFrameBytes(context->frameWidth, context->frameHeight, context->mode);
    context->carryBytes = 0;
    context->secondPartOffset = SecondPartOffset(context->frameWidth, context->frameHeight);
    context->captureImageBytes = context->captureWidth * context->captureHeight * 2 + kTrailerBytes;
    context->frameTailBytes = context->frameBytes % kPacketBytes;
    context->frameAlignedBytes = context->frameBytes - context->frameTailBytes;
    context->fillFrame = context->fillBuffer + context->bufferBytes - context->frameBytes;
    context->readyFrame = context->readyBuffer + context->bufferBytes - context->frameBytes;
    if (context->workBuffer != nullptr)
        context->workImage = context->workBuffer + context->bufferBytes - context->captureImageBytes;
}
