// What devices and callers do wrong: tiny frames, a cable pulled during bring-up or at the
// stream start, stalled bulk pipes. Each case ends bounded, with nothing left open.
#include <chrono>
#include <string>

#include "bridge/device_channel.h"
#include "bridge/ieee1284_link.h"
#include "bridge/parallel_port.h"
#include "camera_fixture.h"
#include "capture_api.h"
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

// The decoder settings fail to go out after ECP was negotiated: the bring-up closes the
// channel, and the shutdown that an application runs anyway has no link to terminate.
TEST_F(Faults, LeaveAfterAFailedBringUpReturnsAtOnce)
{
    probe().StallEndpoint(0x01);
    testing::internal::CaptureStdout();
    ASSERT_EQ(Enter_USS720_W9966_SAA7111(), 0);
    ASSERT_EQ(linkMode, LinkMode::Ecp);
    DWORD start = GetTickCount();
    EXPECT_EQ(Leave_USS720_W9966_SAA7111(), 0);
    EXPECT_LE(GetTickCount() - start, 1u);
    EXPECT_EQ(testing::internal::GetCapturedStdout().find("_inp fail"), std::string::npos);
    EXPECT_EQ(frameReadEvent, nullptr);
}

// A bridge that answers nothing any more: the first failed status read ends the wait.
TEST_F(Faults, HandshakeWaitOnADeadBridgeEndsAtTheFirstFailedPoll)
{
    SetPortBase(kPortBase);
    ASSERT_EQ(OpenBridge(), 1);
    ASSERT_EQ(NegotiateEcp(), LinkOk);
    probe().Unplug();
    testing::internal::CaptureStdout();
    EXPECT_EQ(TerminateEcp(), LinkTimeout);
    std::string printed = testing::internal::GetCapturedStdout();
    size_t fails = 0;
    for (size_t at = printed.find("_inp fail"); at != std::string::npos; at = printed.find("_inp fail", at + 1))
        ++fails;
    EXPECT_LE(fails, 2u);  // the read whose value is discarded, then the wait's first
}

// A stream start that cannot reach the camera fails the channel: the shutdown then closes
// everything and the bridge's removal does not wait for a handle nobody can close.
TEST_F(Faults, FailedStreamStartLeavesNoHandleOpen)
{
    ASSERT_EQ(Enter_USS720_W9966_SAA7111(), 1);
    CaptureContext* c = StartContext(320, 240, 0);
    ASSERT_NE(c, nullptr);
    probe().SetNegotiationIgnored(true);
    testing::internal::CaptureStdout();
    EXPECT_EQ(StartStreaming(c), 0);
    EXPECT_EQ(deviceChannel.failed, 1);
    EXPECT_EQ(Leave_USS720_W9966_SAA7111(), 0);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(deviceChannel.handle, nullptr);
    EXPECT_EQ(frameReadEvent, nullptr);
    machine().Unplug(deviceId_);
    EXPECT_TRUE(machine().WaitRemoved(deviceId_, std::chrono::seconds(5)));
}

// A bridge gone between the last frame and the shutdown: the failed termination keeps the
// channel for another try, and the library's unload gives it back, so that the bridge's removal
// does not wait for the process to end.
TEST_F(Faults, UnloadGivesBackTheChannelAFailedLeaveKept)
{
    ASSERT_EQ(Enter_USS720_W9966_SAA7111(), 1);
    probe().Unplug();
    testing::internal::CaptureStdout();
    EXPECT_EQ(Leave_USS720_W9966_SAA7111(), 0);
    EXPECT_NE(deviceChannel.handle, nullptr);
    EXPECT_NE(frameReadEvent, nullptr);
    DllMain(nullptr, DLL_PROCESS_DETACH, nullptr);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(deviceChannel.handle, nullptr);
    EXPECT_EQ(frameReadEvent, nullptr);
    machine().Unplug(deviceId_);
    EXPECT_TRUE(machine().WaitRemoved(deviceId_, std::chrono::seconds(5)));
}

// A stalled bulk pipe: the calls that lost bytes say so, and the next bring-up clears the pipe
// so that streaming works again on the same plug.
TEST_F(Faults, StalledBulkPipesAreReportedAndClearedAtTheNextBringUp)
{
    ASSERT_EQ(Enter_USS720_W9966_SAA7111(), 1);
    CaptureContext* c = StartContext(320, 240, 0);
    ASSERT_NE(c, nullptr);
    ASSERT_EQ(StartStreaming(c), 1);
    ASSERT_EQ(CaptureFrame(c), 1);
    probe().StallEndpoint(0x01);
    EXPECT_EQ(StopCapture(c), 0);  // the stream-off never reached the camera
    EXPECT_EQ(c->capturing, 0);
    EXPECT_EQ(Leave_USS720_W9966_SAA7111(), 0);
    EXPECT_EQ(deviceChannel.handle, nullptr);

    ASSERT_EQ(Enter_USS720_W9966_SAA7111(), 1);
    ASSERT_EQ(StartCapture(c), 1);
    ASSERT_EQ(StartStreaming(c), 1);
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(CaptureFrame(c), 1);
    EXPECT_EQ(deviceChannel.failed, 0);
    probe().StallEndpoint(0x82);
    EXPECT_EQ(CaptureFrame(c), 1);
    EXPECT_EQ(deviceChannel.failed, 1);
    EXPECT_EQ(Leave_USS720_W9966_SAA7111(), 0);

    ASSERT_EQ(Enter_USS720_W9966_SAA7111(), 1);
    EXPECT_EQ(StopCapture(c), 1);
    ASSERT_EQ(StartCapture(c), 1);
    ASSERT_EQ(StartStreaming(c), 1);
    std::uint64_t started = probe().framesStarted();
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(CaptureFrame(c), 1);
    EXPECT_GE(probe().framesStarted() - started, 3u);
    EXPECT_EQ(deviceChannel.failed, 0);
    EXPECT_EQ(StopCapture(c), 1);
    EXPECT_EQ(Leave_USS720_W9966_SAA7111(), 1);
}

class NoCamera : public CameraFixture {
protected:
    bool PlugCamera() override { return false; }
};

// An application that goes on without a camera: every call that needs the bridge fails on
// the closed channel instead of handing the system a NULL handle.
TEST_F(NoCamera, EveryCallFailsWithoutTouchingAHandle)
{
    testing::internal::CaptureStdout();
    ASSERT_EQ(Enter_USS720_W9966_SAA7111(), 0);
    CaptureContext* c = StartContext(320, 240, 2);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(StartStreaming(c), 0);
    EXPECT_EQ(StopStreaming(c), 0);
    SetPortBase(kPortBase);
    EXPECT_NE(NegotiateEcp(), LinkOk);
    EXPECT_EQ(BridgeSetReg(2, 0xC6), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(BulkWrite("x", 1), 0);
    EXPECT_EQ(Leave_USS720_W9966_SAA7111(), 0);
    testing::internal::GetCapturedStdout();
}

}  // namespace
