// The camera behind the real bus driver and lorvusb: it starts, its descriptor faults fail
// the start as they should, and register requests from user mode reach the bridge.
#include <gtest/gtest.h>

#include <windows.h>
#include <winioctl.h>

#include "control_interface.h"
#include "debug_log.h"
#include "machine.h"
#include "simulator/camera.h"

extern "C" NTSTATUS DriverEntry(_DRIVER_OBJECT* driver, _UNICODE_STRING* registryPath);

namespace {

class BusTest : public ::testing::Test {
protected:
    void Plug(simulator::CameraOptions options = {}) {
        ASSERT_EQ(machine_.LoadDriver(L"lorvusb", DriverEntry), STATUS_SUCCESS);
        camera_ = std::make_unique<simulator::Camera>(machine_.clock(), std::move(options));
        id_ = machine_.Plug(camera_->usbDevice());
    }
    void TearDown() override { machine_.Shutdown(); }

    platform::Machine machine_;
    std::unique_ptr<simulator::Camera> camera_;
    platform::Machine::DeviceId id_ = 0;
};

TEST_F(BusTest, StartsAndServesRegisterRequests) {
    Plug();
    ASSERT_EQ(machine_.StartStatus(id_), STATUS_SUCCESS);
    const std::string log = machine_.log().Text(platform::kernel::DebugLog::Source::Kernel);
    EXPECT_NE(log.find("idVendor        = 0x4C56"), std::string::npos);

    HANDLE device = CreateFileA(LORV_DEVICE_PATH, GENERIC_READ | GENERIC_WRITE, 3, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    DWORD bytes = 0;
    const UCHAR set[2] = {2, 0xCC};
    EXPECT_TRUE(DeviceIoControl(device, IOCTL_BRIDGE_SET_REG, (LPVOID)set, 2, nullptr, 0, &bytes, nullptr));
    for (auto [index, expected] : {std::pair<UCHAR, UCHAR>{2, 0xCC}, {1, 0xD8}, {6, 0x01}}) {
        UCHAR value = index;
        EXPECT_TRUE(DeviceIoControl(device, IOCTL_BRIDGE_GET_REG, &value, 1, &value, 1, &bytes, nullptr));
        EXPECT_EQ(bytes, 1u);
        EXPECT_EQ(value, expected) << int(index);
    }
    EXPECT_EQ(camera_->probe().bridgeRegisters().control, 0xCC);
    CloseHandle(device);
}

TEST_F(BusTest, ABridgeWithoutAlternateSettingTwoFailsToStart) {
    simulator::CameraOptions options;
    options.descriptorFault = simulator::DescriptorFault::NoAlternateSetting2;
    Plug(options);
    EXPECT_EQ(machine_.StartStatus(id_), STATUS_UNSUCCESSFUL);
}

}  // namespace
