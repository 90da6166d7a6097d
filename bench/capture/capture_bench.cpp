// Capture speed by mode and output size: the frame rate the library measures on the platform
// clock, the limit the simulated full-speed bus allows for that frame (19 packets of 64 bytes
// per millisecond), the CPU time the calling thread spends per CaptureFrame, and the CPU time of
// the whole process per frame (the bus, kernel and simulated camera threads included).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <ctime>
#include <memory>
#include <vector>

#include "capture_api.h"
#include "bridge/device_channel.h"
#include "engine/capture_context.h"
#include "machine.h"
#include "simulator/camera.h"

extern "C" NTSTATUS DriverEntry(_DRIVER_OBJECT* driver, _UNICODE_STRING* registryPath);

namespace {

// One booted machine with the camera plugged and brought up, for one benchmark run.
class Stack {
public:
    Stack()
    {
        ResetLibraryState();
        machine_ = std::make_unique<platform::Machine>();
        machine_->LoadDriver(L"lorvusb", DriverEntry);
        camera_ = std::make_unique<simulator::Camera>(machine_->clock());
        machine_->Plug(camera_->usbDevice());
        entered_ = Enter_USS720_W9966_SAA7111() == 1;
    }
    ~Stack()
    {
        if (entered_)
            Leave_USS720_W9966_SAA7111();
        if (deviceChannel.ioEvent != nullptr)
            CloseHandle(deviceChannel.ioEvent);
        ResetLibraryState();
        machine_->Shutdown();
        camera_.reset();
        machine_.reset();
    }
    bool entered() const { return entered_; }

private:
    std::unique_ptr<platform::Machine> machine_;
    std::unique_ptr<simulator::Camera> camera_;
    bool entered_ = false;
};

void CaptureFrames(benchmark::State& state)
{
    const int width = static_cast<int>(state.range(0));
    const int height = static_cast<int>(state.range(1));
    const int mode = static_cast<int>(state.range(2));
    Stack stack;
    if (!stack.entered()) {
        state.SkipWithError("bring-up failed");
        return;
    }
    CaptureContext* context = AllocCaptureContext(width, height, mode);
    std::vector<BYTE> image(static_cast<size_t>((width * 3 + 3) & ~3) * height);
    context->outputImage = image.data();
    context->outputBitsPerPixel = 24;
    if (StartCapture(context) != 1 || StartStreaming(context) != 1) {
        state.SkipWithError("capture did not start");
        FreeCaptureContext(context);
        return;
    }
    CaptureFrame(context);  // the first frame is read while waiting; start from the steady state
    DWORD start = GetTickCount();
    const std::clock_t processStart = std::clock();  // every thread of the process
    for (auto _ : state)
        CaptureFrame(context);
    const std::clock_t processCpu = std::clock() - processStart;
    DWORD elapsed = GetTickCount() - start;
    double frames = static_cast<double>(state.iterations());
    state.counters["process_cpu_ms"] = 1000.0 * static_cast<double>(processCpu) / CLOCKS_PER_SEC / frames;
    state.counters["platform_fps"] = elapsed ? frames * 1000.0 / elapsed : 0.0;
    state.counters["library_fps"] = context->framesPerSecond + context->framesPerSecondHundredths / 100.0;
    state.counters["bus_limit_fps"] = 19.0 * 64 * 1000 / context->frameBytes;
    state.counters["frame_bytes"] = context->frameBytes;
    StopStreaming(context);
    StopCapture(context);
    FreeCaptureContext(context);
}

// 120 frames: the library measures its rate at the 101st.
BENCHMARK(CaptureFrames)
    ->ArgNames({"width", "height", "mode"})
    ->ArgsProduct({{320}, {240}, {0, 1, 2, 3, 4}})
    ->ArgsProduct({{640}, {480}, {0, 1, 2, 3, 4}})
    ->Iterations(120)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
