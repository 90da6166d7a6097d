// Descriptor requests, configuration selection and control requests as the device sees them.
#include "usb_test_driver.h"

namespace usb_test {
namespace {

using platform::usb::SetupPacket;
using test_support::Bytes;

Bytes Wire(const SetupPacket& s) {
    return {s.bmRequestType,
            s.bRequest,
            static_cast<std::uint8_t>(s.wValue),
            static_cast<std::uint8_t>(s.wValue >> 8),
            static_cast<std::uint8_t>(s.wIndex),
            static_cast<std::uint8_t>(s.wIndex >> 8),
            static_cast<std::uint8_t>(s.wLength),
            static_cast<std::uint8_t>(s.wLength >> 8)};
}

class ConfigurationTest : public BusTest {};

TEST_F(ConfigurationTest, DescriptorRequestsGoOutAsGetDescriptorAndReportTheBytesReceived) {
    UrbBuffer buffer(sizeof(URB));
    Bytes deviceDescriptor(18), header(9), whole(64);
    UsbBuildGetDescriptorRequest(buffer.urb(), sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, deviceDescriptor.data(), nullptr, 18, nullptr);
    Submission(testDriver.lower, buffer.urb()).Wait();
    EXPECT_EQ(buffer.urb()->UrbHeader.Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(deviceDescriptor, test_support::BridgeDescriptors().device);

    UsbBuildGetDescriptorRequest(buffer.urb(), sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, header.data(), nullptr, 9, nullptr);
    Submission(testDriver.lower, buffer.urb()).Wait();
    EXPECT_EQ(header[2] | header[3] << 8, 39);

    // Asking for more than the configuration holds: the device's 39 bytes, reported as such.
    UsbBuildGetDescriptorRequest(buffer.urb(), sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, whole.data(), nullptr, 64, nullptr);
    Submission(testDriver.lower, buffer.urb()).Wait();
    EXPECT_EQ(buffer.urb()->UrbControlDescriptorRequest.TransferBufferLength, 39u);

    auto setups = device->SetupPackets();
    ASSERT_EQ(setups.size(), 3u);
    EXPECT_EQ(Wire(setups[0]), (Bytes{0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 0x12, 0x00}));
    EXPECT_EQ(Wire(setups[1]), (Bytes{0x80, 0x06, 0x00, 0x02, 0x00, 0x00, 0x09, 0x00}));
    EXPECT_EQ(Wire(setups[2]), (Bytes{0x80, 0x06, 0x00, 0x02, 0x00, 0x00, 0x40, 0x00}));
}

TEST_F(ConfigurationTest, SelectConfigurationConfiguresTheDeviceAndFillsEveryPipe) {
    PUSBD_INTERFACE_INFORMATION interface = Configure();
    PURB urb = select->urb();
    EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_SUCCESS);
    EXPECT_NE(urb->UrbSelectConfiguration.ConfigurationHandle, nullptr);
    EXPECT_NE(interface->InterfaceHandle, nullptr);
    EXPECT_EQ(interface->Class, 0x07);
    ASSERT_EQ(interface->NumberOfPipes, 3u);

    const USBD_PIPE_INFORMATION* pipes = interface->Pipes;
    EXPECT_EQ(pipes[0].EndpointAddress, 0x01);
    EXPECT_EQ(pipes[0].PipeType, UsbdPipeTypeBulk);
    EXPECT_EQ(pipes[0].MaximumPacketSize, 64);
    EXPECT_EQ(pipes[1].EndpointAddress, 0x82);
    EXPECT_EQ(pipes[2].EndpointAddress, 0x83);
    EXPECT_EQ(pipes[2].PipeType, UsbdPipeTypeInterrupt);
    EXPECT_EQ(pipes[2].Interval, 1);
    EXPECT_EQ(pipes[2].MaximumTransferSize, 4u);  // the caller's, kept
    EXPECT_NE(pipes[0].PipeHandle, pipes[1].PipeHandle);
    EXPECT_NE(pipes[1].PipeHandle, pipes[2].PipeHandle);

    auto setups = device->SetupPackets();
    ASSERT_EQ(setups.size(), 2u);
    EXPECT_EQ(Wire(setups[0]), (Bytes{0x00, 0x09, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(Wire(setups[1]), (Bytes{0x01, 0x0B, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(device->configuration(), 1);
    EXPECT_EQ(device->alternateSetting(0), 2);
}

TEST_F(ConfigurationTest, BadSelectionBlocksAreRefusedBeforeTheDeviceHearsOfThem) {
    configuration = test_support::BridgeDescriptors().configuration;
    auto* descriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(configuration.data());
    auto attempt = [&](UCHAR alternate, std::size_t bytes, USHORT interfaceLength) {
        UrbBuffer buffer(bytes);
        UsbBuildSelectConfigurationRequest(buffer.urb(), static_cast<USHORT>(bytes), descriptor);
        buffer.urb()->UrbSelectConfiguration.Interface.Length = interfaceLength;
        buffer.urb()->UrbSelectConfiguration.Interface.AlternateSetting = alternate;
        Submission submission(testDriver.lower, buffer.urb());
        submission.Wait();
        EXPECT_EQ(submission.status(), STATUS_INVALID_PARAMETER);
        return buffer.urb()->UrbHeader.Status;
    };
    const std::size_t full = GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, 3);
    EXPECT_EQ(attempt(1, full, GET_USBD_INTERFACE_SIZE(3)), USBD_STATUS_INTERFACE_NOT_FOUND);
    // Room for one pipe only: the bus would write two entries past the block.
    EXPECT_EQ(attempt(2, GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, 1), GET_USBD_INTERFACE_SIZE(1)),
              USBD_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(attempt(2, full, GET_USBD_INTERFACE_SIZE(1)), USBD_STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(device->SetupPackets().empty());
}

TEST_F(ConfigurationTest, VendorAndClassRequestsCarryTheirRequestTypeAndDataStage) {
    UrbBuffer buffer(sizeof(URB));
    Submission(testDriver.lower, BuildVendor(buffer, URB_FUNCTION_VENDOR_DEVICE, false, 4, 0x07F8, 0, nullptr, 0))
        .Wait();
    EXPECT_EQ(buffer.urb()->UrbHeader.Status, USBD_STATUS_SUCCESS);

    device->OnControl(0xA1, 0x00, test_support::Answer(Bytes(20, 0x5A)));
    Bytes id(64);
    Submission read(testDriver.lower,
                    BuildVendor(buffer, URB_FUNCTION_CLASS_INTERFACE, true, 0, 0, 0x0002, id.data(), 64));
    read.Wait();
    EXPECT_EQ(read.status(), STATUS_SUCCESS);  // a short control read is no error
    EXPECT_EQ(buffer.urb()->UrbControlVendorClassRequest.TransferBufferLength, 20u);
    EXPECT_EQ(id[19], 0x5A);

    auto setups = device->SetupPackets();
    ASSERT_EQ(setups.size(), 2u);
    EXPECT_EQ(Wire(setups[0]), (Bytes{0x40, 0x04, 0xF8, 0x07, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(Wire(setups[1]), (Bytes{0xA1, 0x00, 0x00, 0x00, 0x02, 0x00, 0x40, 0x00}));
}

TEST_F(ConfigurationTest, ControlStallsAndUnknownFunctionsFail) {
    UrbBuffer buffer(sizeof(URB));
    device->OnControl(0xC0, 0x03, test_support::Stall());
    Bytes reply(6);
    Submission stalled(testDriver.lower,
                       BuildVendor(buffer, URB_FUNCTION_VENDOR_DEVICE, true, 3, 0x0200, 0, reply.data(), 6));
    stalled.Wait();
    EXPECT_EQ(stalled.status(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(buffer.urb()->UrbHeader.Status, USBD_STATUS_STALL_PID);

    buffer.urb()->UrbHeader.Function = URB_FUNCTION_ISOCH_TRANSFER;
    Submission unknown(testDriver.lower, buffer.urb());
    unknown.Wait();
    EXPECT_EQ(unknown.status(), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(buffer.urb()->UrbHeader.Status, USBD_STATUS_INVALID_URB_FUNCTION);

    // A block shorter than its structure is not read past its end.
    BuildVendor(buffer, URB_FUNCTION_VENDOR_DEVICE, false, 4, 0, 0, nullptr, 0);
    buffer.urb()->UrbHeader.Length = sizeof(struct _URB_HEADER);
    Submission tooShort(testDriver.lower, buffer.urb());
    tooShort.Wait();
    EXPECT_EQ(tooShort.status(), STATUS_INVALID_PARAMETER);
}

TEST_F(ConfigurationTest, PortResetUnconfiguresTheDeviceAndClosesItsPipes) {
    Configure();
    ASSERT_EQ(device->configuration(), 1);
    auto internalRequest = [&](ULONG code, PVOID argument) {
        KEVENT done;
        IO_STATUS_BLOCK status{};
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        PIRP irp = IoBuildDeviceIoControlRequest(code, testDriver.lower, nullptr, 0, nullptr, 0, TRUE, &done, &status);
        IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = argument;
        if (IoCallDriver(testDriver.lower, irp) == STATUS_PENDING)
            KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        return status.Status;
    };
    ULONG portStatus = 0;
    EXPECT_EQ(internalRequest(IOCTL_INTERNAL_USB_GET_PORT_STATUS, &portStatus), STATUS_SUCCESS);
    EXPECT_EQ(portStatus, ULONG(USBD_PORT_ENABLED | USBD_PORT_CONNECTED));

    EXPECT_EQ(internalRequest(IOCTL_INTERNAL_USB_RESET_PORT, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(device->configuration(), 0);
    EXPECT_EQ(device->Count(test_support::ScriptedUsbDevice::Record::Kind::Reset), 1u);
    UrbBuffer buffer(sizeof(URB));
    Bytes data(1);
    Submission stale(testDriver.lower, BuildBulk(buffer, pipeOut, data.data(), 1, 0));
    stale.Wait();
    EXPECT_EQ(buffer.urb()->UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
}

TEST(UsbdLibrary, ParseConfigurationDescriptorFindsTheSettingAndStopsAtBrokenLists) {
    Bytes configuration = test_support::MakeDescriptors(1, 2, {{.number = 0, .alternateSetting = 0},
                                                                {.number = 0, .alternateSetting = 2}})
                              .configuration;
    auto* descriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(configuration.data());
    PUSB_INTERFACE_DESCRIPTOR found = USBD_ParseConfigurationDescriptor(descriptor, 0, 2);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(reinterpret_cast<std::uint8_t*>(found) - configuration.data(), 18);
    EXPECT_EQ(USBD_ParseConfigurationDescriptor(descriptor, 0, 1), nullptr);

    configuration[9] = 0;  // a zero bLength before the wanted interface
    EXPECT_EQ(USBD_ParseConfigurationDescriptor(descriptor, 0, 2), nullptr);
    configuration[9] = 9;
    configuration[2] = 20;  // wTotalLength cuts the second interface off
    EXPECT_EQ(USBD_ParseConfigurationDescriptor(descriptor, 0, 2), nullptr);
}

}  // namespace
}  // namespace usb_test
