// How busy the libusb path keeps the bulk pipe. The same simulated camera is filmed, mode by
// mode, through lorvcam's camera path on the wall clock: once on the simulated bus in this
// process (as `--realtime`), once behind usbfs as umockdev emulates it, reached through
// unmodified libusb (as `--device usb`). The camera paces the frames, and the emulated device
// sits on a simulated bus with the same 19 packets per millisecond, so a libusb path that keeps
// up films at the simulated bus's rate; `bus_share` is the part of the bus the frames fill. The
// camera films a still picture, which it encodes once: its CPU would otherwise set the pace.
//
//   umockdev-wrapper build/release/bench/usbfs/usbfs_bench
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <exception>
#include <memory>
#include <optional>
#include <vector>

#include "camera.h"  // simulator
#include "camera_backend.h"  // lorvcam
#include "capture_api.h"
#include "clock.h"  // platform/kernel
#include "emulated_usbfs.h"
#include "png_file.h"  // lorvcam

namespace {

constexpr int kWidth = 320;
constexpr int kHeight = 240;
constexpr double kBusBytesPerSecond = 19.0 * 64 * 1000;

lorvcam::RgbImage StillPicture()
{
    lorvcam::RgbImage picture{96, 64, {}};
    for (int y = 0; y < picture.height; ++y)
        for (int x = 0; x < picture.width; ++x)
            picture.pixels.insert(picture.pixels.end(), {std::uint8_t(x * 2), std::uint8_t(y * 3), std::uint8_t(x + y)});
    return picture;
}

// The still picture as a scene file for the simulated camera, and the bridge at usb:1:2 filming
// it, for the whole run.
struct EmulatedBridge {
    explicit EmulatedBridge(const lorvcam::RgbImage& picture)
        : camera(std::make_shared<simulator::Camera>(
              clock, simulator::CameraOptions{simulator::RgbImage{picture.width, picture.height, picture.pixels}}))
    {
        lorvcam::WritePng(scene, picture);
        usbfs.Add(camera->usbDevice(), {.bus = 1, .address = 2, .kernelDriver = {}});
    }
    ~EmulatedBridge() { std::filesystem::remove(scene); }
    std::filesystem::path scene =
        std::filesystem::temp_directory_path() / ("usbfs-bench-" + std::to_string(::getpid()) + ".png");
    platform::Clock clock{platform::Clock::Mode::Wall};
    std::shared_ptr<simulator::Camera> camera;
    usbfs_test::EmulatedUsbfs usbfs{clock};
};

EmulatedBridge* bridge = nullptr;

void Capture(benchmark::State& state)
{
    const int mode = static_cast<int>(state.range(0));
    lorvcam::PlatformOptions options;
    options.realtime = true;
    options.device = state.range(1) ? "usb:1:2" : "sim";
    if (options.device == "sim")
        options.scene = bridge->scene;
    std::optional<lorvcam::CameraBackend> backend;
    std::optional<lorvcam::CameraSession> session;
    try {
        backend.emplace(options);
        session.emplace(*backend);
    } catch (const std::exception& error) {
        state.SkipWithError(error.what());
        return;
    }
    CaptureContext* context = AllocCaptureContext(kWidth, kHeight, mode);
    std::vector<BYTE> image(static_cast<size_t>(kWidth * 3) * kHeight);
    context->outputImage = image.data();
    context->outputBitsPerPixel = 24;
    if (StartCapture(context) != 1 || StartStreaming(context) != 1) {
        state.SkipWithError("the capture did not start");
        FreeCaptureContext(context);
        return;
    }
    CaptureFrame(context);  // the first frame waits for the stream; measure the steady state
    const auto start = backend->Now();
    for (auto _ : state)
        CaptureFrame(context);
    const double seconds = std::chrono::duration<double>(backend->Now() - start).count();
    const double fps = seconds > 0 ? static_cast<double>(state.iterations()) / seconds : 0;
    state.counters["fps"] = fps;
    state.counters["bus_share"] = fps * context->frameBytes / kBusBytesPerSecond;
    state.counters["frame_bytes"] = context->frameBytes;
    // CaptureFrame reports no failure; a stream that broke on the way shows when it stops.
    if (StopStreaming(context) != 1)
        state.SkipWithError("the stream failed during the run");
    StopCapture(context);
    FreeCaptureContext(context);
}

BENCHMARK(Capture)
    ->ArgNames({"mode", "libusb"})
    ->ArgsProduct({{0, 1, 2, 3, 4}, {0, 1}})
    ->Iterations(30)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    std::unique_ptr<EmulatedBridge> owned;
    try {
        owned = std::make_unique<EmulatedBridge>(StillPicture());
    } catch (const std::exception& error) {
        std::fprintf(stderr, "usbfs_bench: %s\n", error.what());
        return 1;
    }
    bridge = owned.get();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
