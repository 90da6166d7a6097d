// Entry, add-device, the hold count, removal and the PnP and power requests.
#include "driver_fixture.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace driver_test {
namespace {

using namespace std::chrono_literals;

std::string Hex8(const void* pointer) {
    char text[16];
    std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(pointer)));
    return text;
}

class PnpTest : public DriverTest {};

TEST_F(PnpTest, EntryRegistersTheDriverAndLogsItsRegistryPath) {
    EXPECT_EQ(driverObject_->MajorFunction[IRP_MJ_CREATE], Driver_Dispatch);
    EXPECT_EQ(driverObject_->MajorFunction[IRP_MJ_PNP], Driver_Dispatch);
    EXPECT_EQ(driverObject_->MajorFunction[IRP_MJ_POWER], Driver_Dispatch);
    EXPECT_EQ(driverObject_->DriverExtension->AddDevice, Driver_AddDevice);
    std::vector<std::string> expected{
        "\n", "enter DriverEntry\n",
        "RegistryPath = \"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\lorvusb\"\n",
        "leave DriveEntry\n"};
    EXPECT_EQ(LogLines(), expected);
}

TEST_F(PnpTest, AddDeviceHoldsTheDeviceOnceAndEachHandleOnce) {
    ClearLog();
    ASSERT_EQ(Connect(), STATUS_SUCCESS);
    PDEVICE_OBJECT device = DriverDevice();
    EXPECT_NE(device, pdo_);
    EXPECT_EQ(device->Flags & (DO_DIRECT_IO | DO_DEVICE_INITIALIZING), ULONG{DO_DIRECT_IO});
    EXPECT_EQ(device->DeviceType, ULONG{FILE_DEVICE_UNKNOWN});
    EXPECT_TRUE(IrpCountSettlesAt(1));
    EXPECT_TRUE(Logged("PhysicalDeviceObject = " + Hex8(pdo_) + "\n"));
    EXPECT_TRUE(Logged("StackDeviceObject    = " + Hex8(pdo_) + "\n"));
    EXPECT_TRUE(Logged("created DeviceObject = " + Hex8(device) + "\n"));
    EXPECT_TRUE(Logged("leave AddDevice with succ\n"));

    ASSERT_EQ(Start(), STATUS_SUCCESS);
    file_ = Open();
    FileObject* second = Open();
    EXPECT_TRUE(IrpCountSettlesAt(3));
    Close(second);
    Close(file_);
    EXPECT_TRUE(IrpCountSettlesAt(1));
}

TEST_F(PnpTest, RemovalWaitsForTheLastHandle) {
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    platform::kernel::RemovalTicket removal = kernel().RequestRemoval(pdo_, false);
    EXPECT_FALSE(removal.Wait(1000ms));
    EXPECT_TRUE(Attached());
    EXPECT_TRUE(IrpCountSettlesAt(1));  // only the handle is left
    EXPECT_FALSE(Logged("wait RemoveEvent succ\n"));

    // A handle opened now would outlive the device: the I/O manager refuses it before it can
    // race the removal inside the driver, and the count stays.
    FileObject* late = nullptr;
    EXPECT_EQ(platform::kernel::OpenFile(kernel(), LORV_DEVICE_PATH, &late), STATUS_DELETE_PENDING);
    EXPECT_EQ(late, nullptr);
    EXPECT_FALSE(Logged("device is being removed\n"));
    EXPECT_TRUE(IrpCountSettlesAt(1));

    Close(file_);
    EXPECT_TRUE(removal.Wait());
    EXPECT_FALSE(Attached());
    EXPECT_TRUE(Logged("DecIrpCount 1->0\n"));
    for (const char* line : {"RemoveDevice\n", "wait RemoveEvent succ\n", "pass remove request to lower device\n",
                             "cleanup UsbDeviceDescriptor\n", "cleanup UsbConfigurationDescriptor\n",
                             "cleanup UrbSelectConfiguration\n", "leave RemoveDevice\n"}) {
        EXPECT_TRUE(Logged(line)) << line;
    }
    FileObject* file = nullptr;
    EXPECT_NE(platform::kernel::OpenFile(kernel(), LORV_DEVICE_PATH, &file), STATUS_SUCCESS);  // link gone
    machine_->bus().DeletePdo(pdo_);
    pdo_ = nullptr;
}

// A pulled cable fails the outstanding read; the removal then waits only for the handle.
TEST_F(PnpTest, SurpriseRemovalUnderAnOutstandingRead) {
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    Bytes buffer(640);
    PendingIo read = StartRead(buffer);
    EXPECT_TRUE(IrpCountSettlesAt(3));
    machine_->bus().Disconnect(pdo_);
    platform::kernel::RemovalTicket removal = kernel().RequestRemoval(pdo_, true);
    IoResult result = read.Wait();
    EXPECT_EQ(result.status, STATUS_UNSUCCESSFUL);
    EXPECT_FALSE(removal.Wait(100ms));
    Close(file_);
    EXPECT_TRUE(removal.Wait());
    EXPECT_TRUE(Logged("DispatchPnp(17)\n"));  // IRP_MN_SURPRISE_REMOVAL goes down
    machine_->bus().DeletePdo(pdo_);
    pdo_ = nullptr;
}

TEST_F(PnpTest, StopIsRefusedOtherRequestsGoToTheBus) {
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    EXPECT_EQ(kernel().SendSystemRequest(pdo_, IRP_MJ_PNP, IRP_MN_QUERY_STOP_DEVICE), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(Logged("QueryStopDevice\n"));
    EXPECT_TRUE(Logged("fail request!\n"));
    EXPECT_EQ(kernel().SendSystemRequest(pdo_, IRP_MJ_PNP, IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_TRUE(Logged("CancelStopDevice\n"));
    EXPECT_TRUE(Logged("succ request!\n"));
    EXPECT_FALSE(Logged("DispatchPnp(5)\n"));
    EXPECT_FALSE(Logged("DispatchPnp(6)\n"));

    kernel().SendSystemRequest(pdo_, IRP_MJ_POWER, IRP_MN_QUERY_POWER);
    EXPECT_TRUE(Logged("Dispatch(16)(3)\n"));
    EXPECT_EQ(kernel().SendSystemRequest(pdo_, IRP_MJ_PNP, IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_TRUE(Logged("PNP\n"));
    EXPECT_TRUE(Logged("DispatchPnp(1)\n"));
    // Neither stop request reaches the bus; the others do.
    const std::vector<std::uint8_t> atBus = machine_->bus().PnpMinorsSeen(pdo_);
    EXPECT_EQ(std::count(atBus.begin(), atBus.end(), IRP_MN_QUERY_STOP_DEVICE), 0);
    EXPECT_EQ(std::count(atBus.begin(), atBus.end(), IRP_MN_CANCEL_STOP_DEVICE), 0);
    EXPECT_EQ(std::count(atBus.begin(), atBus.end(), IRP_MN_QUERY_REMOVE_DEVICE), 1);
    EXPECT_TRUE(IrpCountSettlesAt(2));
}

// Each failure of add-device undoes what it did: no device object, no link, no attachment.
TEST_F(PnpTest, AddDeviceFailuresLeaveNothingBehind) {
    UNICODE_STRING link;
    UNICODE_STRING target;
    RtlInitUnicodeString(&link, LORV_DEVICE_LINK);
    RtlInitUnicodeString(&target, L"\\Device\\Elsewhere");
    ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    ClearLog();
    NTSTATUS status = Connect();
    EXPECT_EQ(status, STATUS_OBJECT_NAME_COLLISION);
    EXPECT_TRUE(Logged("IoCreateSymbolicLink fail\n"));
    EXPECT_TRUE(Logged("leave AddDevice with C0000035\n"));
    EXPECT_FALSE(Attached());
    IoDeleteSymbolicLink(&link);

    kernel().FailNextAttach();
    ClearLog();
    EXPECT_EQ(Driver_AddDevice(driverObject_, pdo_), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(Logged("IoAttachDeviceToDeviceStack fail\n"));
    EXPECT_TRUE(Logged("leave AddDevice with INSUFFICIENT_RESOURCE\n"));

    verifier().FailAllocationsWithTag(LORV_POOL_TAG);
    ClearLog();
    EXPECT_EQ(Driver_AddDevice(driverObject_, pdo_), STATUS_INSUFFICIENT_RESOURCES);
    verifier().StopFailingAllocations();
    EXPECT_TRUE(Logged("new _Device fail\n"));
    EXPECT_TRUE(Logged("detach just attached device object\n"));
    EXPECT_FALSE(Attached());

    // Had any step left its device name or link behind, this would collide.
    EXPECT_EQ(Driver_AddDevice(driverObject_, pdo_), STATUS_SUCCESS);
    EXPECT_TRUE(IrpCountSettlesAt(1));
}

}  // namespace
}  // namespace driver_test
