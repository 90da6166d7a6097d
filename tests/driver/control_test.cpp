// The control requests on the wire: setup packets, canned bridge replies, length checks and
// refusals with their statuses, and the hold each request takes and gives back.
#include "driver_fixture.h"

namespace driver_test {
namespace {

using test_support::Answer;
using test_support::Stall;

class ControlTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        ASSERT_EQ(Plug(), STATUS_SUCCESS);
    }
};

// The bridge's register snapshot: byte i holds 0xA0 + i.
Bytes Snapshot(std::size_t length) {
    Bytes snapshot;
    for (std::size_t i = 0; i < length; ++i) {
        snapshot.push_back(static_cast<std::uint8_t>(0xA0 + i));
    }
    return snapshot;
}

TEST_F(ControlTest, SetRegisterSendsIndexHighValueLow) {
    struct Case {
        Bytes input;
        Bytes setup;
    };
    const Case cases[] = {
        {{0x07, 0xF8}, {0x40, 0x04, 0xF8, 0x07, 0x00, 0x00, 0x00, 0x00}},
        {{0x02, 0xC6}, {0x40, 0x04, 0xC6, 0x02, 0x00, 0x00, 0x00, 0x00}},
        {{200, 0x01}, {0x40, 0x04, 0x01, 200, 0x00, 0x00, 0x00, 0x00}},  // not range-checked
    };
    for (const Case& c : cases) {
        ClearTraffic();
        IoResult result = Ioctl(IOCTL_BRIDGE_SET_REG, c.input, 0);
        EXPECT_EQ(result.returned, STATUS_PENDING);
        EXPECT_EQ(result.status, STATUS_SUCCESS);
        EXPECT_EQ(result.information, 0u);
        EXPECT_EQ(ControlTraffic(), std::vector<Bytes>{c.setup});
    }
    EXPECT_TRUE(IrpCountSettlesAt(2));  // the device and the open handle
}

TEST_F(ControlTest, GetRegisterReadsTheSnapshotByteOfItsIndex) {
    struct Case {
        std::uint8_t index;
        std::uint8_t snapshotLength;
        std::uint8_t snapshotByte;
    };
    const Case cases[] = {{0, 6, 4}, {1, 6, 0}, {2, 6, 1}, {3, 6, 5}, {4, 6, 5}, {6, 6, 2}, {7, 6, 3}, {8, 7, 6}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.index);
        ClearTraffic();
        device_->OnControl(0xC0, 3, Answer(Snapshot(c.snapshotLength)));
        Bytes out;
        IoResult result = Ioctl(IOCTL_BRIDGE_GET_REG, {c.index}, 1, &out);
        EXPECT_EQ(result.status, STATUS_SUCCESS);
        EXPECT_EQ(result.information, 1u);
        EXPECT_EQ(out, Bytes{static_cast<std::uint8_t>(0xA0 + c.snapshotByte)});
        Bytes setup{0xC0, 0x03, 0x00, c.index, 0x00, 0x00, c.snapshotLength, 0x00};
        EXPECT_EQ(ControlTraffic(), std::vector<Bytes>{setup});
    }
    EXPECT_TRUE(Logged("GetReg(8) = 0xA6\n"));
    EXPECT_TRUE(Logged("leave _Device::GetReg succ\n"));
}

// A reply of the wrong size keeps STATUS_SUCCESS but stores nothing; a stall fails.
TEST_F(ControlTest, GetRegisterRepliesThatGoWrong) {
    struct Case {
        test_support::Step reply;
        NTSTATUS status;
    };
    const Case cases[] = {{Answer(Snapshot(5)), STATUS_SUCCESS}, {Answer({}), STATUS_SUCCESS},
                          {Stall(), STATUS_UNSUCCESSFUL}};
    for (const Case& c : cases) {
        device_->OnControl(0xC0, 3, c.reply);
        Bytes out{0x5A};
        IoResult result = Ioctl(IOCTL_BRIDGE_GET_REG, {2}, 1, &out);
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(result.information, 0u);
        EXPECT_EQ(out, Bytes{0x5A});
    }
    EXPECT_TRUE(Logged("urb fail with C0000004\n"));  // USBD_STATUS_STALL_PID, seen only in the log
    EXPECT_TRUE(IrpCountSettlesAt(2));
}

// Each allocation of a request failing in turn: refused, nothing sent, nothing kept.
TEST_F(ControlTest, AllocationFailuresRefuseTheRequest) {
    const std::size_t poolBefore = verifier().OutstandingAllocations(LORV_POOL_TAG);
    const char* const lines[] = {"allocate URC fail\n", "allocate Urb fail\n", "allocate Buffer fail\n"};
    for (unsigned n = 1; n <= std::size(lines); ++n) {
        const char* line = lines[n - 1];
        ClearLog();
        verifier().FailNthAllocation(n);
        IoResult result = Ioctl(IOCTL_BRIDGE_GET_REG, {2}, 1);
        verifier().StopFailingAllocations();
        EXPECT_EQ(result.status, STATUS_NO_MEMORY) << line;
        EXPECT_TRUE(Logged(line)) << line;
        EXPECT_EQ(verifier().OutstandingAllocations(LORV_POOL_TAG), poolBefore);
    }
    EXPECT_TRUE(ControlTraffic().empty());
    EXPECT_TRUE(IrpCountSettlesAt(2));
}

TEST_F(ControlTest, SoftResetAndDeviceIdUsePrinterClassRequests) {
    IoResult reset = Ioctl(IOCTL_BRIDGE_SOFT_RESET, {}, 0);
    EXPECT_EQ(reset.status, STATUS_SUCCESS);
    EXPECT_EQ(reset.information, 0u);

    const Bytes id{0x00, 0x10, 'M', 'F', 'G', ':', 'L', 'o', 'r', 'v', ';', 'C', 'M', 'D', ':', ';'};
    device_->OnControl(0xA1, 0, Answer(id));
    Bytes out;
    IoResult result = Ioctl(IOCTL_BRIDGE_GET_DEVICE_ID, {}, 64, &out);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    ASSERT_EQ(result.information, id.size());
    EXPECT_EQ(Bytes(out.begin(), out.begin() + id.size()), id);

    // wLength has 16 bits: a larger output asks for 0xFFFF, not for the length's low bits.
    device_->OnControl(0xA1, 0, Answer(id));
    EXPECT_EQ(Ioctl(IOCTL_BRIDGE_GET_DEVICE_ID, {}, 0x10040).information, id.size());

    std::vector<Bytes> expected{{0x21, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},
                                {0xA1, 0x00, 0x00, 0x00, 0x02, 0x00, 0x40, 0x00},
                                {0xA1, 0x00, 0x00, 0x00, 0x02, 0x00, 0xFF, 0xFF}};
    EXPECT_EQ(ControlTraffic(), expected);
}

// Wrong lengths and indexes are refused before anything reaches the bridge, and the
// request's hold is given back.
TEST_F(ControlTest, RefusalsSendNothing) {
    struct Case {
        const char* what;
        ULONG code;
        Bytes input;
        ULONG outLength;
        NTSTATUS status;
        const char* reason;
    };
    const Case cases[] = {
        {"set-reg input 1", IOCTL_BRIDGE_SET_REG, {7}, 0, STATUS_INVALID_PARAMETER, "invalid parameter\n"},
        {"set-reg output 1", IOCTL_BRIDGE_SET_REG, {7, 1}, 1, STATUS_INVALID_PARAMETER, "invalid parameter\n"},
        {"get-reg input 2", IOCTL_BRIDGE_GET_REG, {2, 0}, 1, STATUS_INVALID_PARAMETER, "invalid parameter\n"},
        {"get-reg output 0", IOCTL_BRIDGE_GET_REG, {2}, 0, STATUS_INVALID_PARAMETER, "invalid parameter\n"},
        {"get-reg output 2", IOCTL_BRIDGE_GET_REG, {2}, 2, STATUS_INVALID_PARAMETER, "invalid parameter\n"},
        {"get-reg index 5", IOCTL_BRIDGE_GET_REG, {5}, 1, STATUS_NOT_IMPLEMENTED, "ECP Command is read only\n"},
        {"get-reg index 9", IOCTL_BRIDGE_GET_REG, {9}, 1, STATUS_NOT_IMPLEMENTED, "bRegIdx > 9 not implemented\n"},
        {"get-reg index 255", IOCTL_BRIDGE_GET_REG, {255}, 1, STATUS_NOT_IMPLEMENTED, "bRegIdx > 9 not implemented\n"},
        {"soft reset input 1", IOCTL_BRIDGE_SOFT_RESET, {0}, 0, STATUS_INVALID_PARAMETER, "invalid parameter\n"},
        {"abort input 0", IOCTL_BRIDGE_ABORT_PIPE, {}, 0, STATUS_INVALID_PARAMETER, "invalid parameter\n"},
        {"abort pipe 2", IOCTL_BRIDGE_ABORT_PIPE, {2}, 0, STATUS_NOT_IMPLEMENTED, "invalid pipe index\n"},
        {"device id output 0", IOCTL_BRIDGE_GET_DEVICE_ID, {}, 0, STATUS_INVALID_PARAMETER, "invalid parameter\n"},
        {"device id input 1", IOCTL_BRIDGE_GET_DEVICE_ID, {0}, 8, STATUS_INVALID_PARAMETER, "invalid parameter\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ClearLog();
        IoResult result = Ioctl(c.code, c.input, c.outLength);
        EXPECT_EQ(result.returned, c.status);
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(result.information, 0u);
        EXPECT_TRUE(Logged(c.reason));
        EXPECT_TRUE(IrpCountSettlesAt(2));
    }
    EXPECT_TRUE(ControlTraffic().empty());
}

TEST_F(ControlTest, ReservedAndUnknownCodesAreRefused) {
    IoResult reserved = Ioctl(IOCTL_BRIDGE_QUERY_PIPE_RESULT, {1, 2}, 4);
    EXPECT_EQ(reserved.returned, STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(reserved.status, STATUS_NOT_IMPLEMENTED);

    for (ULONG function : {0x800u, 0x80Du, 0x80Eu, 0x810u, 0x813u, 0x816u}) {
        IoResult unknown = Ioctl(LORV_IOCTL(function), {1}, 1);
        EXPECT_EQ(unknown.returned, STATUS_UNSUCCESSFUL);
        EXPECT_EQ(unknown.status, STATUS_UNSUCCESSFUL);
        EXPECT_EQ(unknown.information, 0u);
    }
    EXPECT_TRUE(ControlTraffic().empty());
    EXPECT_TRUE(IrpCountSettlesAt(2));
}

TEST_F(ControlTest, LogsEnterAndLeaveAroundTheCompletion) {
    ASSERT_EQ(Ioctl(IOCTL_BRIDGE_SET_REG, {7, 0xF8}, 0).status, STATUS_SUCCESS);
    std::vector<std::string> lines = LogLines();
    std::vector<std::string> expected{"\n", "enter Dispatch\n", "IncIrpCount 2->3\n", "enter _Device::ApiSetReg\n",
                                      "mark cur Irp pending\n"};
    // Entry lines come first and in order; the completion's lines follow wherever it ran.
    ASSERT_GE(lines.size(), expected.size());
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 5), expected);
    for (const char* line : {"mark cur Irp pending\n", "enter Request_CompleteWithCompleteRequest\n", "irp succ\n",
                             "urb succ\n", "cbReturned = 0\n", "DecIrpCount 3->2\n",
                             "leave Request_CompleteWithCompleteRequest\n", "leave _Device::ApiSetReg succ\n"}) {
        EXPECT_TRUE(Logged(line)) << line;
    }
}

}  // namespace
}  // namespace driver_test
