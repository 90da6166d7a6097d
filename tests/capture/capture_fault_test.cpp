// What devices and callers do wrong: tiny frames, a cable pulled during bring-up or at the
// stream start, stalled bulk pipes. Each case ends bounded, with nothing left open.
#include "bridge/device_channel.h"
#include "bridge/ieee1284_link.h"
#include "camera_fixture.h"
#include "engine/capture_context.h"

namespace {

using Kind = simulator::LineEvent::Kind;

class Faults : public CameraFixture {
protected:
    int ImageCommands() const
    {
        int count = 0;
        for (const auto& event : TraceOf(Kind::EcpCommand))
            count += event.value == 0xA0;
        return count;
    }
};

// Frames shorter than one packet come whole out of the bytes a read carried over; the camera
// sends pictures with lines, and every trailer matches.
TEST_F(Faults, FramesShorterThanAPacketKeepStreaming)
{
    struct Case {
        int width, height, mode;
    };
    ASSERT_EQ(Enter_USS720_W9966_SAA7111(), 1);
    int tried = 0;
    for (Case size : {Case{12, 4, 1}, Case{12, 4, 2}, Case{12, 4, 3}, Case{12, 4, 4}, Case{16, 8, 4}}) {
        CaptureContext* c = StartContext(size.width, size.height, size.mode);
        ASSERT_NE(c, nullptr);
        for (int zoom = c->zoomMin; zoom <= c->zoomMax && c->frameBytes >= 64; ++zoom)
            SetZoomFactor(c, zoom);
        if (c->frameBytes >= 64) {
            StopContext(c);
            continue;
        }
        ++tried;
        ASSERT_EQ(StartStreaming(c), 1);
        ASSERT_EQ(CaptureFrame(c), 1);
        std::uint64_t started = probe().framesStarted();
        int restarts = ImageCommands();
        for (int i = 0; i < 20; ++i)
            ASSERT_EQ(CaptureFrame(c), 1);
        EXPECT_GE(probe().framesStarted() - started, 20u) << size.width << " x " << size.height;
        EXPECT_EQ(ImageCommands(), restarts) << size.width << " x " << size.height;
        EXPECT_GT(probe().recentFrames().back().pictureHeight, 0);
        EXPECT_EQ(deviceChannel.failed, 0);
        EXPECT_EQ(StopStreaming(c), 1);
        StopContext(c);
    }
    EXPECT_GE(tried, 2);
    EXPECT_EQ(Leave_USS720_W9966_SAA7111(), 1);
}

}  // namespace
