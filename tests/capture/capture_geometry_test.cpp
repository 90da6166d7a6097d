// The capture window geometry as StartCapture and the setters compute it. No camera is
// plugged: with the link in compatibility mode the register write-out touches nothing.
#include <array>
#include <cstdint>
#include <vector>

#include "camera_fixture.h"
#include "engine/capture_context.h"

namespace {

class Geometry : public CameraFixture {
protected:
    bool PlugCamera() override { return false; }

    std::vector<int> Registers01To13(const CaptureContext* c)
    {
        return std::vector<int>(c->controllerRegs + 0x01, c->controllerRegs + 0x14);
    }
};

template <typename... T>
std::vector<long> L(T... values)
{
    return {long(values)...};
}

std::vector<int> Bytes(std::initializer_list<int> values)
{
    return std::vector<int>(values);
}

TEST_F(Geometry, FullSource320x240Mode0)
{
    CaptureContext* c = StartContext(320, 240, 0);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->wantedWidth, 230);
    EXPECT_EQ(c->wantedHeight, 240);
    EXPECT_EQ(c->zoomMin, 32);
    EXPECT_EQ(c->zoomMax, 64);
    EXPECT_EQ(c->zoomFactor, 32);
    EXPECT_EQ(c->windowWidth, 460);
    EXPECT_EQ(c->windowHeight, 240);
    EXPECT_EQ(c->captureWidth, 230);
    EXPECT_EQ(c->scaleX, 32);
    EXPECT_EQ(c->captureHeight, 240);
    EXPECT_EQ(c->scaleY, 64);
    EXPECT_EQ(c->windowOuterWidth, 476);
    EXPECT_EQ(c->windowOuterHeight, 244);
    EXPECT_EQ(L(c->cropLeft, c->cropTop, c->cropRight, c->cropBottom),
              L(0, 0, 460, 240));
    EXPECT_EQ(c->cropCenterX, 230);
    EXPECT_EQ(c->cropCenterY, 120);
    EXPECT_EQ(L(c->windowStartX, c->windowEndX, c->windowStartY, c->windowEndY),
              L(2, 462, 10, 250));
    EXPECT_EQ(Registers01To13(c), Bytes({0x18, 0x00, 0xA0, 0x02, 0x00, 0x0A, 0x00, 0xCE, 0x01, 0xFA,
                                         0x00, 0x0E, 0x00, 0x00, 0x00, 0x43, 0xAF, 0x01, 0x40}));
    EXPECT_EQ(c->controllerRegs[0x19], 0x0F);
    EXPECT_EQ(c->controllerRegs[0x1A], 0x0D);
    EXPECT_EQ(c->controllerRegs[0x1B], 0x10);

    SetPanCtrlSize(c, 100, 50);
    EXPECT_EQ(L(c->panViewWidth, c->panViewHeight, c->panViewLeft, c->panViewTop,
                                   c->panCenterX, c->panCenterY),
              L(100, 50, 0, 0, 50, 25));
}

TEST_F(Geometry, ZoomIsClampedAndShrinksTheWindow)
{
    CaptureContext* c = StartContext(320, 240, 0);
    ASSERT_NE(c, nullptr);
    SetZoomFactor(c, 64);
    EXPECT_EQ(c->windowWidth, 230);
    EXPECT_EQ(c->windowHeight, 120);
    EXPECT_EQ(c->captureWidth, 230);
    EXPECT_EQ(c->captureHeight, 120);
    EXPECT_EQ(c->scaleX, 64);
    EXPECT_EQ(c->scaleY, 64);
    EXPECT_EQ(c->zoomChanged, 1);
    SetZoomFactor(c, 1000);
    EXPECT_EQ(c->zoomFactor, 64);
    SetZoomFactor(c, 0);
    EXPECT_EQ(c->zoomFactor, 32);
}

TEST_F(Geometry, FullFrameOutputIgnoresZoom)
{
    CaptureContext* reference = StartContext(320, 240, 0);
    CaptureContext* c = StartContext(640, 480, 0);
    ASSERT_NE(reference, nullptr);
    ASSERT_NE(c, nullptr);
    SetZoomFactor(c, 50);
    EXPECT_EQ(c->captureWidth, 230);
    EXPECT_EQ(c->captureHeight, 240);
    EXPECT_EQ(c->windowWidth, 460);
    EXPECT_EQ(Registers01To13(c), Registers01To13(reference));
    EXPECT_EQ(c->frameBytes, 110404);
    EXPECT_EQ(c->bufferBytes, 614404);
    EXPECT_EQ(c->frameTailBytes, 4);
    EXPECT_EQ(c->frameAlignedBytes, 110400);
    EXPECT_EQ(c->fillFrame, c->fillBuffer + 614404 - 110404);
}

TEST_F(Geometry, FullFrameCompressedModesWindowWiderThanSource)
{
    for (int mode = 2; mode <= 4; ++mode) {
        CaptureContext* c = StartContext(640, 480, mode);
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(c->captureWidth, 232) << mode;
        EXPECT_EQ(c->windowWidth, 464) << mode;
        EXPECT_EQ(c->cropLeft, 0) << mode;
        EXPECT_EQ(c->cropRight, 464) << mode;
        EXPECT_EQ(c->secondPartOffset, 240 * 244 / 4) << mode;
        LONG end = c->controllerRegs[0x10] | c->controllerRegs[0x11] << 8 | c->controllerRegs[0x12] << 16;
        EXPECT_EQ(end, c->frameBytes - 1) << mode;
        StopContext(c);
    }
}

// Compressed frames are a whole number of 8-pixel blocks, the nearest to the capture width.
TEST_F(Geometry, CompressedWidthRoundsToTheNearestBlock)
{
    CaptureContext* c = StartContext(336, 240, 2);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->frameWidth, 240);
    StopContext(c);
}

TEST_F(Geometry, Mode3ZoomAndCropPushedBackFromTheCorner)
{
    CaptureContext* c = StartContext(320, 240, 3);
    ASSERT_NE(c, nullptr);
    SetPanCtrlSize(c, 100, 50);
    SetCropCenter(c, 400, 200);
    SetZoomFactor(c, 48);
    EXPECT_EQ(c->windowWidth, 309);
    EXPECT_EQ(c->windowHeight, 160);
    EXPECT_EQ(c->scaleX, 48);
    EXPECT_EQ(c->scaleY, 64);
    EXPECT_EQ(c->captureWidth, 232);
    EXPECT_EQ(c->captureHeight, 160);
    EXPECT_EQ(c->windowOuterWidth, 320);
    EXPECT_EQ(c->windowOuterHeight, 164);
    EXPECT_EQ(L(c->cropLeft, c->cropTop, c->cropRight, c->cropBottom,
                                   c->cropCenterX, c->cropCenterY),
              L(151, 80, 460, 240, 305, 160));
    EXPECT_EQ(c->marginLeft, 2);
    EXPECT_EQ(c->marginTop, 8);
    EXPECT_EQ(L(c->windowStartX, c->windowStartY, c->windowEndX, c->windowEndY),
              L(153, 88, 473, 252));
    EXPECT_EQ(L(c->panViewWidth, c->panViewHeight, c->panViewLeft, c->panViewTop,
                                   c->panViewRight, c->panViewBottom, c->panCenterX, c->panCenterY),
              L(67, 33, 33, 17, 100, 50, 66, 33));
    EXPECT_EQ(Registers01To13(c), Bytes({0x19, 0x00, 0xB0, 0x99, 0x00, 0x58, 0x00, 0xD9, 0x01, 0xFC,
                                         0x00, 0x0E, 0x70, 0x26, 0x00, 0xF3, 0x6E, 0x00, 0xF0}));
}

// The example holds with the crop centre set after StartCapture; set before it, the first
// StartCapture (at zoom 16) would move the centre.
TEST_F(Geometry, Mode1SmallOutputWithPanControl)
{
    CaptureContext* c = StartContext(160, 120, 1);
    ASSERT_NE(c, nullptr);
    SetPanCtrlSize(c, 64, 32);
    SetCropCenter(c, 100, 60);
    SetZoomFactor(c, 40);
    EXPECT_EQ(c->zoomMin, 16);
    EXPECT_EQ(c->windowWidth, 185);
    EXPECT_EQ(c->windowHeight, 96);
    EXPECT_EQ(c->captureWidth, 116);
    EXPECT_EQ(c->captureHeight, 96);
    EXPECT_EQ(c->scaleX, 40);
    EXPECT_EQ(L(c->cropLeft, c->cropTop, c->cropRight, c->cropBottom),
              L(8, 12, 193, 108));
    EXPECT_EQ(L(c->windowStartX, c->windowStartY, c->windowEndX, c->windowEndY),
              L(10, 22, 195, 118));
    EXPECT_EQ(L(c->panViewWidth, c->panViewHeight, c->panViewLeft, c->panViewTop,
                                   c->panViewRight, c->panViewBottom, c->panCenterX, c->panCenterY),
              L(25, 12, 1, 2, 26, 14, 13, 8));
    EXPECT_EQ(std::vector<int>(c->controllerRegs + 0x10, c->controllerRegs + 0x13), Bytes({0x43, 0x41, 0x00}));
}

TEST_F(Geometry, EdgesAndWholeSource)
{
    CaptureContext* c = StartContext(320, 240, 0);
    ASSERT_NE(c, nullptr);
    SetZoomFactor(c, 64);
    SetPanCtrlSize(c, 460, 240);
    SetPanAreaCenter(c, 1000, -50);  // far right, above the top
    EXPECT_EQ(c->cropRight, 460);
    EXPECT_EQ(c->cropLeft, 460 - c->windowWidth);
    EXPECT_EQ(c->cropTop, 0);
    EXPECT_EQ(c->panViewRight, 460);

    CaptureContext* whole = StartContext(640, 240, 0);
    ASSERT_NE(whole, nullptr);
    EXPECT_EQ(whole->wantedWidth, 460);
    EXPECT_EQ(whole->zoomMin, 64);
    EXPECT_EQ(whole->zoomMax, 64);
    EXPECT_EQ(whole->captureWidth, 460);
    EXPECT_EQ(whole->captureHeight, 240);
    EXPECT_EQ(whole->scaleX, 64);
    EXPECT_EQ(whole->frameBytes, 220804);  // more than one bulk request carries
}

TEST_F(Geometry, SettersBeforeStartOrWithoutPanControlChangeNothing)
{
    CaptureContext* c = AllocCaptureContext(320, 240, 0);
    ASSERT_NE(c, nullptr);
    SetZoomFactor(c, 48);
    SetPanCtrlSize(c, 100, 50);
    SetPanAreaCenter(c, 10, 10);
    EXPECT_EQ(c->zoomFactor, 0);
    EXPECT_EQ(c->panCtrlWidth, 0);
    EXPECT_EQ(c->panCenterX, 0);
    SetCropCenter(c, 7, 9);  // only stores, so it may come first
    EXPECT_EQ(c->cropCenterX, 7);
    EXPECT_EQ(CaptureFrame(c), 0);  // no frame buffers yet
    FreeCaptureContext(c);

    CaptureContext* started = StartContext(320, 240, 0);
    ASSERT_NE(started, nullptr);
    LONG left = started->cropLeft;
    SetPanAreaCenter(started, 10, 10);  // pan control still 0 x 0
    EXPECT_EQ(started->cropLeft, left);
}

TEST_F(Geometry, SizesThatCannotBeServedAreRefused)
{
    struct Case {
        int width, height, mode;
    };
    for (Case bad : {Case{321, 240, 0}, Case{320, 240, 5}, Case{320, 240, -1}, Case{642, 240, 0},
                     Case{320, 642, 0}, Case{8, 4, 0}, Case{0, 240, 0}}) {
        CaptureContext* c = AllocCaptureContext(bad.width, bad.height, bad.mode);
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(StartCapture(c), 0) << bad.width << " x " << bad.height << " mode " << bad.mode;
        EXPECT_EQ(c->fillBuffer, nullptr);
        FreeCaptureContext(c);
    }
}

// Whatever the zoom, the captured image fits the output and the frame fits its buffer.
TEST_F(Geometry, CaptureNeverExceedsOutput)
{
    const int sizes[][2] = {{320, 239}, {320, 238}, {64, 33}, {100, 75}, {16, 6}, {640, 241}, {176, 144}};
    for (int mode = 0; mode <= 4; ++mode) {
        for (const auto& size : sizes) {
            CaptureContext* c = AllocCaptureContext(size[0], size[1], mode);
            ASSERT_NE(c, nullptr);
            if (StartCapture(c) == 1) {
                for (int zoom = c->zoomMin; zoom <= c->zoomMax; ++zoom) {
                    SetZoomFactor(c, zoom);
                    EXPECT_LE(c->captureWidth, c->width) << size[0] << "x" << size[1] << " mode " << mode;
                    EXPECT_LE(c->captureHeight, c->height) << size[0] << "x" << size[1] << " mode " << mode;
                    EXPECT_LE(RawFrameBytes(c->frameWidth, c->frameHeight, mode), c->bufferBytes);
                }
                StopCapture(c);
            }
            FreeCaptureContext(c);
        }
    }
}

// Any 32-bit value an application passes leaves the view and the crop inside their areas.
TEST_F(Geometry, ExtremeApplicationValuesStayInRange)
{
    CaptureContext* c = StartContext(320, 240, 0);
    ASSERT_NE(c, nullptr);
    auto expectInside = [c](const char* step) {
        EXPECT_GE(c->panViewLeft, 0) << step;
        EXPECT_LE(c->panViewRight, c->panCtrlWidth) << step;
        EXPECT_GE(c->panViewTop, 0) << step;
        EXPECT_LE(c->panViewBottom, c->panCtrlHeight) << step;
        EXPECT_GE(c->cropLeft, 0) << step;
        EXPECT_LE(c->cropRight, 460) << step;
        EXPECT_GE(c->cropTop, 0) << step;
        EXPECT_LE(c->cropBottom, 240) << step;
    };
    SetPanCtrlSize(c, 2000000000, 2000000000);
    expectInside("pan control");
    SetPanAreaCenter(c, INT32_MAX, INT32_MIN);
    expectInside("pan centre");
    EXPECT_EQ(c->cropRight, 460);
    EXPECT_EQ(c->cropTop, 0);
    SetCropCenter(c, INT32_MIN, INT32_MAX);
    SetZoomFactor(c, INT32_MAX);
    expectInside("crop centre");
    EXPECT_EQ(c->cropLeft, 0);
    EXPECT_EQ(c->cropBottom, 240);
    SetPanCtrlSize(c, INT32_MAX, 1);
    SetPanAreaCenter(c, INT32_MIN, INT32_MAX);
    expectInside("pan control at the limits");
}

// Small outputs capture windows taller than the source at small vertical scales: such a window
// starts at the top of the source, as a wider one starts at its left edge.
TEST_F(Geometry, SmallOutputsNeverStartAboveTheField)
{
    const int sizes[][2] = {{12, 4}, {16, 8}, {64, 6}, {64, 48}, {100, 56}, {320, 56}};
    for (int mode = 0; mode <= 4; ++mode) {
        for (const auto& size : sizes) {
            CaptureContext* c = AllocCaptureContext(size[0], size[1], mode);
            ASSERT_NE(c, nullptr);
            if (StartCapture(c) == 1) {
                for (int zoom = c->zoomMin; zoom <= c->zoomMax; ++zoom) {
                    SetZoomFactor(c, zoom);
                    EXPECT_GE(c->windowStartY, 2) << size[0] << "x" << size[1] << " mode " << mode << " zoom " << zoom;
                }
                StopCapture(c);
            }
            FreeCaptureContext(c);
        }
    }
}

}  // namespace
