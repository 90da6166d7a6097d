// A long capture session on the virtual clock: the whole stack brought up once, then frames
// with something changed every 5 frames (output size and mode, zoom, pan, crop, video-decoder
// settings), as an application left running for a day would do. It prints what the process
// holds after a warm-up, at each tenth of the run and at the end: a stack that does not grow
// shows the same figures throughout.
//
//   soak_bench [frames]     (20000 by default)
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <wdm.h>

#include "bridge/device_channel.h"
#include "capture_api.h"
#include "engine/capture_context.h"
#include "heap.h"     // platform/win32
#include "kernel.h"   // platform/kernel
#include "machine.h"  // platform/machine
#include "session.h"  // platform/win32
#include "simulator/camera.h"

extern "C" DRIVER_INITIALIZE DriverEntry;

namespace {

constexpr int kFramesPerChange = 5;
constexpr ULONG kDriverTag = 0x206D6457;  // "Wdm "

struct Size {
    int width;
    int height;
};
constexpr Size kSizes[] = {{160, 120}, {320, 240}, {176, 144}, {128, 96}, {352, 288}};

struct Holdings {
    long rssKilobytes;
    std::size_t mallocKilobytes;  // what the process's allocations hold: RSS less the allocator's slack
    std::size_t poolBytes;
    std::size_t poolBlocks;
    std::size_t handles;
    std::size_t heapBlocks;
    std::size_t driverLogBytes;
};

long RssKilobytes()
{
    long pages = 0, resident = 0;
    if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        std::fclose(statm);
    }
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

Holdings Measure(platform::Machine& machine)
{
    auto& verifier = machine.kernel().verifier();
    const struct mallinfo2 heap = mallinfo2();
    return {RssKilobytes(),
            (heap.uordblks + heap.hblkhd) / 1024,
            verifier.OutstandingBytes(kDriverTag),
            verifier.OutstandingAllocations(),
            platform::win32::OpenHandles(),
            platform::win32::LiveLocalBlocks() + platform::win32::LiveGlobalBlocks(),
            machine.log().Size(platform::kernel::DebugLog::Source::Kernel)};
}

void Print(const char* when, long frames, const Holdings& h)
{
    std::printf("%-6s %8ld frames  rss %7ld KiB  malloc %7zu KiB  pool %6zu bytes in %3zu blocks  handles %2zu  heap blocks %2zu  "
                "driver log %9zu bytes\n",
                when, frames, h.rssKilobytes, h.mallocKilobytes, h.poolBytes, h.poolBlocks, h.handles, h.heapBlocks, h.driverLogBytes);
}

// One capture context with the application's image, started and streaming.
struct Capture {
    CaptureContext* context = nullptr;
    std::vector<BYTE> image;

    bool Start(Size size, int mode)
    {
        context = AllocCaptureContext(size.width, size.height, mode);
        if (context == nullptr)
            return false;
        image.assign(static_cast<size_t>((size.width * 3 + 3) / 4 * 4) * size.height, 0);
        context->outputImage = image.data();
        context->outputBitsPerPixel = mode % 2 ? 16 : 24;
        return StartCapture(context) == 1 && StartStreaming(context) == 1;
    }

    void Stop()
    {
        if (context == nullptr)
            return;
        StopStreaming(context);
        StopCapture(context);
        FreeCaptureContext(context);
        context = nullptr;
    }
};

// Change number `n`: the kinds take turns, each with values that move on. Between two contexts
// the process holds only what lives from bring-up to shutdown: the figures are taken there.
bool Change(Capture& capture, long n, platform::Machine& machine, Holdings& between)
{
    const int step = static_cast<int>(n / 5);
    switch (n % 5) {
    case 0:
        capture.Stop();
        between = Measure(machine);
        return capture.Start(kSizes[step % std::size(kSizes)], (step + step / 5) % 5);
    case 1: SetZoomFactor(capture.context, step % 64); return true;
    case 2:
        SetPanCtrlSize(capture.context, 100 + step % 300, 80 + step % 200);
        SetPanAreaCenter(capture.context, step % 400, step % 300);
        return true;
    case 3: SetCropCenter(capture.context, 200 + step % 300, 100 + step % 150); return true;
    default: SetSAA7111Reg(step % kDecoderEntries, 0x40 + step % 0x40); return true;
    }
}

// The simulated camera keeps its working buffers from frame to frame, each as large as the
// largest window it has rendered, and the debug log fills its ring: every size in every mode
// at the widest zoom comes first, then enough changes to fill the log, so that the figures
// after it move only with growth that has no bound.
bool WarmUp(Capture& capture)
{
    for (const Size size : kSizes)
        for (int mode = 0; mode < 5; ++mode) {
            capture.Stop();
            if (!capture.Start(size, mode))
                return false;
            SetZoomFactor(capture.context, capture.context->zoomMin);
            CaptureFrame(capture.context);
            CaptureFrame(capture.context);
        }
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    const long frames = argc > 1 ? std::atol(argv[1]) : 20000;
    ResetLibraryState();
    auto machine = std::make_unique<platform::Machine>();
    auto camera = std::make_unique<simulator::Camera>(machine->clock());
    if (!NT_SUCCESS(machine->LoadDriver(L"lorvusb", DriverEntry)) ||
        !NT_SUCCESS(machine->StartStatus(machine->Plug(camera->usbDevice()))) || !Enter_USS720_W9966_SAA7111()) {
        std::fprintf(stderr, "soak_bench: the camera did not come up\n");
        return 1;
    }
    Capture capture;
    long failed = WarmUp(capture) ? 0 : 1;
    Holdings between{};
    constexpr long kStartFrame = 20 * kFramesPerChange;
    const long tenth = std::max(frames / 10, kStartFrame);
    for (long frame = 0; frame < frames; ++frame) {
        if (frame % kFramesPerChange == 0 && !Change(capture, frame / kFramesPerChange, *machine, between))
            ++failed;
        if (frame == kStartFrame)
            Print("start", frame, between);
        else if (frame > kStartFrame && frame % tenth == 0)
            Print("at", frame, between);
        if (capture.context != nullptr && capture.context->capturing)
            CaptureFrame(capture.context);
    }
    capture.Stop();
    const Holdings end = Measure(*machine);
    Print("end", frames, end);
    std::printf("%ld frames, %ld changes failed, %.1f s on the platform clock\n", frames, failed,
                GetTickCount() / 1000.0);
    Leave_USS720_W9966_SAA7111();
    if (deviceChannel.ioEvent != nullptr)
        CloseHandle(deviceChannel.ioEvent);
    ResetLibraryState();
    machine->Shutdown();
    camera.reset();
    machine.reset();
    return failed == 0 ? 0 : 1;
}
