#include <cstdint>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "decode/decode.h"
#include "decode/simd.h"
#include "guarded_buffer.h"

namespace {

constexpr int kSlack = 4224;

// A context laid out the way StartCapture places its buffers, around test data.
struct TestCapture {
    GuardedOutput ready, work, output;
    CaptureContext c{};

    static std::int64_t RawBytes(int mode, std::int64_t w, std::int64_t h)
    {
        const std::int64_t p = (w + 8) * (h + 4) / 4;
        const std::int64_t sizes[] = {2 * w * h, 3 * w * h / 2, 3 * w * h / 4 + p, w * h / 2 + p, 3 * w * h / 8 + p};
        return sizes[mode] + 4;
    }
    static std::size_t OutputBytes(int width, int height, int bits, int doubleSize)
    {
        const int scale = doubleSize == 1 ? 2 : 1;
        const int row = bits == 24 ? Rgb24RowBytes(scale * width) : Rgb16RowBytes(scale * width);
        return std::size_t(row * scale * height);
    }
    TestCapture(int mode, int width, int height, int captureWidth, int captureHeight, int bits = 24, int doubleSize = 0)
        : ready(std::size_t(width * height * 2 + 4 + kSlack)), work(ready.contents().size()),
          output(OutputBytes(width, height, bits, doubleSize))
    {
        c.mode = mode;
        c.width = width;
        c.height = height;
        c.frameWidth = c.captureWidth = captureWidth;
        c.frameHeight = c.captureHeight = captureHeight;
        c.outputBitsPerPixel = bits;
        c.doubleSize = doubleSize;
        c.bufferBytes = width * height * 2 + 4;
        c.captureImageBytes = captureWidth * captureHeight * 2 + 4;
        c.frameBytes = LONG(RawBytes(mode, captureWidth, captureHeight));
        c.secondPartOffset = (captureWidth + 8) * (captureHeight + 4) / 4;
        c.readyBuffer = ready.data();
        c.readyFrame = ready.data() + c.bufferBytes - c.frameBytes;
        c.workBuffer = mode == 0 ? nullptr : work.data();
        c.workImage = mode == 0 ? nullptr : work.data() + c.bufferBytes - c.captureImageBytes;
        c.outputImage = output.data();
    }
    void LoadFrame(const std::vector<BYTE>& frame) { std::copy(frame.begin(), frame.end(), c.readyFrame); }
};

class DecodePipeline : public ::testing::Test {
protected:
    void SetUp() override
    {
        BuildColourTables();
        BuildDecoderTables();
    }
    std::mt19937 random{3};
};

TEST_F(DecodePipeline, StretchWeightsAndRebuildsOnlyOnANewSizePair)
{
    const BYTE source[4] = {100, 128, 200, 128};
    BYTE out[8];
    ScaleWidth(2, 2, 1, source, 4, out);
    EXPECT_EQ(WidthWeights[0], 0);
    EXPECT_EQ(WidthWeights[1], 2730);
    EXPECT_EQ(WidthWeights[2], 5461);
    EXPECT_EQ(std::vector<BYTE>({out[0], out[2], out[4], out[6]}), std::vector<BYTE>({100, 133, 166, 200}));

    widthTaps.luma.nextWeight[1] = 0;  // a rebuild would restore it
    ScaleWidth(2, 2, 1, source, 4, out);
    EXPECT_EQ(out[2], (100 * 5461) >> 13);
    BYTE wide[12];
    ScaleWidth(2, 2, 1, source, 6, wide);
    ScaleWidth(2, 2, 1, source, 4, out);
    EXPECT_EQ(out[2], 133);

    const BYTE rows[4] = {100, 100, 200, 200};  // two rows of one byte pair each
    BYTE tall[8];
    ScaleHeight(1, 1, 2, rows, 4, tall);
    EXPECT_EQ(std::vector<BYTE>({tall[0], tall[2], tall[4], tall[6]}), std::vector<BYTE>({100, 133, 166, 200}));
    HeightWeights[1] = 0;
    ScaleHeight(1, 1, 2, rows, 4, tall);
    EXPECT_EQ(tall[2], (100 * 5461) >> 13);
    ScaleHeight(1, 1, 2, rows, 3, tall);
    ScaleHeight(1, 1, 2, rows, 4, tall);
    EXPECT_EQ(tall[2], 133);
}

using BlendFunction = void (*)(const BYTE*, const BYTE*, BYTE*, std::ptrdiff_t, std::int32_t, std::int32_t);

std::vector<BlendFunction> FastBlends()
{
    std::vector<BlendFunction> blends = {BlendRows};
#if LORV_AVX2
    if (CpuHasAvx2())
        blends.push_back(BlendRowsAvx2);
#endif
    return blends;
}

// The fast row blends against the plain one: every row length up to 641 pixels, random
// weights, inputs ending at a guard page, and in place with the output at or before the first row.
TEST_F(DecodePipeline, FastRowBlendsMatchThePlainOne)
{
    for (std::size_t count = 0; count <= 2 * kMaxStretchSize; ++count)
        for (const BlendFunction blend : FastBlends()) {
            const std::int32_t nextWeight = std::int32_t(random() % 8192);
            const std::int32_t weight = std::int32_t(8191 - nextWeight + random() % 2);
            const GuardPageInput current(RandomBytes(random, count));
            const GuardPageInput next(RandomBytes(random, count));
            GuardedOutput fast(count), plain(count);
            blend(current.get(), next.get(), fast.data(), std::ptrdiff_t(count), nextWeight, weight);
            BlendRowsPlain(current.get(), next.get(), plain.data(), std::ptrdiff_t(count), nextWeight, weight);
            ASSERT_EQ(fast.contents(), plain.contents()) << count;
            ASSERT_TRUE(fast.GuardsIntact());

            // Two rows one after the other, the output starting up to 20 bytes before the first.
            const std::size_t lead = random() % 21;
            auto rows = RandomBytes(random, lead + 2 * count);
            auto copy = rows;
            blend(rows.data() + lead, rows.data() + lead + count, rows.data(), std::ptrdiff_t(count), nextWeight, weight);
            BlendRowsPlain(copy.data() + lead, copy.data() + lead + count, copy.data(), std::ptrdiff_t(count), nextWeight,
                           weight);
            ASSERT_EQ(rows, copy) << count << " lead " << lead;
        }
}

// The vector ScaleWidth rows against the plain one for every even destination width (from a
// random source width) and every even source width (to a random destination), two rows of
// input ending at a guard page.
TEST_F(DecodePipeline, VectorWidthRowsMatchThePlainOne)
{
    std::vector<std::pair<int, int>> sizes;
    for (int d = 2; d <= 640; d += 2)
        sizes.push_back({2 + 2 * int(random() % (d / 2)), d});
    for (int s = 2; s <= 640; s += 2)
        sizes.push_back({s, s + 2 * int(random() % ((642 - s) / 2))});
    std::vector<std::pair<const char*, WidthRow>> variants = {{"sse2", widthRows.sse2}};
    if (CpuHasAvx2())
        variants.push_back({"avx2", widthRows.avx2});
    for (const auto& [source, destination] : sizes) {
        const GuardPageInput in(RandomBytes(random, std::size_t(4 * source)));
        GuardedOutput plain(std::size_t(4 * destination));
        ScaleWidthWith(widthRows.plain, source, source, 2, in.get(), destination, plain.data());
        for (const auto& [name, row] : variants) {
            GuardedOutput fast(std::size_t(4 * destination));
            ScaleWidthWith(row, source, source, 2, in.get(), destination, fast.data());
            ASSERT_EQ(fast.contents(), plain.contents()) << name << " " << source << " to " << destination;
            ASSERT_TRUE(fast.GuardsIntact()) << name << " " << source << " to " << destination;
        }
    }
}

// The vector mode-1 lower rows against the plain one at every width up to 640, the luma
// ending at a guard page.
TEST_F(DecodePipeline, VectorMode1RowsMatchThePlainOne)
{
    std::vector<std::pair<const char*, Mode1Row>> variants = {{"sse2", mode1Rows.sse2}};
    if (CpuHasAvx2())
        variants.push_back({"avx2", mode1Rows.avx2});
    for (int width = 0; width <= 640; ++width) {
        const GuardPageInput upper(RandomBytes(random, std::size_t(2 * width)));
        const GuardPageInput luma(RandomBytes(random, std::size_t(width)));
        GuardedOutput plainUpper(std::size_t(2 * width)), plainLower(std::size_t(2 * width));
        mode1Rows.plain(upper.get(), luma.get(), width, plainUpper.data(), plainLower.data());
        for (const auto& [name, row] : variants) {
            GuardedOutput fastUpper(std::size_t(2 * width)), fastLower(std::size_t(2 * width));
            row(upper.get(), luma.get(), width, fastUpper.data(), fastLower.data());
            ASSERT_EQ(fastUpper.contents(), plainUpper.contents()) << name << " " << width;
            ASSERT_EQ(fastLower.contents(), plainLower.contents()) << name << " " << width;
            ASSERT_TRUE(fastUpper.GuardsIntact() && fastLower.GuardsIntact()) << name << " " << width;
        }
    }
}

// ScaleWidth as its rule reads, position by position, for comparison with the table-driven one.
std::vector<BYTE> StretchRowByTheRule(const BYTE* in, int sourceWidth, int destinationWidth)
{
    auto weight = [](int i, int count) { return 8192 * i / (count - 1); };
    const int d = destinationWidth - 1, dc = destinationWidth / 2 - 1, s = sourceWidth - 1, sc = sourceWidth / 2 - 1;
    std::vector<BYTE> out(std::size_t(2 * destinationWidth));
    int p = 0, f = 0, q = 0, g = 0;
    for (int x = 0; x < destinationWidth; ++x) {
        out[std::size_t(2 * x)] = f == 0 ? in[2 * p]
                                         : BYTE((in[2 * p + 2] * weight(f, destinationWidth) +
                                                 in[2 * p] * weight(d - f, destinationWidth)) >> 13);
        if (x % 2 == 0) {
            for (int c : {1, 3})
                out[std::size_t(2 * x + c)] = g == 0 ? in[4 * q + c]
                                                     : BYTE((in[4 * q + 4 + c] * weight(g, destinationWidth / 2) +
                                                             in[4 * q + c] * weight(dc - g, destinationWidth / 2)) >> 13);
            g += sc;
            if (g >= dc)
                g -= dc, ++q;
        }
        f += s;
        if (f >= d)
            f -= d, ++p;
    }
    return out;
}

TEST_F(DecodePipeline, WidthStretchFollowsItsRule)
{
    for (int trial = 0; trial < 300; ++trial) {
        const int sourceWidth = 2 * (1 + int(random() % 60));
        const int destinationWidth = sourceWidth + 2 * int(random() % 200);
        const auto source = ExactInput(RandomBytes(random, std::size_t(2 * sourceWidth)));
        GuardedOutput out(std::size_t(2 * destinationWidth));
        ScaleWidth(sourceWidth, sourceWidth, 1, source.get(), destinationWidth, out.data());
        ASSERT_EQ(out.contents(), StretchRowByTheRule(source.get(), sourceWidth, destinationWidth))
            << sourceWidth << " to " << destinationWidth;
        ASSERT_TRUE(out.GuardsIntact());
    }
}

TEST_F(DecodePipeline, StretchRefusesWhatItCannotHold)
{
    const std::vector<BYTE> source(2 * 700 * 2);
    GuardedOutput out(2 * 700 * 4);
    ScaleWidth(700, 8, 2, source.data(), 642, out.data());   // above the weight tables
    ScaleWidth(8, 8, 2, source.data(), 4, out.data());       // a shrink
    ScaleWidth(8, 6, 2, source.data(), 9, out.data());       // odd width
    ScaleHeight(8, 8, 2, source.data(), 642, out.data());
    ScaleHeight(8, 8, 3, source.data(), 2, out.data());
    EXPECT_EQ(out.contents(), std::vector<BYTE>(2 * 700 * 4, GuardedOutput::kFill));
}

// Each stretch runs in place at the buffer tail; the result must equal the stages run apart,
// and the last stage must begin at workBuffer.
TEST_F(DecodePipeline, StagesRunInPlaceAndEndAtTheBufferTail)
{
    struct Case { int mode, width, height, captureWidth, captureHeight, bits, doubleSize; };
    const Case cases[] = {
        {0, 40, 12, 40, 12, 24, 0}, {0, 40, 12, 26, 12, 16, 0}, {0, 40, 30, 40, 12, 24, 1},
        {0, 46, 30, 26, 12, 16, 1}, {2, 64, 30, 24, 12, 24, 0}, {3, 32, 16, 32, 16, 16, 0},
        {4, 40, 12, 16, 8, 24, 1},  {1, 30, 20, 18, 10, 24, 0},
    };
    for (const Case& k : cases) {
        TestCapture capture(k.mode, k.width, k.height, k.captureWidth, k.captureHeight, k.bits, k.doubleSize);
        const auto frame = RandomBytes(random, std::size_t(capture.c.frameBytes));
        capture.LoadFrame(frame);

        std::vector<BYTE> image(std::size_t(2 * k.captureWidth * k.captureHeight));
        if (k.mode == 0)
            image.assign(frame.begin(), frame.end() - 4);
        else if (k.mode == 1)
            ExpandMode1Frame(k.captureWidth, k.captureHeight, frame.data(), image.data());
        else
            (k.mode == 2 ? DecodeMode2Frame : k.mode == 3 ? DecodeMode3Frame : DecodeMode4Frame)(
                k.captureWidth + 8, k.captureHeight + 4, frame.data(), frame.data() + capture.c.secondPartOffset, image.data());
        std::vector<BYTE> wide(std::size_t(2 * k.width * k.captureHeight));
        ScaleWidth(k.captureWidth, k.captureWidth, k.captureHeight, image.data(), k.width, wide.data());
        std::vector<BYTE> full(std::size_t(2 * k.width * k.height));
        ScaleHeight(k.width, k.width, k.captureHeight, wide.data(), k.height, full.data());
        GuardedOutput expected(TestCapture::OutputBytes(k.width, k.height, k.bits, k.doubleSize));
        const auto convert = k.bits == 24 ? (k.doubleSize ? ConvertToRgb24Double : ConvertToRgb24)
                                          : (k.doubleSize ? ConvertToRgb16Double : ConvertToRgb16);
        convert(k.width, k.width, k.height, full.data(), expected.data());

        DecodeFrame(&capture.c);
        const std::string what = "mode " + std::to_string(k.mode) + " " + std::to_string(k.width) + "x" +
                                 std::to_string(k.height) + " from " + std::to_string(k.captureWidth) + "x" +
                                 std::to_string(k.captureHeight);
        EXPECT_EQ(capture.output.contents(), expected.contents()) << what;
        EXPECT_TRUE(capture.output.GuardsIntact()) << what;
        const GuardedOutput& used = k.mode == 0 ? capture.ready : capture.work;
        const auto buffer = used.contents();
        EXPECT_TRUE(std::equal(full.begin(), full.end(), buffer.begin())) << what;
        EXPECT_TRUE(std::all_of(buffer.begin() + capture.c.bufferBytes, buffer.end(), [](BYTE b) { return b == GuardedOutput::kFill; }))
            << what;
        EXPECT_TRUE(used.GuardsIntact()) << what;
        if (k.mode == 0) {
            EXPECT_EQ(capture.c.workBuffer, capture.ready.data());
            EXPECT_EQ(capture.c.workImage, capture.c.readyFrame);
        }
    }
}

// Two pairs and a lone last row, which is left out: the frame holds only what the pairs read
// and ends at a guard page.
TEST_F(DecodePipeline, Mode1LowerRowRepeatsTheUpperChroma)
{
    const GuardPageInput source({10, 1, 11, 2, 12, 3, 13, 4, 20, 21, 22, 23,  //
                                 30, 5, 31, 6, 32, 7, 33, 8, 40, 41, 42, 43});
    GuardedOutput out(32);
    ExpandMode1Frame(4, 5, source.get(), out.data());
    EXPECT_EQ(out.contents(), std::vector<BYTE>({10, 1, 11, 2, 12, 3, 13, 4, 20, 1, 21, 2, 22, 3, 23, 4,  //
                                                 30, 5, 31, 6, 32, 7, 33, 8, 40, 5, 41, 6, 42, 7, 43, 8}));
    EXPECT_TRUE(out.GuardsIntact());
}

// Records a caller filled by hand that the pipeline cannot serve are skipped whole.
TEST_F(DecodePipeline, UnsoundRecordsTouchNothing)
{
    const std::vector<void (*)(CaptureContext&)> faults = {
        [](CaptureContext& c) { c.captureHeight = c.frameHeight = c.height + 4; },
        [](CaptureContext& c) { c.captureWidth = c.frameWidth = c.width + 8; },
        [](CaptureContext& c) { c.width -= 1; },
        [](CaptureContext& c) { c.outputImage = nullptr; },
        [](CaptureContext& c) { c.frameWidth += 8; },
        [](CaptureContext& c) { c.workImage -= 2; },
        [](CaptureContext& c) { c.secondPartOffset = c.frameBytes; },
        [](CaptureContext& c) { c.bufferBytes += 64; },
    };
    for (std::size_t i = 0; i < faults.size(); ++i) {
        TestCapture capture(2, 64, 24, 32, 12);
        faults[i](capture.c);
        DecodeFrame(&capture.c);
        EXPECT_EQ(capture.output.contents(), std::vector<BYTE>(capture.output.contents().size(), GuardedOutput::kFill)) << i;
        EXPECT_EQ(capture.work.contents(), std::vector<BYTE>(capture.work.contents().size(), GuardedOutput::kFill)) << i;
    }
    TestCapture wide(0, 700, 2, 600, 2);  // a stretch beyond the weight tables
    DecodeFrame(&wide.c);
    EXPECT_EQ(wide.output.contents(), std::vector<BYTE>(wide.output.contents().size(), GuardedOutput::kFill));
    DecodeFrame(nullptr);
}

TEST_F(DecodePipeline, OtherDepthsLeaveTheOutputAlone)
{
    TestCapture capture(0, 16, 4, 16, 4, 32);
    DecodeFrame(&capture.c);
    EXPECT_EQ(capture.output.contents(), std::vector<BYTE>(capture.output.contents().size(), GuardedOutput::kFill));
}

}  // namespace
