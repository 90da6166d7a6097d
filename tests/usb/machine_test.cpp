// The machine's life: boot, load, plug, unplug, removal and shutdown with its leak checks.
#include "usb_test_driver.h"

#include "kernel.h"

namespace usb_test {
namespace {

using namespace std::chrono_literals;
using Minors = std::vector<UCHAR>;

class MachineTest : public ::testing::Test {
protected:
    void SetUp() override {
        testDriver = TestDriverState{};
        device = std::make_shared<test_support::ScriptedUsbDevice>(machine.clock());
    }

    platform::Machine machine;
    std::shared_ptr<test_support::ScriptedUsbDevice> device;
};

TEST_F(MachineTest, PlugStartsTheDriverAndUnplugRemovesItBySurprise) {
    ASSERT_EQ(machine.LoadDriver(L"usbtest", TestDriverEntry), STATUS_SUCCESS);
    auto id = machine.Plug(device);
    EXPECT_EQ(machine.StartStatus(id), STATUS_SUCCESS);
    EXPECT_EQ(testDriver.pnpMinors, Minors{IRP_MN_START_DEVICE});
    ASSERT_NE(testDriver.fdo, nullptr);

    machine.Unplug(id);
    EXPECT_TRUE(machine.WaitRemoved(id));
    EXPECT_EQ(testDriver.pnpMinors, (Minors{IRP_MN_START_DEVICE, IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE}));
    EXPECT_EQ(testDriver.fdo, nullptr);
    machine.Shutdown();  // nothing left: the verifier stays quiet
}

TEST_F(MachineTest, ShutdownRemovesTheDevicesStillPlugged) {
    ASSERT_EQ(machine.LoadDriver(L"usbtest", TestDriverEntry), STATUS_SUCCESS);
    machine.Plug(device);
    machine.Shutdown();
    EXPECT_EQ(testDriver.pnpMinors, (Minors{IRP_MN_START_DEVICE, IRP_MN_REMOVE_DEVICE}));
    EXPECT_EQ(testDriver.fdo, nullptr);
}

TEST_F(MachineTest, RemovalWaitsUntilTheDriverLetsGo) {
    ASSERT_EQ(machine.LoadDriver(L"usbtest", TestDriverEntry), STATUS_SUCCESS);
    KEVENT gate;
    KeInitializeEvent(&gate, NotificationEvent, FALSE);
    testDriver.removeGate = &gate;
    auto id = machine.Plug(device);

    auto start = machine.clock().Now();
    machine.Unplug(id);
    EXPECT_FALSE(machine.WaitRemoved(id, 100ms));
    EXPECT_EQ(machine.clock().Now() - start, 100ms);
    EXPECT_NE(testDriver.fdo, nullptr);

    KeSetEvent(&gate, IO_NO_INCREMENT, FALSE);
    EXPECT_TRUE(machine.WaitRemoved(id));
    EXPECT_EQ(testDriver.fdo, nullptr);
}

TEST_F(MachineTest, DeviceThatFailsToStartIsRemovedAgain) {
    ASSERT_EQ(machine.LoadDriver(L"usbtest", TestDriverEntry), STATUS_SUCCESS);
    testDriver.failStart = STATUS_DEVICE_DATA_ERROR;
    auto id = machine.Plug(device);
    EXPECT_EQ(machine.StartStatus(id), STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(testDriver.pnpMinors, (Minors{IRP_MN_START_DEVICE, IRP_MN_REMOVE_DEVICE}));
    EXPECT_EQ(testDriver.fdo, nullptr);
    machine.Unplug(id);
    EXPECT_TRUE(machine.WaitRemoved(id));
}

TEST_F(MachineTest, DeviceWithoutADriverStaysUnserved) {
    auto id = machine.Plug(device);
    EXPECT_EQ(machine.StartStatus(id), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(machine.StartStatus(id + 1), STATUS_NO_SUCH_DEVICE);
    machine.Unplug(id);
    EXPECT_TRUE(machine.WaitRemoved(id));
}

NTSTATUS NTAPI LeakingDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path) {
    ExAllocatePoolWithTag(NonPagedPool, 24, 0x6B61654C);  // "Leak"
    return TestDriverEntry(driver, path);
}

TEST(MachineDeathTest, ShutdownNamesPoolADriverLeaked) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            platform::Machine machine;
            machine.LoadDriver(L"leaky", LeakingDriverEntry);
            machine.Shutdown();
        },
        "VERIFIER: .*Leak");
}

}  // namespace
}  // namespace usb_test
