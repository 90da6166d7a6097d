// Every simulated fault at every phase of a session: the session ends on the virtual clock
// within a bound, the library is left with no handle and no memory of it, and a new bring-up
// (after the fault is gone, or on a new plug after a pulled cable) captures again.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include <ntstatus.h>

#include "bridge/device_channel.h"
#include "camera_fixture.h"
#include "engine/capture_context.h"
#include "heap.h"

namespace {

enum class Fault {
    CablePulled,
    BridgeGone,
    BulkOutStalled,
    BulkInStalled,
    StreamStopped,
    BytesDropped,
    BytesInserted,
    TrailerCorrupted,
    NegotiationIgnored,
    SerialWritesIgnored,
    SoftResetRefused,
};

enum class Phase { BringUp, FirstFrame, MidStream, Stop };

constexpr Fault kFaults[] = {Fault::CablePulled,        Fault::BridgeGone,         Fault::BulkOutStalled,
                             Fault::BulkInStalled,      Fault::StreamStopped,      Fault::BytesDropped,
                             Fault::BytesInserted,      Fault::TrailerCorrupted,   Fault::NegotiationIgnored,
                             Fault::SerialWritesIgnored, Fault::SoftResetRefused};
constexpr Phase kPhases[] = {Phase::BringUp, Phase::FirstFrame, Phase::MidStream, Phase::Stop};

const char* Name(Fault fault)
{
    const char* names[] = {"CablePulled",      "BridgeGone",         "BulkOutStalled",     "BulkInStalled",
                           "StreamStopped",    "BytesDropped",       "BytesInserted",      "TrailerCorrupted",
                           "NegotiationIgnored", "SerialWritesIgnored", "SoftResetRefused"};
    return names[static_cast<int>(fault)];
}

const char* Name(Phase phase)
{
    const char* names[] = {"BringUp", "FirstFrame", "MidStream", "Stop"};
    return names[static_cast<int>(phase)];
}

// The longest a session may take on the virtual clock: a few frame-read and bulk waits of
// 2 s each, and handshakes of 100 ms.
constexpr DWORD kSessionBoundMilliseconds = 20000;

class FaultMatrix : public CameraFixture, public testing::WithParamInterface<std::tuple<Fault, Phase>> {
protected:
    void Inject(Fault fault)
    {
        simulator::Probe& p = probe();
        switch (fault) {
        case Fault::CablePulled: machine().Unplug(deviceId_); break;
        case Fault::BridgeGone: p.Unplug(); break;
        case Fault::BulkOutStalled: p.StallEndpoint(0x01); break;
        case Fault::BulkInStalled: p.StallEndpoint(0x82); break;
        case Fault::StreamStopped: p.SetStopAnswering(true); break;
        case Fault::BytesDropped: p.DropStreamBytes(1000); break;
        case Fault::BytesInserted: p.InsertStreamBytes(100, 0x55); break;
        case Fault::TrailerCorrupted: p.CorruptNextTrailer(); break;
        case Fault::NegotiationIgnored: p.SetNegotiationIgnored(true); break;
        case Fault::SerialWritesIgnored: p.SetSerialWritesIgnored(true); break;
        case Fault::SoftResetRefused: p.SetSoftResetRefused(true); break;
        }
    }

    // The fault goes away: a pulled cable or a dead bridge by plugging a new camera once the
    // old one has been removed, the others by clearing them.
    void Clear(Fault fault)
    {
        simulator::Probe& p = probe();
        switch (fault) {
        case Fault::CablePulled:
        case Fault::BridgeGone:
            if (fault == Fault::BridgeGone)
                machine().Unplug(deviceId_);
            ASSERT_TRUE(machine().WaitRemoved(deviceId_, std::chrono::seconds(5))) << "a handle kept the bridge";
            camera_ = std::make_unique<simulator::Camera>(machine().clock());  // the bus let go of the old one
            deviceId_ = machine().Plug(camera_->usbDevice());
            ASSERT_EQ(machine().StartStatus(deviceId_), STATUS_SUCCESS);
            break;
        case Fault::StreamStopped: p.SetStopAnswering(false); break;
        case Fault::NegotiationIgnored: p.SetNegotiationIgnored(false); break;
        case Fault::SerialWritesIgnored: p.SetSerialWritesIgnored(false); break;
        case Fault::SoftResetRefused: p.SetSoftResetRefused(false); break;
        default: break;  // one-shot faults, and stalls, which the driver clears itself
        }
    }

    // One session as an application runs it, cleaning up whatever the calls return.
    void Session(Fault fault, Phase phase)
    {
        if (phase == Phase::BringUp)
            Inject(fault);
        int entered = Enter_USS720_W9966_SAA7111();
        CaptureContext* c = AllocCaptureContext(64, 48, 1);
        ASSERT_NE(c, nullptr);
        c->outputImage = image_;
        c->outputBitsPerPixel = 24;
        if (entered && StartCapture(c)) {
            if (phase == Phase::FirstFrame)
                Inject(fault);
            StartStreaming(c);
            for (int i = 0; i < 3; ++i) {
                CaptureFrame(c);
                if (i == 0 && phase == Phase::MidStream)
                    Inject(fault);
            }
            if (phase == Phase::Stop)
                Inject(fault);
            StopCapture(c);
        } else if (phase != Phase::BringUp) {
            Inject(fault);  // late faults still happen to a session that never streamed
        }
        FreeCaptureContext(c);
        if (!Leave_USS720_W9966_SAA7111())
            Leave_USS720_W9966_SAA7111();  // a shutdown that failed may be asked again
    }

    BYTE image_[64 * 48 * 3 * 4] = {};
};

TEST_P(FaultMatrix, EndsBoundedLeaksNothingAndTheNextBringUpCaptures)
{
    auto [fault, phase] = GetParam();
    size_t localBaseline = platform::win32::LiveLocalBlocks();
    size_t globalBaseline = platform::win32::LiveGlobalBlocks();
    testing::internal::CaptureStdout();
    DWORD start = GetTickCount();
    Session(fault, phase);
    DWORD elapsed = GetTickCount() - start;
    testing::internal::GetCapturedStdout();
    EXPECT_LE(elapsed, kSessionBoundMilliseconds);
    EXPECT_EQ(deviceChannel.handle, nullptr) << "the session left the channel open";
    EXPECT_EQ(platform::win32::LiveLocalBlocks(), localBaseline);
    EXPECT_EQ(platform::win32::LiveGlobalBlocks(), globalBaseline);

    Clear(fault);
    ASSERT_EQ(Enter_USS720_W9966_SAA7111(), 1);
    CaptureContext* c = StartContext(64, 48, 1);
    ASSERT_NE(c, nullptr);
    ASSERT_EQ(StartStreaming(c), 1);
    std::uint64_t framesBefore = probe().framesStarted();
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(CaptureFrame(c), 1);
    EXPECT_GE(probe().framesStarted() - framesBefore, 3u);
    EXPECT_EQ(deviceChannel.failed, 0);
    EXPECT_EQ(StopCapture(c), 1);
    EXPECT_EQ(Leave_USS720_W9966_SAA7111(), 1);
}

INSTANTIATE_TEST_SUITE_P(EveryFaultAtEveryPhase, FaultMatrix,
                         testing::Combine(testing::ValuesIn(kFaults), testing::ValuesIn(kPhases)),
                         [](const testing::TestParamInfo<FaultMatrix::ParamType>& info) {
                             return std::string(Name(std::get<0>(info.param))) + "_" + Name(std::get<1>(info.param));
                         });

}  // namespace
