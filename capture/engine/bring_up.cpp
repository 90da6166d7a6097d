#include <cstring>

#include "bridge/camera_controller.h"
#include "bridge/device_channel.h"
#include "bridge/ieee1284_link.h"
#include "bridge/parallel_port.h"
#include "decode/decode.h"
#include "engine/capture_context.h"

namespace {

// The video decoder's settings in the order bring-up sends them.
#define LORV_DECODER_DEFAULTS \
    {0x01, 0x02, 0xAB}, {0x00, 0x04, 0x00}, {0x00, 0x05, 0xE8}, {0x00, 0x06, 0x38}, \
    {0x00, 0x07, 0x26}, {0x02, 0x00, 0x0F}, {0x02, 0x01, 0x43}, {0x02, 0x02, 0x40}, \
    {0x02, 0x03, 0x62}, {0x02, 0x04, 0x52}, {0x01, 0x08, 0x2C}, {0x01, 0x09, 0x2D}, \
    {0x01, 0x0A, 0x36}, {0x01, 0x0B, 0x0A}, {0x01, 0x0C, 0x80}, {0x01, 0x0D, 0xE8}, \
    {0x00, 0x03, 0x16}, {0x00, 0x02, 0x3C}

constexpr DecoderTableEntry kDecoderDefaults[kDecoderEntries] = {LORV_DECODER_DEFAULTS};

void CloseFrameReadEvent(void)
{
    if (frameReadEvent != nullptr) {
        CloseHandle(frameReadEvent);
        frameReadEvent = nullptr;
    }
}

}  // namespace

DecoderTableEntry decoderTable[kDecoderEntries] = {LORV_DECODER_DEFAULTS};
BYTE decoderApplied[kDecoderEntries];
HANDLE frameReadEvent;

LORVCAP_API int WINAPI Enter_USS720_W9966_SAA7111(void)
{
    // A bring-up without a shutdown before it replaces the channel instead of leaking it.
    if (deviceChannel.handle != nullptr)
        CloseChannel();
    SetPortBase(kPortBase);
    if (!OpenBridge()) {
        if (deviceChannel.handle != nullptr)
            CloseChannel();  // the reset failed: no handle is left behind
        return 0;
    }
    if (NegotiateEcp() != LinkOk) {
        CloseChannel();
        return 0;
    }
    SerialBegin();
    for (const DecoderTableEntry& entry : decoderTable) {
        SerialQueueWrite(entry.selector, entry.address, entry.value);
        if (!SerialFlush()) {
            CloseChannel();
            return 0;
        }
    }
    for (int i = 0; i < kDecoderEntries; ++i)
        decoderApplied[i] = decoderTable[i].value;
    CloseFrameReadEvent();
    frameReadEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    BuildColourTables();
    BuildDecoderTables();
    deviceChannel.failed = 0;
    return 1;
}

// Reports 0 also when a byte meant for the camera was lost since the channel opened: the
// camera may then not be in the state the application asked for.
LORVCAP_API int WINAPI Leave_USS720_W9966_SAA7111(void)
{
    // A failed channel, or a bring-up that failed and closed it, has no link to terminate.
    if (deviceChannel.failed || deviceChannel.handle == nullptr) {
        CloseFrameReadEvent();
        return 0;
    }
    if (TerminateEcp() != LinkOk)
        return 0;
    int clean = deviceChannel.bulkFailures == 0;
    CloseChannel();
    CloseFrameReadEvent();
    return clean;
}

LORVCAP_API void WINAPI SetSAA7111Reg(int index, int value)
{
    if (index < 0 || index >= kDecoderEntries)
        return;
    decoderTable[index].value = static_cast<BYTE>(value);
}

LORVCAP_API int WINAPI GetSAA7111Reg(int index)
{
    if (index < 0 || index >= kDecoderEntries)
        return 0;
    return decoderTable[index].value;
}

void ReleaseHeldChannel(void)
{
    FailChannel();
    CloseFrameReadEvent();
}

void ResetLibraryState(void)
{
    ResetDeviceChannel();
    portMap = PortMapRecord{};
    linkMode = LinkMode::Compatibility;
    serialLines = 0;
    serialLength = 0;
    memcpy(decoderTable, kDecoderDefaults, sizeof decoderTable);
    memset(decoderApplied, 0, sizeof decoderApplied);
    frameReadEvent = nullptr;
    streamRestarted = 0;
    referenceTrailer = 0;
    ResetFrameReads();
}
