// Device start: the descriptor reads and the selection on the wire, descriptors the bridge
// sends wrong, allocation failures at every step, and requests to a device that never started.
#include "driver_fixture.h"

namespace driver_test {
namespace {

using test_support::Answer;
using test_support::Stall;

class StartTest : public DriverTest {
protected:
    std::size_t DriverPool() { return verifier().OutstandingAllocations(LORV_POOL_TAG); }
};

test_support::Descriptors BridgeWithEndpoints(std::size_t count) {
    std::vector<test_support::EndpointSpec> endpoints{{0x01, USB_ENDPOINT_TYPE_BULK, 64},
                                                      {0x82, USB_ENDPOINT_TYPE_BULK, 64}};
    for (std::size_t i = 2; i < count; ++i) {
        endpoints.push_back({static_cast<std::uint8_t>(0x81 + i), USB_ENDPOINT_TYPE_INTERRUPT, 8, 10});
    }
    endpoints.resize(count);
    return test_support::MakeDescriptors(0x1234, 0x5678, {{0, 0, 0x07, 1, 2, {}}, {0, 2, 0x07, 1, 2, endpoints}});
}

TEST_F(StartTest, ReadsDescriptorsThenSelectsInterfaceZeroAlternateTwo) {
    ASSERT_EQ(Connect(), STATUS_SUCCESS);
    ClearLog();
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    std::vector<Bytes> traffic = ControlTraffic();
    ASSERT_GE(traffic.size(), 3u);
    EXPECT_EQ(traffic[0], (Bytes{0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 0x12, 0x00}));
    EXPECT_EQ(traffic[1], (Bytes{0x80, 0x06, 0x00, 0x02, 0x00, 0x00, 0x09, 0x00}));
    EXPECT_EQ(traffic[2], (Bytes{0x80, 0x06, 0x00, 0x02, 0x00, 0x00, 0x27, 0x00}));
    EXPECT_NE(device_->configuration(), 0);
    EXPECT_EQ(device_->alternateSetting(0), 2);

    for (const char* line : {"enter _Device::ApiStartDevice\n", "call to lower stack device first\n", "bLength         = 18\n",
                             "bDescriptorType = 1\n", "bNumConfigs     = 1\n", "bDescriptorType = 2\n",
                             "wTotalLength    = 39\n", "cbRead = 18\n", "cbRead = 9\n", "cbRead = 39\n",
                             "leave _Device::ReadDescriptors succ\n", "leave _Device::SelectConfiguration succ\n",
                             "leave _Device::ApiStartDevice succ\n"}) {
        EXPECT_TRUE(Logged(line)) << line;
    }
    // _Device, both descriptors and the selection block stay until removal.
    EXPECT_EQ(DriverPool(), 4u);
    EXPECT_TRUE(IrpCountSettlesAt(1));
}

// Whatever the bridge gets wrong, the start fails cleanly: nothing read past what arrived
// (the sanitizers watch), the descriptors freed, the device left for removal.
TEST_F(StartTest, DescriptorsSentWrongFailTheStart) {
    test_support::Descriptors good = test_support::BridgeDescriptors();
    Bytes lowTotal = Bytes(good.configuration.begin(), good.configuration.begin() + 9);
    lowTotal[2] = 5;
    Bytes longTotal = good.configuration;
    longTotal[2] = static_cast<std::uint8_t>(good.configuration.size() + 20);
    Bytes changingTotal = good.configuration;
    changingTotal[2] = 200;  // the second read claims more than the first

    struct Case {
        const char* what;
        std::vector<Bytes> replies;  // the three GET_DESCRIPTOR answers, in order
        NTSTATUS status;
    };
    const Case cases[] = {
        {"device descriptor of 17 bytes", {Bytes(good.device.begin(), good.device.end() - 1)}, STATUS_DEVICE_DATA_ERROR},
        {"configuration header of 8 bytes",
         {good.device, Bytes(good.configuration.begin(), good.configuration.begin() + 8)},
         STATUS_DEVICE_DATA_ERROR},
        {"wTotalLength 5", {good.device, lowTotal}, STATUS_DEVICE_DATA_ERROR},
        {"fewer bytes than wTotalLength", {good.device, longTotal, longTotal}, STATUS_DEVICE_DATA_ERROR},
        {"wTotalLength changes", {good.device, good.configuration, changingTotal}, STATUS_DEVICE_DATA_ERROR},
        {"device descriptor stalls", {}, STATUS_UNSUCCESSFUL},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(Connect(), STATUS_SUCCESS);
        for (const Bytes& reply : c.replies) {
            device_->OnControl(0x80, 6, Answer(reply));
        }
        if (c.replies.empty()) {
            device_->OnControl(0x80, 6, Stall());
        }
        NTSTATUS status = Start();
        EXPECT_TRUE(NT_ERROR(status));
        if (c.status != STATUS_UNSUCCESSFUL) {
            EXPECT_EQ(status, c.status);
        }
        EXPECT_EQ(DriverPool(), 1u);  // only _Device: both descriptors are gone
        EXPECT_FALSE(Logged("enter _Device::SelectConfiguration\n"));
        ClearLog();
        Unplug();
        EXPECT_TRUE(Logged("DecIrpCount 1->0\n"));
        EXPECT_FALSE(Logged("cleanup UsbDeviceDescriptor\n"));
        EXPECT_EQ(DriverPool(), 0u);
    }
}

TEST_F(StartTest, AFailedSelectionKeepsTheDescriptorsUntilRemoval) {
    // No alternate setting 2 at all.
    test_support::Descriptors noAlt2 = test_support::MakeDescriptors(
        0x1234, 0x5678, {{0, 0, 0x07, 1, 2, {{0x01, USB_ENDPOINT_TYPE_BULK, 64}, {0x82, USB_ENDPOINT_TYPE_BULK, 64}}}});
    ASSERT_EQ(Connect(noAlt2), STATUS_SUCCESS);
    EXPECT_EQ(Start(), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(Logged("specified interface/altsetting not found\n"));
    EXPECT_EQ(DriverPool(), 3u);
    Unplug();

    // The bridge refuses the configuration.
    ASSERT_EQ(Connect(), STATUS_SUCCESS);
    device_->OnControl(0x00, 9, Stall());
    EXPECT_TRUE(NT_ERROR(Start()));
    EXPECT_EQ(DriverPool(), 3u);
    ClearLog();
    Unplug();
    EXPECT_TRUE(Logged("cleanup UsbDeviceDescriptor\n"));
    EXPECT_TRUE(Logged("cleanup UsbConfigurationDescriptor\n"));
    EXPECT_FALSE(Logged("cleanup UrbSelectConfiguration\n"));
}

// Every allocation of the start fails in turn; each failure frees what came before it.
TEST_F(StartTest, EachAllocationFailureOfTheStart) {
    struct Case {
        const char* line;
        std::size_t poolAfter;  // "Wdm " blocks left after the failed start
    };
    const Case cases[] = {
        {"allocate Urb fail\n", 1},
        {"allocate USB_DEVICE_DESCRIPTOR fail\n", 1},
        {"allocate UsbConfigurationDescriptor fail\n", 1},
        {"allocate UsbConfigurationDescriptor at 2nd time fail\n", 1},
        {"allocate urb fail\n", 3},
    };
    for (unsigned n = 1; n <= std::size(cases); ++n) {
        const Case& c = cases[n - 1];
        SCOPED_TRACE(c.line);
        ASSERT_EQ(Connect(), STATUS_SUCCESS);
        ClearLog();
        verifier().FailNthAllocation(n);
        EXPECT_EQ(Start(), STATUS_NO_MEMORY);
        verifier().StopFailingAllocations();
        EXPECT_TRUE(Logged(c.line));
        EXPECT_TRUE(Logged("leave _Device::ApiStartDevice with C0000017\n"));
        EXPECT_EQ(DriverPool(), c.poolAfter);
        Unplug();
        EXPECT_EQ(DriverPool(), 0u);
    }
}

// A device that never started refuses bridge requests and sends nothing.
TEST_F(StartTest, RequestsBeforeAStartAreRefused) {
    ASSERT_EQ(Connect(), STATUS_SUCCESS);
    file_ = Open();
    ASSERT_NE(file_, nullptr);
    ClearTraffic();
    EXPECT_EQ(Ioctl(IOCTL_BRIDGE_SET_REG, {2, 4}, 0).status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(Ioctl(IOCTL_BRIDGE_GET_REG, {2}, 1).status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(Ioctl(IOCTL_BRIDGE_SOFT_RESET, {}, 0).status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(Ioctl(IOCTL_BRIDGE_ABORT_PIPE, {1}, 0).status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(Ioctl(IOCTL_BRIDGE_GET_DEVICE_ID, {}, 16).status, STATUS_INVALID_DEVICE_REQUEST);
    Bytes buffer(64);
    EXPECT_EQ(Read(buffer).status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(Write(buffer).status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_TRUE(Logged("device not started\n"));
    EXPECT_TRUE(device_->Records().empty());
    EXPECT_TRUE(IrpCountSettlesAt(2));
}

// Pipes past the transfer-size table, and pipes the interface lacks.
TEST_F(StartTest, InterfacesWithManyOrFewPipes) {
    ASSERT_EQ(Plug(BridgeWithEndpoints(6)), STATUS_SUCCESS);
    device_->OnIn(kBulkIn, Answer(Bytes(128, 0x11)));
    Bytes buffer(128);
    EXPECT_EQ(Read(buffer).status, STATUS_SUCCESS);
    Unplug();

    ASSERT_EQ(Plug(BridgeWithEndpoints(1)), STATUS_SUCCESS);
    EXPECT_EQ(Read(buffer).status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(Ioctl(IOCTL_BRIDGE_ABORT_PIPE, {1}, 0).status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(Write(buffer).status, STATUS_SUCCESS);
    Unplug();

    // No endpoints: the chosen interface descriptor is the configuration's last nine bytes.
    ASSERT_EQ(Plug(BridgeWithEndpoints(0)), STATUS_SUCCESS);
    EXPECT_EQ(device_->alternateSetting(0), 2);
}

}  // namespace
}  // namespace driver_test
