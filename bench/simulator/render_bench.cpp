// CPU time of one simulated frame: the scene sampled through the window and the frame encoded,
// as the camera's renderer does it, for the frames of a 640 x 480 capture at the default zoom
// (230 x 240 in modes 0 and 1; 232 x 240 in modes 2 to 4, padded to 240 x 244).
// Run: build/release/bench/simulator/render_bench --benchmark_repetitions=3
#include <benchmark/benchmark.h>

#include <optional>

#include "simulator/frame_encoder.h"
#include "simulator/scene.h"

namespace {

using simulator::FrameFormat;

void RenderFrame(benchmark::State& state, FrameFormat format)
{
    const bool compressed = simulator::IsCompressed(format);
    // Half-scale across: twice the picture width of field pixels.
    const simulator::Window window{8, 2, compressed ? 480 : 460, compressed ? 244 : 240, 32, 64};
    const simulator::Scene scene(std::nullopt);
    const int w = window.PictureWidth(), h = window.PictureHeight();
    const std::size_t bytes = compressed ? std::size_t(w * h / 4 + w * h) : std::size_t(2 * w * h);
    const std::size_t second = std::size_t(w * h / 4);
    std::uint64_t field = 0;
    for (auto _ : state) {
        const simulator::YcbcrPlanes picture = scene.Sample(window, field++, {});
        benchmark::DoNotOptimize(simulator::AssembleFrame(format, picture, bytes, second, {1, 2, 3, 4}));
    }
}

BENCHMARK_CAPTURE(RenderFrame, mode0, FrameFormat::Pixels422)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(RenderFrame, mode1, FrameFormat::Rows12)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(RenderFrame, mode2, FrameFormat::Compressed6)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(RenderFrame, mode3, FrameFormat::Compressed4)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(RenderFrame, mode4, FrameFormat::Compressed3)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
