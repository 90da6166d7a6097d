// The capture engine end to end: contexts, streaming, frame reads and pictures compared with
// the simulated camera's ground truth.
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "bridge/device_channel.h"
#include "camera_fixture.h"
#include "engine/capture_context.h"
#include "heap.h"

namespace {

using Kind = simulator::LineEvent::Kind;

class Capture : public CameraFixture {
protected:
    simulator::CameraOptions CameraSettings() override
    {
        simulator::CameraOptions options;
        options.picture = SmoothScene();
        return options;
    }

    void SetUp() override
    {
        CameraFixture::SetUp();
        ASSERT_EQ(Enter_USS720_W9966_SAA7111(), 1);
    }

    // PSNR in dB of the output image against the ground truth of the newest frame's window,
    // stretched to the output size the way the decoder stretches.
    double OutputPsnr(const CaptureContext* c)
    {
        auto frames = probe().recentFrames();
        if (frames.empty())
            return 0;
        const simulator::FrameRecord& frame = frames.back();
        simulator::RgbImage truth = probe().TruthRgb(frame.window, frame.sceneField);
        int offsetX = truth.width == frame.imageWidth ? 0 : frame.imageOffsetX;
        int offsetY = truth.height == frame.imageHeight ? 0 : frame.imageOffsetY;
        int sw = frame.imageWidth, sh = frame.imageHeight;
        const auto& out = OutputOf(c);
        double squared = 0;
        long samples = 0;
        for (int y = 0; y < c->height; ++y) {
            double sy = c->height > 1 && sh < c->height ? double(y) * (sh - 1) / (c->height - 1) : y;
            int y0 = std::min(int(sy), sh - 1), y1 = std::min(y0 + 1, sh - 1);
            double fy = sy - y0;
            for (int x = 0; x < c->width; ++x) {
                double sx = sw < c->width ? double(x) * (sw - 1) / (c->width - 1) : x;
                int x0 = std::min(int(sx), sw - 1), x1 = std::min(x0 + 1, sw - 1);
                double fx = sx - x0;
                int row = c->height - 1 - y;  // output rows are bottom-up
                int got[3];
                if (c->outputBitsPerPixel == 24) {
                    const BYTE* p = &out[size_t(row) * ((c->width * 3 + 3) & ~3) + size_t(x) * 3];
                    got[0] = p[0], got[1] = p[1], got[2] = p[2];
                } else {
                    const BYTE* p = &out[(size_t(row) * c->width + x) * 2];
                    int v = p[0] | p[1] << 8;
                    for (int k = 0; k < 3; ++k) {
                        int five = (v >> (5 * k)) & 31;
                        got[k] = five << 3 | five >> 2;
                    }
                }
                for (int k = 0; k < 3; ++k) {
                    auto at = [&](int tx, int ty) {
                        return double(truth.pixels[(size_t(ty + offsetY) * truth.width + tx + offsetX) * 3 + k]);
                    };
                    double want = (at(x0, y0) * (1 - fx) + at(x1, y0) * fx) * (1 - fy) +
                                  (at(x0, y1) * (1 - fx) + at(x1, y1) * fx) * fy;
                    squared += (got[k] - want) * (got[k] - want);
                    ++samples;
                }
            }
        }
        double mse = squared / samples;
        return mse == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 / mse);
    }

    CaptureContext* Stream(int width, int height, int mode, int bitsPerPixel = 24)
    {
        CaptureContext* c = StartContext(width, height, mode, bitsPerPixel);
        if (c != nullptr) {
            EXPECT_EQ(StartStreaming(c), 1);
        }
        return c;
    }

    int ImageCommands() const
    {
        int count = 0;
        for (const auto& event : TraceOf(Kind::EcpCommand))
            count += event.value == 0xA0;
        return count;
    }
};

// Floors per mode, from runs on the smooth scene less 1.5 dB: every mode is limited by the
// 640 x 480 output, where 230 captured columns are stretched 2.8 times and the decoder's
// 13-bit interpolation parts furthest from the floating-point reference (about 34 to 35 dB);
// modes 3 and 4 carry 4 and 3 bits per pixel and lose about one more. 16-bit output drops
// three bits per channel, up to 3 dB at 320 x 240. A wrong window, a shifted byte or swapped
// chroma costs far more than these margins (below 25 dB).
constexpr double kPsnrFloor[5] = {33.0, 33.0, 33.5, 32.5, 32.5};
constexpr double kPsnr16BitAllowance = 1.5;

class EveryMode : public Capture, public testing::WithParamInterface<int> {};

TEST_P(EveryMode, PicturesMatchTheScene)
{
    int mode = GetParam();
    const int sizes[][2] = {{640, 480}, {320, 240}, {160, 120}};
    for (const auto& size : sizes) {
        for (int bits : {24, 16}) {
            CaptureContext* c = Stream(size[0], size[1], mode, bits);
            ASSERT_NE(c, nullptr);
            for (int i = 0; i < 3; ++i)
                EXPECT_EQ(CaptureFrame(c), 1);
            double psnr = OutputPsnr(c);
            double floor = kPsnrFloor[mode] - (bits == 16 ? kPsnr16BitAllowance : 0.0);
            EXPECT_GE(psnr, floor) << size[0] << " x " << size[1] << " mode " << mode << ", " << bits << " bit";
            fprintf(stderr, "PSNR %dx%d mode %d %d-bit: %.2f dB\n", size[0], size[1], mode, bits, psnr);
            StopStreaming(c);
            StopContext(c);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, EveryMode, testing::Values(0, 1, 2, 3, 4));

TEST_F(Capture, FrameReadsCarryTheNextFramesHead)
{
    CaptureContext* c = StartContext(640, 480, 0);
    ASSERT_NE(c, nullptr);
    std::uint64_t sentBefore = probe().bytesSent();
    ASSERT_EQ(StartStreaming(c), 1);
    ASSERT_EQ(CaptureFrame(c), 1);  // reads 110 464 bytes while waiting, asks for the next
    EXPECT_EQ(c->framePhase, 4);
    EXPECT_EQ(c->carryBytes, 60);
    EXPECT_EQ(c->nextFramePhase, 8);
    EXPECT_EQ(c->readPending, 1);
    ASSERT_EQ(CaptureFrame(c), 1);  // that one was 110 400 bytes behind the 60 carried
    EXPECT_EQ(c->framePhase, 8);
    EXPECT_EQ(c->carryBytes, 56);
    EXPECT_EQ(c->nextFramePhase, 12);
    // The camera's count is exact only while no read is in flight: finish the third one (110 400
    // bytes behind the 56 carried) before counting, and leave the turnaround's drain out of it.
    ASSERT_EQ(CompleteFrameRead(c), 1);
    EXPECT_EQ(c->framePhase, 12);
    EXPECT_EQ(c->carryBytes, 52);
    EXPECT_EQ(probe().bytesSent() - sentBefore, 110464u + 110400u + 110400u);
    const std::uint64_t sentByReads = probe().bytesSent();
    ASSERT_EQ(StopStreaming(c), 1);
    EXPECT_LE(probe().bytesSent() - sentByReads, 64u);  // the drain empties one FIFO at most
    EXPECT_GE(OutputPsnr(c), kPsnrFloor[0]);
}

TEST_F(Capture, FramesLongerThanOneRequestAreReadInPieces)
{
    CaptureContext* c = Stream(640, 240, 0);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->frameBytes, 220804);
    int restarts = ImageCommands();
    for (int i = 0; i < 4; ++i)
        ASSERT_EQ(CaptureFrame(c), 1);
    EXPECT_EQ(ImageCommands(), restarts);  // every trailer matched
    EXPECT_EQ(deviceChannel.failed, 0);
    EXPECT_GE(OutputPsnr(c), kPsnrFloor[0]);
}

// The controller takes its window and layout registers first, then the three that follow them,
// and the ones that start acquisition last.
TEST_F(Capture, StartCaptureWritesTheControllerRegistersInOrder)
{
    probe().ClearLineTrace();
    CaptureContext* c = StartContext(320, 240, 2);
    ASSERT_NE(c, nullptr);
    std::vector<int> registers;
    for (const auto& command : TraceOf(Kind::EcpCommand))
        if ((command.value & 0xC0) == 0xC0)
            registers.push_back(command.value & 0x3F);
    std::vector<int> expected;
    for (int reg = 0x01; reg <= 0x13; ++reg)
        expected.push_back(reg);
    expected.insert(expected.end(), {0x18, 0x19, 0x1A, 0x17, 0x1B});
    EXPECT_EQ(registers, expected);
    StopContext(c);
}

TEST_F(Capture, ZoomAndPanReachTheCameraAtTheNextFrame)
{
    CaptureContext* c = Stream(320, 240, 0);
    ASSERT_NE(c, nullptr);
    SetPanCtrlSize(c, 100, 50);
    ASSERT_EQ(CaptureFrame(c), 1);
    ASSERT_EQ(CaptureFrame(c), 1);

    SetZoomFactor(c, 64);
    auto before = probe().controllerRegisters();
    EXPECT_NE(before[0x08], c->controllerRegs[0x08]);  // not yet sent
    ASSERT_EQ(CaptureFrame(c), 1);
    auto after = probe().controllerRegisters();
    for (int reg = 0x02; reg <= 0x13; ++reg)
        EXPECT_EQ(after[reg], c->controllerRegs[reg]) << "register " << reg;
    EXPECT_EQ(probe().recentFrames().back().bytes, size_t(c->frameBytes));
    EXPECT_EQ(c->captureHeight, 120);
    EXPECT_GE(OutputPsnr(c), kPsnrFloor[0]);

    SetPanAreaCenter(c, 80, 10);
    ASSERT_EQ(CaptureFrame(c), 1);
    after = probe().controllerRegisters();
    for (int reg = 0x04; reg <= 0x0B; ++reg)
        EXPECT_EQ(after[reg], c->controllerRegs[reg]) << "register " << reg;
    ASSERT_EQ(CaptureFrame(c), 1);
    EXPECT_GE(OutputPsnr(c), kPsnrFloor[0]);
}

TEST_F(Capture, ChangedDecoderSettingIsSentAloneInOneFlush)
{
    CaptureContext* c = Stream(320, 240, 0);
    ASSERT_NE(c, nullptr);
    ASSERT_EQ(CaptureFrame(c), 1);
    probe().ClearLineTrace();
    SetSAA7111Reg(12, 0x50);
    SetSAA7111Reg(3, 0x38);  // the value already sent: nothing to do for it
    ASSERT_EQ(CaptureFrame(c), 1);
    EXPECT_EQ(probe().decoderSetting(0x01, 0x0A), 0x50);
    int flushes = 0;
    std::vector<int> serial;
    for (const auto& event : probe().lineTrace()) {
        flushes += event.kind == Kind::EcpCommand && event.value == 0xD8;
        if (event.kind == Kind::SerialByte && serial.size() < 11)
            serial.push_back(event.value);
    }
    EXPECT_EQ(flushes, 1);
    EXPECT_EQ(serial, (std::vector<int>{0x3E, 0x00, 'L', 'O', 'R', 'V', 0x3E, 0x02, 0x01, 0x0A, 0x50}));
    ASSERT_EQ(CaptureFrame(c), 1);
    EXPECT_GE(OutputPsnr(c), kPsnrFloor[0]);  // the truth has the new setting applied
}

TEST_F(Capture, DroppedStreamBytesAreCaughtByTheTrailer)
{
    CaptureContext* c = Stream(320, 240, 2);
    ASSERT_NE(c, nullptr);
    ASSERT_EQ(CaptureFrame(c), 1);
    ASSERT_EQ(CaptureFrame(c), 1);
    int starts = ImageCommands();
    probe().DropStreamBytes(1000);  // more than the bridge's FIFO holds: some are yet to come
    for (int i = 0; i < 4; ++i)
        ASSERT_EQ(CaptureFrame(c), 1);
    EXPECT_GT(ImageCommands(), starts);  // streaming was restarted
    EXPECT_EQ(deviceChannel.failed, 0);
    ASSERT_EQ(CaptureFrame(c), 1);
    EXPECT_GE(OutputPsnr(c), kPsnrFloor[2]);
}

TEST_F(Capture, StalledStreamFailsAfter2000MillisecondsAndBringUpRecovers)
{
    CaptureContext* c = Stream(320, 240, 0);
    ASSERT_NE(c, nullptr);
    ASSERT_EQ(CaptureFrame(c), 1);
    probe().SetStopAnswering(true);
    DWORD start = GetTickCount();
    EXPECT_EQ(CaptureFrame(c), 1);
    EXPECT_GE(GetTickCount() - start, kFrameWaitMilliseconds);
    EXPECT_EQ(deviceChannel.failed, 1);
    EXPECT_EQ(StartStreaming(c), 0);
    EXPECT_EQ(StopStreaming(c), 0);
    EXPECT_EQ(StopCapture(c), 0);
    EXPECT_EQ(StartCapture(c), 0);
    EXPECT_EQ(CaptureFrame(c), 1);  // decodes the last frame again
    EXPECT_EQ(Leave_USS720_W9966_SAA7111(), 0);

    probe().SetStopAnswering(false);
    ASSERT_EQ(Enter_USS720_W9966_SAA7111(), 1);
    EXPECT_EQ(StopCapture(c), 1);
    ASSERT_EQ(StartCapture(c), 1);
    ASSERT_EQ(StartStreaming(c), 1);
    for (int i = 0; i < 2; ++i)
        ASSERT_EQ(CaptureFrame(c), 1);
    EXPECT_EQ(deviceChannel.failed, 0);
    EXPECT_GE(OutputPsnr(c), kPsnrFloor[0]);
}

TEST_F(Capture, FrameRateOverOneHundredFrames)
{
    CaptureContext* c = Stream(320, 240, 0);
    ASSERT_NE(c, nullptr);
    DWORD start = c->rateStartTick;
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(CaptureFrame(c), 1);
    EXPECT_EQ(c->framesPerSecond, 0);  // not measured before the 101st frame
    ASSERT_EQ(CaptureFrame(c), 1);
    DWORD elapsed = c->rateStartTick - start;
    ASSERT_GT(elapsed, 0u);
    DWORD rate = 10000000u / elapsed;
    EXPECT_EQ(c->framesPerSecond, LONG(rate / 100));
    EXPECT_EQ(c->framesPerSecondHundredths, LONG(rate % 100));
    // The bus carries 19 packets of 64 bytes per millisecond; the camera cannot beat that.
    double busLimit = 19.0 * 64 * 1000 / c->frameBytes;
    EXPECT_LE(c->framesPerSecond, LONG(busLimit));
    EXPECT_GE(c->framesPerSecond, LONG(busLimit * 0.5));
    EXPECT_EQ(c->rateFrameCount, 1);
}

TEST_F(Capture, LifecycleRefusalsAndBufferOwnership)
{
    size_t baseline = platform::win32::LiveGlobalBlocks();
    CaptureContext* c = StartContext(320, 240, 1);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(platform::win32::LiveGlobalBlocks(), baseline + 3);
    EXPECT_EQ(StartCapture(c), 0);  // already capturing: nothing more allocated
    EXPECT_EQ(platform::win32::LiveGlobalBlocks(), baseline + 3);
    EXPECT_EQ(StopStreaming(c), 0);
    ASSERT_EQ(StartStreaming(c), 1);
    EXPECT_EQ(StartStreaming(c), 0);
    ASSERT_EQ(CaptureFrame(c), 1);
    EXPECT_EQ(StopCapture(c), 1);  // stops streaming first
    EXPECT_EQ(c->streaming, 0);
    EXPECT_EQ(platform::win32::LiveGlobalBlocks(), baseline);
    EXPECT_EQ(StopCapture(c), 0);

    for (int failing = 1; failing <= 3; ++failing) {  // each of the three buffers in turn
        platform::win32::FailNthHeapAllocation(failing);
        EXPECT_EQ(StartCapture(c), 0) << failing;
        platform::win32::StopFailingHeapAllocations();
        EXPECT_EQ(platform::win32::LiveGlobalBlocks(), baseline) << failing;
        EXPECT_EQ(c->capturing, 0);
    }
}

// Freed while a frame read is outstanding: the read is completed before the memory goes.
TEST_F(Capture, FreeingAStreamingContextReleasesEverything)
{
    size_t globalBaseline = platform::win32::LiveGlobalBlocks();
    size_t localBaseline = platform::win32::LiveLocalBlocks();
    CaptureContext* c = AllocCaptureContext(320, 240, 0);
    ASSERT_NE(c, nullptr);
    std::vector<BYTE> image(320 * 240 * 3);
    c->outputImage = image.data();
    c->outputBitsPerPixel = 24;
    ASSERT_EQ(StartCapture(c), 1);
    ASSERT_EQ(StartStreaming(c), 1);
    ASSERT_EQ(CaptureFrame(c), 1);
    ASSERT_EQ(c->readPending, 1);
    EXPECT_EQ(FreeCaptureContext(c), nullptr);
    EXPECT_EQ(platform::win32::LiveGlobalBlocks(), globalBaseline);
    EXPECT_EQ(platform::win32::LiveLocalBlocks(), localBaseline);
    EXPECT_EQ(Leave_USS720_W9966_SAA7111(), 1);  // the link is back in forward ECP mode
}

}  // namespace
