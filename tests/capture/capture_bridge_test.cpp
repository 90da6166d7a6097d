// Bridge access and camera bring-up, end to end: lorvcap over the Win32 stand-in, lorvusb in
// the stand-in kernel, the USB bus driver and the simulated bridge and camera.
#include <algorithm>
#include <cstring>

#include "bridge/camera_controller.h"
#include "bridge/device_channel.h"
#include "bridge/ieee1284_link.h"
#include "bridge/parallel_port.h"
#include "camera_fixture.h"
#include "engine/capture_context.h"
#include "message_boxes.h"

namespace {

using Kind = simulator::LineEvent::Kind;

constexpr BYTE kDefaults[kDecoderEntries][3] = {
    {0x01, 0x02, 0xAB}, {0x00, 0x04, 0x00}, {0x00, 0x05, 0xE8}, {0x00, 0x06, 0x38}, {0x00, 0x07, 0x26},
    {0x02, 0x00, 0x0F}, {0x02, 0x01, 0x43}, {0x02, 0x02, 0x40}, {0x02, 0x03, 0x62}, {0x02, 0x04, 0x52},
    {0x01, 0x08, 0x2C}, {0x01, 0x09, 0x2D}, {0x01, 0x0A, 0x36}, {0x01, 0x0B, 0x0A}, {0x01, 0x0C, 0x80},
    {0x01, 0x0D, 0xE8}, {0x00, 0x03, 0x16}, {0x00, 0x02, 0x3C},
};

class BringUp : public CameraFixture {
protected:
    // Opens the channel and enters ECP mode the way bring-up does, without the decoder table.
    void OpenEcpLink()
    {
        SetPortBase(kPortBase);
        ASSERT_EQ(OpenBridge(), 1);
        ASSERT_EQ(NegotiateEcp(), LinkOk);
    }
};

TEST_F(BringUp, NegotiationHandshakeIsExact)
{
    SetPortBase(kPortBase);
    ASSERT_EQ(OpenBridge(), 1);
    probe().ClearLineTrace();
    ASSERT_EQ(NegotiateEcp(), LinkOk);
    EXPECT_EQ(probe().linkPhase(), simulator::LinkPhase::EcpForward);
    // nInit pulse, request, strobe, acknowledge, then the idle ECP lines.
    std::vector<int> control;
    for (const auto& event : TraceOf(Kind::Control))
        control.push_back(event.value);
    EXPECT_EQ(control, (std::vector<int>{0xC8, 0xCC, 0xC6, 0xC7, 0xC4, 0xC6, 0xC4}));
    auto data = TraceOf(Kind::Data);
    ASSERT_EQ(data.size(), 1u);
    EXPECT_EQ(data[0].value, 0x10);
    EXPECT_EQ(probe().bridgeRegisters().extendedControl & 0xE0, 0x60);
}

TEST_F(BringUp, SendsEachSettingInItsOwnFlushInTableOrder)
{
    std::uint64_t writesBefore = probe().decoderWrites();
    ASSERT_EQ(Enter_USS720_W9966_SAA7111(), 1);
    EXPECT_EQ(probe().linkPhase(), simulator::LinkPhase::EcpForward);
    for (const auto& entry : kDefaults)
        EXPECT_EQ(probe().decoderSetting(entry[0], entry[1]), entry[2]) << int(entry[0]) << "/" << int(entry[1]);
    EXPECT_EQ(probe().decoderWrites() - writesBefore, 18u * 5u);  // every flush sends five times

    // Each flush opens register 0x18 with one command byte; the serial bytes after it carry
    // one entry behind the access code. The trace holds the newest events, so the earliest
    // flushes may have left it: the ones kept are the last entries of the table, in order.
    std::vector<std::vector<int>> flushes;
    for (const auto& event : probe().lineTrace()) {
        if (event.kind == Kind::EcpCommand && event.value == 0xD8)
            flushes.emplace_back();
        else if (event.kind == Kind::SerialByte && !flushes.empty())
            flushes.back().push_back(event.value);
    }
    ASSERT_GE(flushes.size(), 15u);
    ASSERT_LE(flushes.size(), 18u);
    size_t first = kDecoderEntries - flushes.size();
    for (size_t k = 0; k < flushes.size(); ++k) {
        const BYTE* entry = kDefaults[first + k];
        std::vector<int> sent{0x3E, 0x00, 'L', 'O', 'R', 'V', 0x3E, 0x02, entry[0], entry[1], entry[2]};
        std::vector<int> expected;
        for (int send = 0; send < 5; ++send)
            expected.insert(expected.end(), sent.begin(), sent.end());
        EXPECT_EQ(flushes[k], expected) << "entry " << first + k;
    }
    EXPECT_EQ(deviceChannel.failed, 0);
    EXPECT_NE(frameReadEvent, nullptr);
}

TEST_F(BringUp, ShutdownTerminatesEcpAndPrintsTheCounters)
{
    ASSERT_EQ(Enter_USS720_W9966_SAA7111(), 1);
    testing::internal::CaptureStdout();
    EXPECT_EQ(Leave_USS720_W9966_SAA7111(), 1);
    std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(probe().linkPhase(), simulator::LinkPhase::Compatibility);
    EXPECT_GT(deviceChannel.cInPortByte, 0);
    EXPECT_EQ(printed, "cInPortByte  = " + std::to_string(deviceChannel.cInPortByte) +
                           "\ncOutPortByte = " + std::to_string(deviceChannel.cOutPortByte) + "\n");
    EXPECT_EQ(deviceChannel.handle, nullptr);
    EXPECT_EQ(frameReadEvent, nullptr);

    testing::internal::CaptureStdout();
    EXPECT_EQ(CloseChannel(), 0);  // nothing held: silent
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST_F(BringUp, DecoderSettingsPersistAcrossBringUps)
{
    EXPECT_EQ(GetSAA7111Reg(0), 0xAB);
    EXPECT_EQ(GetSAA7111Reg(17), 0x3C);
    SetSAA7111Reg(12, 0x140);  // the low byte counts
    EXPECT_EQ(GetSAA7111Reg(12), 0x40);
    SetSAA7111Reg(18, 0x11);   // outside the table: ignored
    SetSAA7111Reg(-1, 0x11);
    EXPECT_EQ(GetSAA7111Reg(18), 0);
    EXPECT_EQ(GetSAA7111Reg(-1), 0);

    ASSERT_EQ(Enter_USS720_W9966_SAA7111(), 1);
    EXPECT_EQ(probe().decoderSetting(0x01, 0x0A), 0x40);
    SetSAA7111Reg(12, 0x55);
    EXPECT_EQ(probe().decoderSetting(0x01, 0x0A), 0x40);  // not before it is sent
    testing::internal::CaptureStdout();
    ASSERT_EQ(Leave_USS720_W9966_SAA7111(), 1);
    ASSERT_EQ(Enter_USS720_W9966_SAA7111(), 1);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(probe().decoderSetting(0x01, 0x0A), 0x55);
}

TEST_F(BringUp, HandshakeTimesOutAfter100MillisecondsOfThePlatformClock)
{
    probe().SetNegotiationIgnored(true);
    SetPortBase(kPortBase);
    ASSERT_EQ(OpenBridge(), 1);
    DWORD start = GetTickCount();
    EXPECT_EQ(NegotiateEcp(), LinkTimeout);
    DWORD elapsed = GetTickCount() - start;
    EXPECT_GE(elapsed, 101u);
    EXPECT_LE(elapsed, 115u);
    EXPECT_EQ(linkMode, LinkMode::Compatibility);
    EXPECT_EQ(TraceOf(Kind::Control).back().value, 0xC6);  // left where the failed step stopped
    EXPECT_EQ(TerminateEcp(), LinkWrongMode);

    // Exactly 100 ms is still within; 101 is not.
    DWORD now = GetTickCount();
    EXPECT_EQ(WithinTimeout(now - 100), 1);
    EXPECT_EQ(WithinTimeout(now - 101), 0);
}

TEST_F(BringUp, WrappingTickCounterDoesNotEndAWaitEarly)
{
    probe().SetNegotiationIgnored(true);
    SetPortBase(kPortBase);
    ASSERT_EQ(OpenBridge(), 1);
    machine().clock().SetTickBase(0);
    DWORD sinceBoot = GetTickCount();
    machine().clock().SetTickBase(0xFFFFFFFFu - 40u - sinceBoot);  // wraps 40 ms into the wait
    DWORD start = GetTickCount();
    ASSERT_GT(start, 0xFFFFFF00u);
    EXPECT_EQ(NegotiateEcp(), LinkTimeout);
    DWORD end = GetTickCount();
    EXPECT_LT(end, 200u);  // the counter wrapped during the wait
    EXPECT_GE(end - start, 101u);
}

TEST_F(BringUp, EcpBytesCostExactlyTheirPortAccesses)
{
    OpenEcpLink();
    EXPECT_EQ(NegotiateEcp(), LinkWrongMode);
    probe().ClearLineTrace();
    LONG in = deviceChannel.cInPortByte, out = deviceChannel.cOutPortByte;
    EXPECT_EQ(EcpWriteCommand(0x42), LinkOk);
    EXPECT_EQ(deviceChannel.cInPortByte - in, 1);   // control read back
    EXPECT_EQ(deviceChannel.cOutPortByte - out, 2); // control, then the FIFO byte
    auto commands = TraceOf(Kind::EcpCommand);
    ASSERT_EQ(commands.size(), 1u);
    EXPECT_EQ(commands[0].value, 0x42);

    probe().ClearLineTrace();
    in = deviceChannel.cInPortByte, out = deviceChannel.cOutPortByte;
    EXPECT_EQ(WriteControllerReg(0x18, 0x05), LinkOk);
    EXPECT_EQ(deviceChannel.cInPortByte - in, 2);
    EXPECT_EQ(deviceChannel.cOutPortByte - out, 4);
    commands = TraceOf(Kind::EcpCommand);
    auto data = TraceOf(Kind::EcpData);
    ASSERT_EQ(commands.size(), 1u);
    ASSERT_EQ(data.size(), 1u);
    EXPECT_EQ(commands[0].value, 0xD8);
    EXPECT_EQ(data[0].value, 0x05);

    EXPECT_EQ(ControllerStreamOn(0x7F), LinkOk);
    EXPECT_EQ(probe().controllerRegisters()[0x01], 0xFF);
    EXPECT_EQ(ControllerStreamOff(0xFF), LinkOk);
    EXPECT_EQ(probe().controllerRegisters()[0x01], 0x7F);

    ASSERT_EQ(TerminateEcp(), LinkOk);
    in = deviceChannel.cInPortByte, out = deviceChannel.cOutPortByte;
    EXPECT_EQ(WriteControllerReg(0x18, 0x05), LinkWrongMode);
    EXPECT_EQ(deviceChannel.cInPortByte, in);
    EXPECT_EQ(deviceChannel.cOutPortByte, out);
}

TEST_F(BringUp, PortMapAndFifoBytes)
{
    SetPortBase(kPortBase);
    const WORD ports[] = {0x378, 0x379, 0x37A, 0x37B, 0x37C, 0x778, 0x77A, 0x300};
    const signed char indexes[] = {0, 1, 2, 3, 4, -1, 6, kPortUnknown};
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(PortMap(ports[i]), indexes[i]) << std::hex << ports[i];

    ASSERT_EQ(OpenBridge(), 1);
    std::uint64_t received = probe().bytesReceived();
    EXPECT_EQ(PortWrite(0x778, 0x5A), 1);
    EXPECT_EQ(probe().bytesReceived() - received, 1u);
}

TEST_F(BringUp, SerialBufferHoldsTheWholeTableAndNeverOverflows)
{
    SerialBegin();
    EXPECT_EQ(SerialQueueWrite(0x01, 0x0A, 0x36), 0);
    ASSERT_EQ(serialLength, 3100u);
    auto state = [](DWORD i) { return serialBuffer[i * kSerialStateBytes]; };
    EXPECT_EQ(std::vector<int>({state(0), state(1), state(2), state(3)}),
              (std::vector<int>{0x0F, 0x0F, 0x0D, 0x0C}));
    EXPECT_EQ(std::vector<int>({state(4), state(5), state(6)}), (std::vector<int>{0x0C, 0x0D, 0x0C}));
    EXPECT_EQ(std::vector<int>({state(307), state(308), state(309)}), (std::vector<int>{0x0C, 0x0D, 0x0F}));
    EXPECT_TRUE(std::all_of(serialBuffer, serialBuffer + serialLength,
                            [](BYTE b) { return b >= 0x0C && b <= 0x0F; }));

    for (int i = 1; i < kDecoderEntries; ++i)
        EXPECT_EQ(SerialQueueWrite(0x00, 0x02, BYTE(i)), 0) << i;
    EXPECT_EQ(serialLength, 10u + 18u * 3090u);
    EXPECT_NE(SerialQueueWrite(0x00, 0x02, 0x99), 0);  // a 19th does not fit
    EXPECT_EQ(serialLength, 10u + 18u * 3090u);
}

TEST_F(BringUp, AllEighteenChangedSettingsReachTheCameraInOneFlush)
{
    ASSERT_EQ(Enter_USS720_W9966_SAA7111(), 1);
    for (int i = 0; i < kDecoderEntries; ++i)
        SetSAA7111Reg(i, kDefaults[i][2] ^ 0x01);
    ASSERT_EQ(RefreshDecoderSettings(), 1);
    EXPECT_EQ(SerialFlush(), 1);
    for (const auto& entry : kDefaults)
        EXPECT_EQ(probe().decoderSetting(entry[0], entry[1]), entry[2] ^ 0x01);
    EXPECT_EQ(RefreshDecoderSettings(), 0);  // nothing left to send
}

TEST_F(BringUp, ReportLastErrorWritesOneBoundedDebugLine)
{
    SetLastError(ERROR_FILE_NOT_FOUND);
    ReportLastError();
    SetLastError(0x2BADF00D);  // no system text for it
    ReportLastError();
    std::string log = UserLog();
    EXPECT_EQ(log.rfind("\nLorvProbe : 00000002 - ", 0), 0u) << log;
    size_t second = log.find("\nLorvProbe : 2BADF00D - ");
    ASSERT_NE(second, std::string::npos) << log;
    EXPECT_LE(second, 127u);
    EXPECT_LE(log.size() - second, 127u);

    std::string longText(300, 'x');
    char line[kDebugLineBytes];
    ComposeDebugLine(line, 0x1F, longText.c_str(), DWORD(longText.size()));
    EXPECT_EQ(std::string(line), "\nLorvProbe : 0000001F - " + std::string(kDebugTextChars, 'x'));
    EXPECT_EQ(strlen(line), 127u);
}

class NoCamera : public CameraFixture {
protected:
    bool PlugCamera() override { return false; }
};

TEST_F(NoCamera, BringUpFailsWithoutADevice)
{
    testing::internal::CaptureStdout();
    EXPECT_EQ(Enter_USS720_W9966_SAA7111(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(deviceChannel.handle, nullptr);
    EXPECT_EQ(Leave_USS720_W9966_SAA7111(), 0);
}

using BringUpFailure = BringUp;

TEST_F(BringUpFailure, RefusedResetClosesTheChannel)
{
    probe().SetSoftResetRefused(true);
    testing::internal::CaptureStdout();
    EXPECT_EQ(Enter_USS720_W9966_SAA7111(), 0);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("cInPortByte  = "), std::string::npos);
    EXPECT_EQ(deviceChannel.handle, nullptr);
}

TEST_F(BringUpFailure, NegotiationTimeoutClosesTheChannel)
{
    probe().SetNegotiationIgnored(true);
    testing::internal::CaptureStdout();
    EXPECT_EQ(Enter_USS720_W9966_SAA7111(), 0);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(deviceChannel.handle, nullptr);
    probe().SetNegotiationIgnored(false);
    EXPECT_EQ(Enter_USS720_W9966_SAA7111(), 1);
}

// A failed bulk completion is a failure: the fifth flush write fails, so the box shows.
TEST_F(BringUpFailure, FailedSerialFlushShowsTheMessageBox)
{
    probe().StallEndpoint(0x01);
    testing::internal::CaptureStdout();
    EXPECT_EQ(Enter_USS720_W9966_SAA7111(), 0);
    testing::internal::GetCapturedStdout();
    auto boxes = platform::win32::RecordedMessageBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "uss720");
    EXPECT_EQ(boxes[0].caption, "uss720 write err\n");
    EXPECT_EQ(boxes[0].type, static_cast<UINT>(MB_OK));
    EXPECT_EQ(deviceChannel.handle, nullptr);
}

TEST_F(BringUpFailure, BulkReadFromABridgeThatStoppedAnsweringEndsBounded)
{
    SetPortBase(kPortBase);
    ASSERT_EQ(OpenBridge(), 1);
    probe().SetStopAnswering(true);
    DWORD start = GetTickCount();
    EXPECT_EQ(PortRead(0x778), 0);
    DWORD elapsed = GetTickCount() - start;
    EXPECT_GE(elapsed, kBulkWaitMilliseconds);
    EXPECT_LT(elapsed, 3 * kBulkWaitMilliseconds + 100);
    EXPECT_NE(UserLog().find("\nLorvProbe : "), std::string::npos);
}

TEST_F(BringUpFailure, LeaveAfterFailChannelRefusesAndBringUpRecovers)
{
    ASSERT_EQ(Enter_USS720_W9966_SAA7111(), 1);
    testing::internal::CaptureStdout();
    FailChannel();
    FailChannel();  // once only
    std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(std::count(printed.begin(), printed.end(), '\n'), 2);
    EXPECT_EQ(deviceChannel.failed, 1);
    EXPECT_EQ(Leave_USS720_W9966_SAA7111(), 0);
    EXPECT_EQ(frameReadEvent, nullptr);
    EXPECT_EQ(Enter_USS720_W9966_SAA7111(), 1);
    EXPECT_EQ(deviceChannel.failed, 0);
}

// A bring-up over a running one replaces the handle and the event instead of leaking them:
// the driver lets the bridge go only when every handle is closed.
TEST_F(BringUpFailure, SecondBringUpLeavesNothingOpen)
{
    ASSERT_EQ(Enter_USS720_W9966_SAA7111(), 1);
    HANDLE firstEvent = frameReadEvent;
    testing::internal::CaptureStdout();
    ASSERT_EQ(Enter_USS720_W9966_SAA7111(), 1);
    ASSERT_EQ(Leave_USS720_W9966_SAA7111(), 1);
    testing::internal::GetCapturedStdout();
    EXPECT_DEATH(CloseHandle(firstEvent), "invalid handle .* \\(already closed\\)");
    CloseHandle(deviceChannel.ioEvent);
    deviceChannel.ioEvent = nullptr;
    machine().Unplug(deviceId_);
    EXPECT_TRUE(machine().WaitRemoved(deviceId_, std::chrono::seconds(5)));
}

}  // namespace
