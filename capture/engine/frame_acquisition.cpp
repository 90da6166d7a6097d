#include "bridge/camera_controller.h"
#include "bridge/device_channel.h"
#include "engine/capture_context.h"

DWORD referenceTrailer;

namespace {

constexpr LONG kRateWindowFrames = 100;

DWORD ReadyTrailer(const CaptureContext* context)
{
    const BYTE* t = context->readyFrame + context->frameBytes - kTrailerBytes;
    return static_cast<DWORD>(t[0]) | static_cast<DWORD>(t[1]) << 8 | static_cast<DWORD>(t[2]) << 16 |
           static_cast<DWORD>(t[3]) << 24;
}

// Changed settings reach the camera with the stream stopped; a failed channel has no camera.
void ApplyChangedSettings(CaptureContext* context)
{
    if (deviceChannel.failed)
        return;
    int decoderChanged = RefreshDecoderSettings();
    int controllerChanged = ControllerRegsChanged(context);
    if (!decoderChanged && !controllerChanged)
        return;
    StopStreaming(context);
    if (decoderChanged)
        SerialFlush();
    if (controllerChanged) {
        WriteControllerRegs(context);
        UpdateFrameLayout(context);
    }
    StartStreaming(context);
}

void CheckTrailer(CaptureContext* context)
{
    DWORD trailer = ReadyTrailer(context);
    if (streamRestarted) {
        referenceTrailer = trailer;
        streamRestarted = 0;
        return;
    }
    if (trailer == referenceTrailer)
        return;
    // Out of step with the stream: start it again and read a fresh frame while waiting.
    StopStreaming(context);
    StartStreaming(context);
    IssueFrameRead(context);
    CompleteFrameRead(context);
    referenceTrailer = ReadyTrailer(context);
    streamRestarted = 0;
}

void CountFrameRate(CaptureContext* context)
{
    if (context->rateFrameCount == kRateWindowFrames) {
        DWORD now = GetTickCount();
        DWORD elapsed = now - context->rateStartTick;
        context->rateStartTick = now;
        context->rateFrameCount = 0;
        if (elapsed == 0)
            elapsed = 1;  // a faster clock than the camera's cannot divide by zero
        DWORD rate = 10000000u / elapsed;
        context->framesPerSecond = static_cast<LONG>(rate / 100);
        context->framesPerSecondHundredths = static_cast<LONG>(rate % 100);
    }
    context->rateFrameCount++;
}

}  // namespace

int RefreshDecoderSettings(void)
{
    int queued = 0;
    for (int i = 0; i < kDecoderEntries; ++i) {
        const DecoderTableEntry& entry = decoderTable[i];
        if (entry.value == decoderApplied[i])
            continue;
        if (!queued)
            SerialBegin();
        if (SerialQueueWrite(entry.selector, entry.address, entry.value) != 0)
            break;  // cannot happen with room for the whole table; the rest waits a frame
        decoderApplied[i] = entry.value;
        queued = 1;
    }
    return queued;
}

// A context that was never started has no frame buffers to read or decode: refused with 0.
LORVCAP_API int WINAPI CaptureFrame(CaptureContext* context)
{
    if (context == nullptr || !context->capturing)
        return 0;
    int hadPending = context->readPending;
    if (hadPending)
        CompleteFrameRead(context);
    if (context->zoomChanged) {
        context->zoomChanged = 0;
        hadPending = 0;
    }
    ApplyChangedSettings(context);
    if (!hadPending) {
        IssueFrameRead(context);
        CompleteFrameRead(context);
    }
    IssueFrameRead(context);
    CheckTrailer(context);
    CountFrameRate(context);
    DecodeFrame(context);
    return 1;
}
