// Reads and writes: one bulk transfer each, the pipes' size limit, short packets, aborts, and a
// bus driver that completes inside IofCallDriver.
#include "driver_fixture.h"

#include "bus_driver.h"

namespace driver_test {
namespace {

using test_support::Answer;

class ReadWriteTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        ASSERT_EQ(Plug(), STATUS_SUCCESS);
    }

    std::size_t Transfers(test_support::ScriptedUsbDevice::Record::Kind kind, std::uint8_t endpoint) {
        std::size_t count = 0;
        for (const auto& record : device_->Records()) {
            count += record.kind == kind && record.endpoint == endpoint && record.reply == platform::usb::Reply::Ack;
        }
        return count;
    }
};

Bytes Pattern(std::size_t length) {
    Bytes bytes(length);
    for (std::size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<std::uint8_t>(i * 7 + (i >> 8));
    }
    return bytes;
}

TEST_F(ReadWriteTest, AFullFrameIsOneTransferIntoTheCallersBuffer) {
    const Bytes frame = Pattern(BRIDGE_MAX_TRANSFER);
    device_->OnIn(kBulkIn, Answer(frame));
    Bytes buffer(BRIDGE_MAX_TRANSFER);
    IoResult result = Read(buffer);
    EXPECT_EQ(result.returned, STATUS_PENDING);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, BRIDGE_MAX_TRANSFER);
    EXPECT_TRUE(buffer == frame);
    EXPECT_EQ(Transfers(test_support::ScriptedUsbDevice::Record::Kind::In, kBulkIn), BRIDGE_MAX_TRANSFER / 64);
    EXPECT_TRUE(Logged("SetMdl to URC\n"));
    EXPECT_TRUE(Logged("cbReturned = 153600\n"));
    EXPECT_TRUE(IrpCountSettlesAt(2));
}

TEST_F(ReadWriteTest, ReadPastThePipeLimitFails) {
    device_->OnIn(kBulkIn, Answer(Pattern(BRIDGE_MAX_TRANSFER + 1)));
    Bytes buffer(BRIDGE_MAX_TRANSFER + 1);
    IoResult result = Read(buffer);
    EXPECT_EQ(result.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(result.information, 0u);
    EXPECT_EQ(Transfers(test_support::ScriptedUsbDevice::Record::Kind::In, kBulkIn), 0u);
}

// Short transfers are not permitted: the read fails but reports what did arrive.
TEST_F(ReadWriteTest, AShortPacketFailsTheReadWithTheBytesMoved) {
    device_->OnIn(kBulkIn, Answer(Pattern(100)));
    Bytes buffer(640, 0);
    IoResult result = Read(buffer);
    EXPECT_EQ(result.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(result.information, 100u);
    EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + 100, Pattern(100).begin()));
}

TEST_F(ReadWriteTest, AWriteIsOneBulkOutTransferAndAnEmptyOneIsRefused) {
    const Bytes one{0x5C};
    IoResult result = Write(one);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 1u);
    EXPECT_EQ(device_->OutData(kBulkOut), one);

    ClearTraffic();
    IoResult empty = Write(std::span<const std::uint8_t>(one.data(), 0));
    EXPECT_EQ(empty.returned, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(empty.status, STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(Logged("leave _Device::ApiWrite with C000000D\n"));
    Bytes buffer(1);
    EXPECT_EQ(Read(std::span<std::uint8_t>(buffer.data(), 0)).status, STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(device_->Records().empty());
    EXPECT_TRUE(IrpCountSettlesAt(2));
}

TEST_F(ReadWriteTest, AbortingTheInPipeEndsTheOutstandingRead) {
    Bytes buffer(4096);
    PendingIo read = StartRead(buffer);  // nothing scripted: the bridge has no data
    EXPECT_EQ(read.returned, STATUS_PENDING);
    EXPECT_FALSE(read.IsDone());
    EXPECT_TRUE(IrpCountSettlesAt(3));

    IoResult abort = Ioctl(IOCTL_BRIDGE_ABORT_PIPE, {1}, 0);
    EXPECT_EQ(abort.status, STATUS_SUCCESS);
    IoResult result = read.Wait();
    EXPECT_TRUE(result.completed);
    EXPECT_EQ(result.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(result.information, 0u);
    EXPECT_TRUE(ControlTraffic().empty());  // the abort is the bus driver's business
    EXPECT_TRUE(IrpCountSettlesAt(2));

    // Cancelling the file's I/O ends a read the same way.
    PendingIo cancelled = StartRead(buffer);
    platform::kernel::CancelFileIo(kernel(), file_);
    EXPECT_EQ(cancelled.Wait().status, STATUS_UNSUCCESSFUL);

    // The pipe still works afterwards.
    device_->OnIn(kBulkIn, Answer(Pattern(64)));
    Bytes next(64);
    EXPECT_EQ(Read(next).status, STATUS_SUCCESS);
}

// The whole completion runs inside IofCallDriver; the handler only logs afterwards and the
// caller still learns the final status from the completion.
TEST_F(ReadWriteTest, CompletionInsideTheCallToTheBusDriver) {
    machine_->bus().SetCompletion(platform::usb::Completion::Synchronous);
    device_->OnControl(0xC0, 3, Answer({1, 2, 3, 4, 5, 6}));
    Bytes out;
    IoResult getReg = Ioctl(IOCTL_BRIDGE_GET_REG, {1}, 1, &out);
    EXPECT_EQ(getReg.returned, STATUS_PENDING);
    EXPECT_EQ(getReg.status, STATUS_SUCCESS);
    EXPECT_EQ(out, Bytes{1});

    device_->OnIn(kBulkIn, Answer(Pattern(100)));
    ClearLog();  // the get-register above logged the same completion line
    Bytes buffer(128);
    PendingIo read = StartRead(buffer);
    EXPECT_TRUE(read.IsDone());
    IoResult result = read.Wait();
    EXPECT_EQ(result.returned, STATUS_PENDING);
    EXPECT_EQ(result.status, STATUS_UNSUCCESSFUL);  // a short packet without permission
    EXPECT_EQ(result.information, 100u);

    std::vector<std::string> lines = LogLines();
    auto complete = std::find(lines.begin(), lines.end(), "leave Request_CompleteWithCompleteRequest\n");
    auto leave = std::find_if(lines.begin(), lines.end(),
                              [](const std::string& line) { return line.starts_with("leave _Device::ApiRead"); });
    ASSERT_NE(complete, lines.end());
    ASSERT_NE(leave, lines.end());
    EXPECT_LT(complete, leave);
    EXPECT_TRUE(IrpCountSettlesAt(2));
}

}  // namespace
}  // namespace driver_test
