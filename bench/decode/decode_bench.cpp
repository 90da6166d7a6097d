// Megapixels per second of each decode stage and of DecodeFrame at the output sizes 640 x 480,
// 320 x 240 and 160 x 120, with libyuv's nearest functions on the same pixels, its SIMD on and
// masked off. Run: build/release/bench/decode/decode_bench --benchmark_repetitions=3
//
// Peers (libyuv has no packed 4:2:2 to 24-bit RGB, no 16-bit 1:5:5:5 from packed 4:2:2, and no
// packed 4:2:2 scaler):
//   ConvertToRgb24, ConvertToRgb16  <->  YUY2ToARGB (Y0 U Y1 V to 32-bit; our pairs are
//                                        Y0 Cr Y1 Cb, the same work with chroma swapped)
//   ScaleWidth + ScaleHeight        <->  I422Scale, kFilterBilinear (planar Y, U, V)
//   ExpandMode1Frame                <->  memcpy of as many bytes as it writes
#include <cstdint>
#include <cstring>
#include <functional>
#include <random>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include <benchmark/benchmark.h>
#include <libyuv.h>

#include "decode/decode.h"
#include "decode/simd.h"

namespace {

struct Size {
    int width;
    int height;
};
constexpr Size kOutputSizes[] = {{640, 480}, {320, 240}, {160, 120}};

// Captured size that the capture window geometry gives for an output size at the default zoom.
Size CaptureSize(int mode, Size output)
{
    const bool compressed = mode >= 2;
    if (output.width == 160)
        return {compressed ? 112 : 116, 120};
    return {compressed ? 232 : 230, 240};
}

std::vector<BYTE> RandomBytes(std::size_t count)
{
    std::mt19937 random(1);
    std::vector<BYTE> bytes(count);
    for (BYTE& b : bytes)
        b = static_cast<BYTE>(random());
    return bytes;
}

void CountPixels(benchmark::State& state, std::int64_t pixels)
{
    state.counters["MP/s"] =
        benchmark::Counter(static_cast<double>(pixels) / 1e6, benchmark::Counter::kIsIterationInvariantRate);
}

void BuildTables()
{
    BuildColourTables();
    BuildDecoderTables();
}

// ---- colour conversion -------------------------------------------------------------------

using Converter = void (*)(int, int, int, const BYTE*, BYTE*);

void Convert(benchmark::State& state, Converter convert, int scale, Size output)
{
    BuildTables();
    const int w = output.width / scale;
    const int h = output.height / scale;
    const auto source = RandomBytes(std::size_t(2 * w * h));
    std::vector<BYTE> out(std::size_t(Rgb24RowBytes(output.width) * output.height));
    for (auto _ : state) {
        convert(w, w, h, source.data(), out.data());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    CountPixels(state, std::int64_t(output.width) * output.height);
}

// The AVX2 rows called directly, beside the fastest rows that the converters choose, where the
// processor has wider ones.
void ConvertAvx2Rows(benchmark::State& state, bool rgb24, Size output)
{
    BuildTables();
    const int w = output.width;
    const auto source = RandomBytes(std::size_t(2 * w * output.height));
    const int rowBytes = rgb24 ? Rgb24RowBytes(w) : Rgb16RowBytes(w);
    std::vector<BYTE> out(std::size_t(rowBytes * output.height));
    const ConvertRow row = rgb24 ? avx2ConvertRows.rgb24 : avx2ConvertRows.rgb16;
    for (auto _ : state) {
        for (int r = 0; r < output.height; ++r)
            row(source.data() + std::ptrdiff_t(2) * w * r, w / 2, out.data() + std::ptrdiff_t(rowBytes) * r);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    CountPixels(state, std::int64_t(w) * output.height);
}

void LibyuvYuy2ToArgb(benchmark::State& state, bool simd, Size output)
{
    libyuv::MaskCpuFlags(simd ? -1 : 1);
    const auto source = RandomBytes(std::size_t(2 * output.width * output.height));
    std::vector<BYTE> out(std::size_t(4 * output.width * output.height));
    for (auto _ : state) {
        libyuv::YUY2ToARGB(source.data(), 2 * output.width, out.data(), 4 * output.width, output.width, output.height);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    libyuv::MaskCpuFlags(-1);
    CountPixels(state, std::int64_t(output.width) * output.height);
}

// ---- expansion by mode ---------------------------------------------------------------------

void DecodeCompressed(benchmark::State& state, int mode, Size output, const CompressedDecoders* decoders = nullptr)
{
    BuildTables();
    const int w = output.width;
    const int h = output.height;
    const std::size_t baseBytes = std::size_t((w + 8) * (h + 4) / 4);
    const auto frame = RandomBytes(baseBytes + std::size_t(h * CorrectionRowBytes(mode, w)));
    std::vector<BYTE> out(std::size_t(2 * w * h));
    auto decode = mode == 2 ? DecodeMode2Frame : mode == 3 ? DecodeMode3Frame : DecodeMode4Frame;
    if (decoders != nullptr)
        decode = mode == 2 ? decoders->mode2 : mode == 3 ? decoders->mode3 : decoders->mode4;
    for (auto _ : state) {
        decode(w + 8, h + 4, frame.data(), frame.data() + baseBytes, out.data());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    CountPixels(state, std::int64_t(w) * h);
}

void ExpandMode1(benchmark::State& state, Size output)
{
    const auto frame = RandomBytes(std::size_t(3 * output.width * output.height / 2));
    std::vector<BYTE> out(std::size_t(2 * output.width * output.height));
    for (auto _ : state) {
        ExpandMode1Frame(output.width, output.height, frame.data(), out.data());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    CountPixels(state, std::int64_t(output.width) * output.height);
}

// The peer of mode-1 expansion, which is bound by memory: copying its output's bytes.
void CopyOutput(benchmark::State& state, Size output)
{
    const auto source = RandomBytes(std::size_t(2 * output.width * output.height));
    std::vector<BYTE> out(source.size());
    for (auto _ : state) {
        std::memcpy(out.data(), source.data(), source.size());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    CountPixels(state, std::int64_t(output.width) * output.height);
}

// ---- stretching (mode 0 capture size to the output size) ------------------------------------

void Stretch(benchmark::State& state, bool width, bool height, Size output)
{
    const Size capture = CaptureSize(0, output);
    const auto source = RandomBytes(std::size_t(2 * capture.width * capture.height));
    std::vector<BYTE> wide(std::size_t(2 * output.width * capture.height));
    std::vector<BYTE> full(std::size_t(2 * output.width * output.height));
    for (auto _ : state) {
        if (width)
            ScaleWidth(capture.width, capture.width, capture.height, source.data(), output.width, wide.data());
        if (height)
            ScaleHeight(output.width, output.width, capture.height, wide.data(), output.height, full.data());
        benchmark::DoNotOptimize(full.data());
        benchmark::ClobberMemory();
    }
    CountPixels(state, std::int64_t(output.width) * (height ? output.height : capture.height));
}

void LibyuvI422Scale(benchmark::State& state, bool simd, Size output)
{
    libyuv::MaskCpuFlags(simd ? -1 : 1);
    const Size capture = CaptureSize(0, output);
    const auto source = RandomBytes(std::size_t(2 * capture.width * capture.height));
    const BYTE* y = source.data();
    const BYTE* u = y + capture.width * capture.height;
    const BYTE* v = u + capture.width / 2 * capture.height;
    std::vector<BYTE> out(std::size_t(2 * output.width * output.height));
    BYTE* dy = out.data();
    BYTE* du = dy + output.width * output.height;
    BYTE* dv = du + output.width / 2 * output.height;
    for (auto _ : state) {
        libyuv::I422Scale(y, capture.width, u, capture.width / 2, v, capture.width / 2, capture.width, capture.height,
                          dy, output.width, du, output.width / 2, dv, output.width / 2, output.width, output.height,
                          libyuv::kFilterBilinear);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    libyuv::MaskCpuFlags(-1);
    CountPixels(state, std::int64_t(output.width) * output.height);
}

// ---- the whole DecodeFrame ----------------------------------------------------------------

std::int64_t RawFrameBytes(int mode, std::int64_t w, std::int64_t h)
{
    const std::int64_t p = (w + 8) * (h + 4) / 4;
    const std::int64_t sizes[] = {2 * w * h, 3 * w * h / 2, 3 * w * h / 4 + p, w * h / 2 + p, 3 * w * h / 8 + p};
    return sizes[mode] + 4;
}

// Buffers placed as StartCapture places them; the camera frame is random.
void WholeFrame(benchmark::State& state, int mode, int bits, Size output, Size capture)
{
    BuildTables();
    CaptureContext c{};
    c.width = output.width;
    c.height = output.height;
    c.mode = mode;
    c.frameWidth = c.captureWidth = capture.width;
    c.frameHeight = c.captureHeight = capture.height;
    c.outputBitsPerPixel = bits;
    c.bufferBytes = output.width * output.height * 2 + 4;
    c.captureImageBytes = capture.width * capture.height * 2 + 4;
    c.frameBytes = LONG(RawFrameBytes(mode, capture.width, capture.height));
    c.secondPartOffset = (capture.width + 8) * (capture.height + 4) / 4;
    std::vector<BYTE> ready(std::size_t(c.bufferBytes + 4224));
    std::vector<BYTE> work(ready.size());
    std::vector<BYTE> image(std::size_t(Rgb24RowBytes(output.width) * output.height));
    const auto frame = RandomBytes(std::size_t(c.frameBytes));
    c.readyBuffer = ready.data();
    c.readyFrame = ready.data() + c.bufferBytes - c.frameBytes;
    c.outputImage = image.data();
    for (auto _ : state) {
        // Mode 0 stretches in the frame buffer itself, so each frame arrives afresh there.
        state.PauseTiming();
        std::copy(frame.begin(), frame.end(), c.readyFrame);
        c.workBuffer = work.data();
        c.workImage = work.data() + c.bufferBytes - c.captureImageBytes;
        state.ResumeTiming();
        DecodeFrame(&c);
        benchmark::DoNotOptimize(image.data());
        benchmark::ClobberMemory();
    }
    CountPixels(state, std::int64_t(output.width) * output.height);
}

std::string SizeName(Size s) { return std::to_string(s.width) + "x" + std::to_string(s.height); }

// Appending piece by piece; GCC 12 warns falsely on a literal added to a std::string.
std::string Join(std::initializer_list<std::string_view> parts)
{
    std::string name;
    for (std::string_view part : parts)
        name.append(part);
    return name;
}

void Register(const std::string& name, std::function<void(benchmark::State&)> run)
{
    benchmark::RegisterBenchmark(name.c_str(), [run](benchmark::State& state) { run(state); })->Unit(benchmark::kMicrosecond);
}

void RegisterAll()
{
    for (const Size s : kOutputSizes) {
        const std::string size = Join({"/", SizeName(s)});
        Register(Join({"Convert/ConvertToRgb24", size}), [s](auto& st) { Convert(st, ConvertToRgb24, 1, s); });
        Register(Join({"Convert/ConvertToRgb16", size}), [s](auto& st) { Convert(st, ConvertToRgb16, 1, s); });
        Register(Join({"Convert/ConvertToRgb24Double", size}), [s](auto& st) { Convert(st, ConvertToRgb24Double, 2, s); });
        Register(Join({"Convert/ConvertToRgb16Double", size}), [s](auto& st) { Convert(st, ConvertToRgb16Double, 2, s); });
#if LORV_AVX512
        if (CpuHasAvx512()) {
            Register(Join({"Convert/ConvertToRgb24_avx2_rows", size}), [s](auto& st) { ConvertAvx2Rows(st, true, s); });
            Register(Join({"Convert/ConvertToRgb16_avx2_rows", size}), [s](auto& st) { ConvertAvx2Rows(st, false, s); });
        }
#endif
        Register(Join({"Convert/libyuv_YUY2ToARGB_simd", size}), [s](auto& st) { LibyuvYuy2ToArgb(st, true, s); });
        Register(Join({"Convert/libyuv_YUY2ToARGB_c", size}), [s](auto& st) { LibyuvYuy2ToArgb(st, false, s); });
        Register(Join({"Expand/ExpandMode1Frame", size}), [s](auto& st) { ExpandMode1(st, s); });
        Register(Join({"Expand/memcpy_output", size}), [s](auto& st) { CopyOutput(st, s); });
        for (int mode = 2; mode <= 4; ++mode)
            Register(Join({"Expand/DecodeMode", std::to_string(mode), "Frame", size}),
                     [s, mode](auto& st) { DecodeCompressed(st, mode, s); });
#if LORV_AVX2
        if (CpuHasAvx2())  // mode 2 has its own AVX2 decoder: the SSE2 one beside it
            Register(Join({"Expand/DecodeMode2Frame_sse2", size}),
                     [s](auto& st) { DecodeCompressed(st, 2, s, &sse2CompressedDecoders); });
#endif
        const std::string from = Join({"/", SizeName(CaptureSize(0, s)), "_to_", SizeName(s)});
        Register(Join({"Stretch/ScaleWidth", from}), [s](auto& st) { Stretch(st, true, false, s); });
        Register(Join({"Stretch/ScaleWidth+ScaleHeight", from}), [s](auto& st) { Stretch(st, true, true, s); });
        Register(Join({"Stretch/libyuv_I422Scale_bilinear_simd", from}), [s](auto& st) { LibyuvI422Scale(st, true, s); });
        Register(Join({"Stretch/libyuv_I422Scale_bilinear_c", from}), [s](auto& st) { LibyuvI422Scale(st, false, s); });
        for (int mode = 0; mode <= 4; ++mode)
            for (int bits : {24, 16}) {
                const Size capture = CaptureSize(mode, s);
                Register(Join({"DecodeFrame/mode", std::to_string(mode), "/", std::to_string(bits), "bit", size, "_from_",
                               SizeName(capture)}),
                         [=](auto& st) { WholeFrame(st, mode, bits, s, capture); });
            }
        for (int mode = 2; mode <= 4; ++mode)
            Register(Join({"DecodeFrame/mode", std::to_string(mode), "/24bit", size, "_unstretched"}),
                     [=](auto& st) { WholeFrame(st, mode, 24, s, s); });
    }
}

}  // namespace

int main(int argc, char** argv)
{
    RegisterAll();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
