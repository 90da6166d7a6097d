#include <windows.h>
#include <winioctl.h>

#include <cstring>

#include "bridge/camera_controller.h"
#include "bridge/device_channel.h"
#include "bridge/ieee1284_link.h"
#include "control_interface.h"
#include "engine/capture_context.h"

static_assert(kFrameReadPieceBytes == BRIDGE_MAX_TRANSFER && kFrameReadPieceBytes % kPacketBytes == 0);

LONG streamRestarted;

namespace {

constexpr BYTE kBulkInPipe = 1;

DWORD frameReadBytes;  // receives each read's byte count; never examined
// The rest of a frame read that did not fit one request; one context streams at a time.
BYTE* frameReadNext;
DWORD frameReadRemaining;
// A frame shorter than one packet can lie wholly in the bytes carried from the last read: it
// is complete without asking the driver, which refuses a read of length 0.
LONG frameReadFromCarry;

BYTE* AllocFrameBuffer(const CaptureContext* context)
{
    return static_cast<BYTE*>(GlobalAlloc(GPTR, context->bufferBytes + kBufferSlackBytes));
}

int ReadPiece(CaptureContext* context, BYTE* destination, DWORD length)
{
    DWORD piece = length < kFrameReadPieceBytes ? length : kFrameReadPieceBytes;
    frameReadNext = destination + piece;
    frameReadRemaining = length - piece;
    ResetEvent(context->overlapped.hEvent);
    if (ReadFile(context->device, destination, piece, &frameReadBytes, &context->overlapped))
        return 1;
    return GetLastError() == ERROR_IO_PENDING ? 1 : 0;
}

// An abandoned read must end before the buffers may be reused or freed.
void AbortFrameRead(CaptureContext* context)
{
    BridgeAbortPipe(kBulkInPipe);
    if (WaitForSingleObject(context->overlapped.hEvent, kFrameWaitMilliseconds) != WAIT_OBJECT_0) {
        CancelIo(context->device);
        WaitForSingleObject(context->overlapped.hEvent, kFrameWaitMilliseconds);
    }
}

int FailFrameRead(CaptureContext* context)
{
    FailChannel();
    context->readPending = 0;
    frameReadRemaining = 0;
    frameReadFromCarry = 0;
    return 0;
}

// Waits for every piece of the outstanding read; 0 after a failure, which fails the channel.
int AwaitFrameRead(CaptureContext* context)
{
    for (;;) {
        if (WaitForSingleObject(context->overlapped.hEvent, kFrameWaitMilliseconds) != WAIT_OBJECT_0) {
            AbortFrameRead(context);
            return FailFrameRead(context);
        }
        DWORD transferred = 0;
        if (!GetOverlappedResult(context->device, &context->overlapped, &transferred, TRUE))
            return FailFrameRead(context);
        if (frameReadRemaining == 0)
            return 1;
        if (!ReadPiece(context, frameReadNext, frameReadRemaining))
            return FailFrameRead(context);
    }
}

}  // namespace

void ReleaseFrameBuffers(CaptureContext* context)
{
    if (context->workBuffer == context->fillBuffer || context->workBuffer == context->readyBuffer)
        context->workBuffer = nullptr;
    BYTE** buffers[] = {&context->fillBuffer, &context->readyBuffer, &context->workBuffer};
    for (BYTE** buffer : buffers) {
        if (*buffer != nullptr)
            GlobalFree(*buffer);
        *buffer = nullptr;
    }
}

void ResetFrameReads(void)
{
    frameReadNext = nullptr;
    frameReadRemaining = 0;
    frameReadFromCarry = 0;
}

LORVCAP_API int WINAPI StartCapture(CaptureContext* context)
{
    if (context == nullptr || deviceChannel.failed || context->capturing)
        return 0;
    if (!OutputSizeSupported(context))
        return 0;
    context->device = GetChannelHandle();
    context->overlapped.hEvent = frameReadEvent;
    SetSourceConstants(context);
    ComputeZoomLimits(context);
    if (context->zoomMin <= 0)
        return 0;
    SetCropCenter(context, context->cropCenterX, context->cropCenterY);
    SetZoomFactor(context, context->zoomFactor);
    UpdateGeometry(context);
    BuildControllerRegs(context);
    context->bufferBytes = context->width * context->height * 2 + kTrailerBytes;
    if (RawFrameBytes(context->frameWidth, context->frameHeight, context->mode) > context->bufferBytes)
        return 0;
    WriteControllerRegs(context);

    context->fillBuffer = AllocFrameBuffer(context);
    context->readyBuffer = context->fillBuffer ? AllocFrameBuffer(context) : nullptr;
    context->workBuffer = nullptr;
    if (context->readyBuffer != nullptr && context->mode >= 1)
        context->workBuffer = AllocFrameBuffer(context);
    if (context->fillBuffer == nullptr || context->readyBuffer == nullptr ||
        (context->mode >= 1 && context->workBuffer == nullptr)) {
        ReleaseFrameBuffers(context);  // nothing stays allocated behind a failed start
        return 0;
    }
    UpdateFrameLayout(context);
    context->readPending = 0;
    context->streaming = 0;
    context->capturing = 1;
    return 1;
}

LORVCAP_API int WINAPI StopCapture(CaptureContext* context)
{
    if (context == nullptr || deviceChannel.failed || !context->capturing)
        return 0;
    int stopped = context->streaming ? StopStreaming(context) : 1;
    ReleaseFrameBuffers(context);
    context->capturing = 0;
    return stopped;
}

LORVCAP_API int WINAPI StartStreaming(CaptureContext* context)
{
    // Streaming reads into the capture buffers, so it needs a started capture.
    if (context == nullptr || deviceChannel.failed || context->streaming || !context->capturing)
        return 0;
    // A camera that cannot be reset or negotiated with is gone from this channel: failing it
    // lets Leave close the handle, and a new bring-up start afresh.
    if (!BridgeReset()) {
        FailChannel();
        return 0;
    }
    linkMode = LinkMode::Compatibility;
    if (NegotiateEcp() != LinkOk) {
        FailChannel();
        return 0;
    }
    ControllerResetPulse();
    ControllerStreamOn(context->controllerRegs[0x01]);
    BeginImageRead();
    context->rateFrameCount = 0;
    context->rateStartTick = GetTickCount();
    context->framePhase = 0;
    context->nextFramePhase = 0;
    context->carryBytes = 0;
    context->streaming = 1;
    streamRestarted = 1;
    return 1;
}

LORVCAP_API int WINAPI StopStreaming(CaptureContext* context)
{
    if (context == nullptr || deviceChannel.failed || !context->streaming)
        return 0;
    CompleteFrameRead(context);
    if (deviceChannel.failed) {  // the read failed and closed the channel: no link to turn
        context->streaming = 0;
        return 0;
    }
    // A lost byte of the turnaround or of the stream-off leaves the camera streaming.
    LONG failuresBefore = deviceChannel.bulkFailures;
    int turned = EndImageRead() == LinkOk;
    ControllerStreamOff(context->controllerRegs[0x01]);
    context->streaming = 0;
    return turned && deviceChannel.bulkFailures == failuresBefore;
}

int IssueFrameRead(CaptureContext* context)
{
    if (deviceChannel.failed) {
        Sleep(kFailedReadSleepMilliseconds);
        return 0;
    }
    if (!context->streaming || context->readPending)
        return 0;
    LONG phase = context->framePhase;
    LONG tail = context->frameTailBytes + phase;
    bool extra;
    if (tail >= kPacketBytes) {
        tail -= kPacketBytes;
        extra = tail != 0;
    } else {
        extra = tail != 0 && phase == 0;
    }
    context->nextFramePhase = tail;
    DWORD length = static_cast<DWORD>(context->frameAlignedBytes + (extra ? kPacketBytes : 0));
    BYTE* destination = context->fillFrame;
    if (phase != 0) {
        memcpy(destination, context->carry, static_cast<size_t>(context->carryBytes));
        destination += context->carryBytes;
    }
    if (length == 0) {
        frameReadFromCarry = 1;
    } else if (!ReadPiece(context, destination, length)) {
        return 0;
    }
    context->readPending = 1;
    return 1;
}

int CompleteFrameRead(CaptureContext* context)
{
    if (deviceChannel.failed || !context->streaming || !context->readPending)
        return 0;
    if (frameReadFromCarry)
        frameReadFromCarry = 0;
    else if (!AwaitFrameRead(context))
        return 0;
    if (context->nextFramePhase != 0) {
        context->carryBytes = kPacketBytes - context->nextFramePhase;
        memcpy(context->carry, context->fillFrame + context->frameBytes,
               static_cast<size_t>(context->carryBytes));
    }
    context->framePhase = context->nextFramePhase;
    BYTE* buffer = context->fillBuffer;
    context->fillBuffer = context->readyBuffer;
    context->readyBuffer = buffer;
    BYTE* frame = context->fillFrame;
    context->fillFrame = context->readyFrame;
    context->readyFrame = frame;
    context->readPending = 0;
    return 1;
}
