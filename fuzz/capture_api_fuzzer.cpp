// The 17 exports called in any order with any arguments, as an application might, against the
// simulated camera; frames decoded from any bytes. Whatever the calls, a clean exit (contexts
// freed, Leave) must leave nothing open or allocated.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "capture_api.h"
#include "fuzz_machine.h"

namespace {

constexpr int kMaxCalls = 40;
constexpr int kMaxFrames = 6;  // each costs a frame of the simulated camera's time and work
constexpr int kMaxContexts = 2;
constexpr int kLargestImageSide = 2048;

enum Call : std::uint8_t {
    kEnter, kLeave, kSetDecoderReg, kGetDecoderReg, kAlloc, kFree, kStartCapture, kStopCapture,
    kStartStreaming, kStopStreaming, kCaptureFrame, kDecodeFrame, kSetCropCenter, kSetZoom,
    kSetPanCtrlSize, kSetPanAreaCenter, kDllMain, kOutputFormat, kFrameBytes, kCallCount
};

struct Slot {
    CaptureContext* context = nullptr;
    std::vector<BYTE> image;  // the application's output image; empty when too large to hold
};

// Mostly values near the ones that matter, sometimes any 32-bit value.
int Value(FuzzedDataProvider& in)
{
    if (in.ConsumeBool())
        return in.ConsumeIntegral<int>();
    return in.ConsumeIntegralInRange<int>(-16, 800);
}

void Alloc(Slot& slot, FuzzedDataProvider& in)
{
    const int width = Value(in), height = Value(in), mode = in.ConsumeIntegralInRange<int>(-1, 5);
    slot.context = AllocCaptureContext(width, height, mode);
    if (slot.context == nullptr)
        return;
    slot.context->outputBitsPerPixel = 24;
    if (width > 0 && height > 0 && width <= kLargestImageSide && height <= kLargestImageSide) {
        // room for double size at 24 bits, rows on a 4-byte stride
        slot.image.assign(static_cast<size_t>((width * 6 + 3) / 4 * 4) * height * 2, 0);
        slot.context->outputImage = slot.image.data();
    }
}

void Free(Slot& slot)
{
    if (slot.context != nullptr && FreeCaptureContext(slot.context) != nullptr)
        fuzz::Fail("FreeCaptureContext did not free the context");
    slot = Slot{};
}

// The camera's bytes replaced by any bytes, as a garbled transfer would leave them.
void GarbleFrame(CaptureContext* context, FuzzedDataProvider& in)
{
    if (!context->capturing || context->readyFrame == nullptr || context->frameBytes <= 0)
        return;
    std::vector<std::uint8_t> bytes = in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 4096));
    for (size_t offset = 0; !bytes.empty() && offset < static_cast<size_t>(context->frameBytes); offset += bytes.size())
        std::memcpy(context->readyFrame + offset, bytes.data(),
                    std::min(bytes.size(), static_cast<size_t>(context->frameBytes) - offset));
}

void RunCall(Call call, Slot (&slots)[kMaxContexts], int& frames, FuzzedDataProvider& in)
{
    Slot& slot = slots[in.ConsumeIntegralInRange<int>(0, kMaxContexts - 1)];
    CaptureContext* context = slot.context;
    const bool hasImage = context != nullptr && !slot.image.empty();
    switch (call) {
    case kEnter: Enter_USS720_W9966_SAA7111(); break;
    case kLeave: Leave_USS720_W9966_SAA7111(); break;
    case kSetDecoderReg: SetSAA7111Reg(Value(in), Value(in)); break;
    case kGetDecoderReg: GetSAA7111Reg(Value(in)); break;
    case kAlloc: if (context == nullptr) Alloc(slot, in); break;
    case kFree: Free(slot); break;
    case kStartCapture: StartCapture(in.ConsumeBool() ? context : nullptr); break;
    case kStopCapture: StopCapture(in.ConsumeBool() ? context : nullptr); break;
    case kStartStreaming: StartStreaming(in.ConsumeBool() ? context : nullptr); break;
    case kStopStreaming: StopStreaming(in.ConsumeBool() ? context : nullptr); break;
    case kCaptureFrame:
        if ((hasImage || context == nullptr) && frames++ < kMaxFrames)
            CaptureFrame(context);
        break;
    case kDecodeFrame: if (hasImage) DecodeFrame(context); break;
    case kSetCropCenter: if (context) SetCropCenter(context, Value(in), Value(in)); break;
    case kSetZoom: if (context) SetZoomFactor(context, Value(in)); break;
    case kSetPanCtrlSize: if (context) SetPanCtrlSize(context, Value(in), Value(in)); break;
    case kSetPanAreaCenter: if (context) SetPanAreaCenter(context, Value(in), Value(in)); break;
    case kDllMain: {
        // Nothing calls a library after its unload, which comes once, at the end.
        const DWORD reason = in.ConsumeIntegral<DWORD>();
        static int processEnding;
        DllMain(nullptr, reason, reason == DLL_PROCESS_DETACH ? &processEnding : nullptr);
        break;
    }
    case kOutputFormat:
        if (context) {
            context->outputBitsPerPixel = in.ConsumeBool() ? 16 : 24;
            context->doubleSize = in.ConsumeBool();
        }
        break;
    case kFrameBytes:
        if (hasImage) {
            GarbleFrame(context, in);
            DecodeFrame(context);
        }
        break;
    default: break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size)
{
    FuzzedDataProvider in(data, size);
    auto machine = std::make_unique<fuzz::FuzzMachine>();
    Slot slots[kMaxContexts];
    int frames = 0;
    for (int n = 0; n < kMaxCalls && in.remaining_bytes() > 0; ++n)
        RunCall(static_cast<Call>(in.ConsumeIntegralInRange<int>(0, kCallCount - 1)), slots, frames, in);
    for (Slot& slot : slots)
        Free(slot);
    Leave_USS720_W9966_SAA7111();
    machine->Finish();
    return 0;
}
