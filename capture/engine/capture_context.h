// The capture engine's internal interface: the context helpers, bring-up state, geometry,
// lifecycle and frame acquisition behind the exports of capture_api.h.
#pragma once

#include "capture_api.h"

// ---- context and frame sizes
constexpr LONG kContextBytes = 516;          // the record's size with 32-bit pointers
constexpr LONG kBufferSlackBytes = 4224;     // behind bufferBytes: surplus of the last packet
constexpr LONG kPacketBytes = 64;            // one bulk packet
constexpr LONG kTrailerBytes = 4;
constexpr LONG kLargestOutputSide = 641;     // what the stretch weight tables can serve

LONG RawFrameBytes(LONG frameWidth, LONG frameHeight, LONG mode);
LONG SecondPartOffset(LONG frameWidth, LONG frameHeight);
// Recomputes every size and frame pointer that follows from frameWidth, frameHeight, mode.
void UpdateFrameLayout(CaptureContext* context);

// ---- bring-up: the video decoder's settings and the frame-read event
constexpr int kDecoderEntries = 18;

struct DecoderTableEntry {
    BYTE selector;
    BYTE address;
    BYTE value;
};

extern DecoderTableEntry decoderTable[kDecoderEntries];
extern BYTE decoderApplied[kDecoderEntries];
extern HANDLE frameReadEvent;

// ---- geometry
void SetSourceConstants(CaptureContext* context);
void ComputeZoomLimits(CaptureContext* context);
void UpdateGeometry(CaptureContext* context);
void UpdatePanViewSize(CaptureContext* context);
void PanCenterFromCrop(CaptureContext* context);
void CropCenterFromPan(CaptureContext* context);
void ClampPanView(CaptureContext* context);
void PlaceCropWindow(CaptureContext* context);
void BuildControllerRegs(CaptureContext* context);
int ControllerRegsChanged(const CaptureContext* context);
void WriteControllerRegs(CaptureContext* context);
// 1 when the output size and mode can be served without writing outside a buffer.
int OutputSizeSupported(const CaptureContext* context);

// ---- lifecycle and frame reads
constexpr DWORD kFrameWaitMilliseconds = 2000;
constexpr DWORD kFailedReadSleepMilliseconds = 33;

extern LONG streamRestarted;
extern DWORD referenceTrailer;

// A frame longer than one bulk request is read in whole-packet pieces of at most this size.
constexpr DWORD kFrameReadPieceBytes = 153600;

int IssueFrameRead(CaptureContext* context);
int CompleteFrameRead(CaptureContext* context);
void ResetFrameReads(void);
// Frees the capture buffers, each distinct block once (in mode 0 the work buffer is one of the
// other two), and clears their pointers.
void ReleaseFrameBuffers(CaptureContext* context);

// ---- acquisition
int RefreshDecoderSettings(void);

// Back to the state at load for every process-wide record of the library; for tests that
// boot a fresh machine per case.
void ResetLibraryState(void);
// The unload's share: the channel and event that a Leave whose termination failed kept open
// for another try.
void ReleaseHeldChannel(void);
