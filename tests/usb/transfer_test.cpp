// Bulk and control transfers on a configured device: frame timing on the virtual clock,
// short packets, aborts, cancels, stalls, late answers and unplugging.
#include "usb_test_driver.h"

namespace usb_test {
namespace {

using namespace std::chrono_literals;
using platform::Clock;
using test_support::Bytes;

Bytes Pattern(std::size_t size) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + 1);
    return bytes;
}

class TransferTest : public BusTest {
protected:
    void SetUp() override {
        BusTest::SetUp();
        Configure();
        device->ClearRecords();
    }
};

TEST_F(TransferTest, BulkInMovesNineteenPacketsPerFrame) {
    for (std::size_t packets : {19u, 20u, 2400u}) {
        Bytes data = Pattern(packets * 64);
        device->OnIn(0x82, test_support::Answer(data));
        Bytes buffer(data.size());
        UrbBuffer urb(sizeof(URB));
        Clock::TimePoint start = Now();
        ASSERT_EQ(start.count() % 1000, 0);  // each read starts on a frame boundary here
        Submission read(testDriver.lower, BuildBulk(urb, pipeIn, buffer.data(), static_cast<ULONG>(buffer.size()),
                                                    USBD_TRANSFER_DIRECTION_IN));
        EXPECT_EQ(read.dispatchStatus(), STATUS_PENDING);
        read.Wait();
        EXPECT_EQ(read.status(), STATUS_SUCCESS);
        EXPECT_EQ(buffer, data);
        EXPECT_EQ(urb.urb()->UrbBulkOrInterruptTransfer.TransferBufferLength, data.size());
        EXPECT_EQ(read.completedAt() - start, Clock::Duration(1000 * ((packets + 18) / 19))) << packets;
    }
    EXPECT_EQ(device->Count(test_support::ScriptedUsbDevice::Record::Kind::In), 19u + 20u + 2400u);
}

TEST_F(TransferTest, NakedPipeIsAskedAgainWithinTheFrame) {
    // A device that has a packet ready every 64 us: ten of them fit one frame.
    Clock::TimePoint start = Now();
    for (int k = 0; k < 10; ++k) device->OnIn(0x82, test_support::Late(start + k * 64us, Pattern(64)));
    Bytes buffer(640);
    UrbBuffer urb(sizeof(URB));
    Submission read(testDriver.lower, BuildBulk(urb, pipeIn, buffer.data(), 640, USBD_TRANSFER_DIRECTION_IN));
    read.Wait();
    EXPECT_EQ(read.status(), STATUS_SUCCESS);
    EXPECT_EQ(read.completedAt() - start, 1ms);
    std::size_t asked = 0;
    for (const auto& record : device->Records()) {
        if (record.kind != test_support::ScriptedUsbDevice::Record::Kind::In || record.reply != platform::usb::Reply::Ack)
            continue;
        EXPECT_EQ(record.at, start + asked * 64us) << asked;  // each packet the moment it is there
        ++asked;
    }
    EXPECT_EQ(asked, 10u);
}

TEST_F(TransferTest, ControlTransferCompletesAtTheEndOfItsFrame) {
    machine->clock().SleepFor(300us);
    Clock::TimePoint start = Now();
    UrbBuffer urb(sizeof(URB));
    Submission write(testDriver.lower, BuildVendor(urb, URB_FUNCTION_VENDOR_DEVICE, false, 4, 0x0102, 0, nullptr, 0));
    write.Wait();
    EXPECT_EQ(write.completedAt(), Clock::TimePoint((start.count() / 1000 + 1) * 1000));
}

TEST_F(TransferTest, ShortPacketEndsAReadAsAnErrorUnlessShortTransfersAreAllowed) {
    for (ULONG flags : {ULONG(USBD_TRANSFER_DIRECTION_IN), ULONG(USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK)}) {
        device->OnIn(0x82, test_support::Answer(Pattern(100)));  // 64 + a short 36
        Bytes buffer(256);
        UrbBuffer urb(sizeof(URB));
        Submission read(testDriver.lower, BuildBulk(urb, pipeIn, buffer.data(), 256, flags));
        read.Wait();
        const bool allowed = (flags & USBD_SHORT_TRANSFER_OK) != 0;
        EXPECT_EQ(read.status(), allowed ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL);
        EXPECT_EQ(urb.urb()->UrbHeader.Status, allowed ? USBD_STATUS_SUCCESS : USBD_STATUS_ERROR_SHORT_TRANSFER);
        EXPECT_EQ(urb.urb()->UrbBulkOrInterruptTransfer.TransferBufferLength, 100u);
        EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 100), Pattern(100));
    }
}

TEST_F(TransferTest, LargestTransferSizeOfThePipeIsEnforced) {
    Configure({153600, 128, 4});
    Bytes buffer(129);
    UrbBuffer urb(sizeof(URB));
    Submission tooLong(testDriver.lower, BuildBulk(urb, pipeIn, buffer.data(), 129, USBD_TRANSFER_DIRECTION_IN));
    tooLong.Wait();
    EXPECT_EQ(tooLong.status(), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(urb.urb()->UrbHeader.Status, USBD_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(device->Count(test_support::ScriptedUsbDevice::Record::Kind::In), 0u);

    device->OnIn(0x82, test_support::Answer(Pattern(128)));
    Submission fits(testDriver.lower, BuildBulk(urb, pipeIn, buffer.data(), 128, USBD_TRANSFER_DIRECTION_IN));
    fits.Wait();
    EXPECT_EQ(fits.status(), STATUS_SUCCESS);
}

TEST_F(TransferTest, AbortEndsAnOutstandingReadWithTheBytesMovedSoFar) {
    device->OnIn(0x82, test_support::Answer(Pattern(128)));  // then nothing more to give
    Bytes buffer(1024);
    UrbBuffer readUrb(sizeof(URB)), abortUrb(sizeof(URB));
    Submission read(testDriver.lower, BuildBulk(readUrb, pipeIn, buffer.data(), 1024, USBD_TRANSFER_DIRECTION_IN));
    EXPECT_FALSE(read.Wait(50ms));  // the device has nothing more to give

    Submission abort(testDriver.lower, BuildAbort(abortUrb, pipeIn));
    abort.Wait();
    ASSERT_TRUE(read.completed());  // before the abort itself
    EXPECT_LE(read.completedAt(), abort.completedAt());
    EXPECT_EQ(abort.status(), STATUS_SUCCESS);
    EXPECT_EQ(read.status(), STATUS_CANCELLED);
    EXPECT_EQ(readUrb.urb()->UrbHeader.Status, USBD_STATUS_CANCELED);
    EXPECT_EQ(readUrb.urb()->UrbBulkOrInterruptTransfer.TransferBufferLength, 128u);

    // The pipe serves the next read as usual.
    device->ClearRecords();
    device->OnIn(0x82, test_support::Answer(Pattern(64)));
    Submission next(testDriver.lower, BuildBulk(readUrb, pipeIn, buffer.data(), 64, USBD_TRANSFER_DIRECTION_IN));
    next.Wait();
    EXPECT_EQ(next.status(), STATUS_SUCCESS);
}

// A device that takes its time over every IN packet, so that an abort finds it in flight.
class SlowDevice : public test_support::ScriptedUsbDevice {
public:
    explicit SlowDevice(Clock& clock) : ScriptedUsbDevice(clock), clock_(clock) {}
    platform::usb::TransferReply In(std::uint8_t endpoint, std::span<std::uint8_t> packet) override {
        clock_.SleepFor(5ms);
        return ScriptedUsbDevice::In(endpoint, packet);
    }

private:
    Clock& clock_;
};

TEST_F(TransferTest, AbortOfATransferInFlightCompletesWhenTheDeviceAnswers) {
    machine->Unplug(id);
    ASSERT_TRUE(machine->WaitRemoved(id));
    testDriver = TestDriverState{};
    device = std::make_shared<SlowDevice>(machine->clock());
    id = machine->Plug(device);
    Configure();
    device->OnIn(0x82, test_support::Answer(Pattern(64)));

    Bytes buffer(256);
    UrbBuffer readUrb(sizeof(URB)), abortUrb(sizeof(URB));
    Clock::TimePoint start = Now();
    Submission read(testDriver.lower, BuildBulk(readUrb, pipeIn, buffer.data(), 256, USBD_TRANSFER_DIRECTION_IN));
    machine->clock().SleepFor(2ms);  // the device is inside its first packet now
    Submission abort(testDriver.lower, BuildAbort(abortUrb, pipeIn));
    EXPECT_EQ(abort.dispatchStatus(), STATUS_PENDING);
    abort.Wait();
    ASSERT_TRUE(read.completed());
    EXPECT_EQ(read.status(), STATUS_CANCELLED);
    EXPECT_EQ(readUrb.urb()->UrbBulkOrInterruptTransfer.TransferBufferLength, 64u);  // the packet in flight
    EXPECT_GE(abort.completedAt(), start + 5ms);
}

TEST_F(TransferTest, CancelledIrpEndsAParkedRead) {
    Bytes buffer(64);
    UrbBuffer urb(sizeof(URB));
    Submission read(testDriver.lower, BuildBulk(urb, pipeIn, buffer.data(), 64, USBD_TRANSFER_DIRECTION_IN));
    EXPECT_FALSE(read.Wait(10ms));
    read.Cancel();
    read.Wait();
    EXPECT_EQ(read.status(), STATUS_CANCELLED);
    EXPECT_EQ(urb.urb()->UrbHeader.Status, USBD_STATUS_CANCELED);
}

TEST_F(TransferTest, LateAnswerIsPickedUpAtTheDevicesNextChance) {
    Clock::TimePoint ready = Now() + 50ms;
    device->OnIn(0x82, test_support::Late(ready, Pattern(64)));
    Bytes buffer(64);
    UrbBuffer urb(sizeof(URB));
    Submission read(testDriver.lower, BuildBulk(urb, pipeIn, buffer.data(), 64, USBD_TRANSFER_DIRECTION_IN));
    read.Wait();
    EXPECT_EQ(read.status(), STATUS_SUCCESS);
    EXPECT_GE(read.completedAt(), ready);
    EXPECT_LE(read.completedAt(), ready + 1ms);
    // Asked once, told to come back, asked again then: no polling in between.
    EXPECT_EQ(device->Count(test_support::ScriptedUsbDevice::Record::Kind::In, platform::usb::Reply::NotYet), 1u);
}

TEST_F(TransferTest, WritesProceedInOrderWhileAReadWaits) {
    Bytes readBuffer(64);
    UrbBuffer readUrb(sizeof(URB)), first(sizeof(URB)), second(sizeof(URB));
    Submission read(testDriver.lower, BuildBulk(readUrb, pipeIn, readBuffer.data(), 64, USBD_TRANSFER_DIRECTION_IN));
    Bytes a = Pattern(70), b = {0xEE};
    Submission writeA(testDriver.lower, BuildBulk(first, pipeOut, a.data(), 70, 0));
    Submission writeB(testDriver.lower, BuildBulk(second, pipeOut, b.data(), 1, 0));
    writeB.Wait();
    ASSERT_TRUE(writeA.completed());
    EXPECT_EQ(writeA.status(), STATUS_SUCCESS);
    EXPECT_EQ(second.urb()->UrbBulkOrInterruptTransfer.TransferBufferLength, 1u);
    Bytes expected = a;
    expected.push_back(0xEE);
    EXPECT_EQ(device->OutData(0x01), expected);
    EXPECT_FALSE(read.completed());

    device->OnIn(0x82, test_support::Answer(Pattern(64)));  // the device's own wake-up
    read.Wait();
    EXPECT_EQ(read.status(), STATUS_SUCCESS);
}

TEST_F(TransferTest, StallAndFailureOfABulkPacketFailTheTransfer) {
    Bytes data = Pattern(8);
    UrbBuffer urb(sizeof(URB));
    device->OnOut(0x01, test_support::Stall());
    Submission stalled(testDriver.lower, BuildBulk(urb, pipeOut, data.data(), 8, 0));
    stalled.Wait();
    EXPECT_EQ(stalled.status(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(urb.urb()->UrbHeader.Status, USBD_STATUS_STALL_PID);

    // The pipe stays halted until it is reset; the reset clears the endpoint's halt too.
    Submission halted(testDriver.lower, BuildBulk(urb, pipeOut, data.data(), 8, 0));
    halted.Wait();
    EXPECT_EQ(urb.urb()->UrbHeader.Status, USBD_STATUS_ENDPOINT_HALTED);
    device->ClearRecords();
    PURB reset = BuildAbort(urb, pipeOut);
    reset->UrbHeader.Function = URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
    Submission resetting(testDriver.lower, reset);
    resetting.Wait();
    EXPECT_EQ(resetting.status(), STATUS_SUCCESS);
    auto setups = device->SetupPackets();
    ASSERT_EQ(setups.size(), 1u);
    EXPECT_EQ(setups[0].bmRequestType, 0x02);
    EXPECT_EQ(setups[0].bRequest, USB_REQUEST_CLEAR_FEATURE);
    EXPECT_EQ(setups[0].wValue, USB_FEATURE_ENDPOINT_STALL);
    EXPECT_EQ(setups[0].wIndex, 0x01);

    device->OnOut(0x01, test_support::Fail());
    Submission failed(testDriver.lower, BuildBulk(urb, pipeOut, data.data(), 8, 0));
    failed.Wait();
    EXPECT_EQ(urb.urb()->UrbHeader.Status, USBD_STATUS_DEV_NOT_RESPONDING);

    Submission badPipe(testDriver.lower, BuildBulk(urb, reinterpret_cast<USBD_PIPE_HANDLE>(0x7), data.data(), 8, 0));
    badPipe.Wait();
    EXPECT_EQ(urb.urb()->UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
}

TEST_F(TransferTest, UnplugFailsTheTransferInFlightAndEveryLaterOne) {
    Bytes buffer(64);
    UrbBuffer urb(sizeof(URB)), control(sizeof(URB)), later(sizeof(URB));
    device->OnControl(0xC0, 0x03, test_support::NeverAnswer());
    Submission read(testDriver.lower, BuildBulk(urb, pipeIn, buffer.data(), 64, USBD_TRANSFER_DIRECTION_IN));
    Submission request(testDriver.lower,
                       BuildVendor(control, URB_FUNCTION_VENDOR_DEVICE, true, 3, 0, 0, buffer.data(), 6));
    EXPECT_FALSE(read.Wait(5ms));
    EXPECT_FALSE(request.completed());
    PDEVICE_OBJECT pdo = testDriver.lower;  // the removal may detach the test driver any moment now
    machine->Unplug(id);
    read.Wait();
    request.Wait();
    EXPECT_EQ(read.status(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(urb.urb()->UrbHeader.Status, USBD_STATUS_DEV_NOT_RESPONDING);
    EXPECT_EQ(request.status(), STATUS_DEVICE_NOT_CONNECTED);
    Submission afterwards(pdo, BuildBulk(later, pipeOut, buffer.data(), 1, 0));
    afterwards.Wait();
    EXPECT_TRUE(afterwards.status() == STATUS_DEVICE_NOT_CONNECTED || afterwards.status() == STATUS_NO_SUCH_DEVICE);
    ASSERT_TRUE(machine->WaitRemoved(id));
    EXPECT_EQ(testDriver.pnpMinors.back(), IRP_MN_REMOVE_DEVICE);
}

TEST_F(TransferTest, SynchronousCompletionFinishesInsideIoCallDriver) {
    machine->bus().SetCompletion(platform::usb::Completion::Synchronous);
    device->OnIn(0x82, test_support::Answer(Pattern(64)));
    Bytes buffer(64);
    UrbBuffer urb(sizeof(URB));
    Clock::TimePoint start = Now();
    Submission read(testDriver.lower, BuildBulk(urb, pipeIn, buffer.data(), 64, USBD_TRANSFER_DIRECTION_IN));
    EXPECT_EQ(read.dispatchStatus(), STATUS_SUCCESS);
    EXPECT_TRUE(read.completed());
    EXPECT_EQ(read.completedAt(), start);
    EXPECT_EQ(buffer, Pattern(64));
}

TEST_F(TransferTest, InstantTimingChargesNoTime) {
    machine->bus().SetTiming(platform::usb::Timing::Instant);
    device->OnIn(0x82, test_support::Answer(Pattern(64 * 100)));
    Bytes buffer(64 * 100);
    UrbBuffer urb(sizeof(URB));
    Clock::TimePoint start = Now();
    Submission read(testDriver.lower, BuildBulk(urb, pipeIn, buffer.data(), 6400, USBD_TRANSFER_DIRECTION_IN));
    read.Wait();
    EXPECT_EQ(read.status(), STATUS_SUCCESS);
    EXPECT_EQ(read.completedAt(), start);
}

}  // namespace
}  // namespace usb_test
