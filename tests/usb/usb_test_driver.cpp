#include "usb_test_driver.h"

#include "kernel.h"

namespace usb_test {

TestDriverState testDriver;

namespace {

NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction == IRP_MJ_PNP) {
        testDriver.pnpMinors.push_back(stack->MinorFunction);
        if (stack->MinorFunction == IRP_MN_START_DEVICE && !NT_SUCCESS(testDriver.failStart)) {
            irp->IoStatus.Status = testDriver.failStart;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return testDriver.failStart;
        }
        if (stack->MinorFunction == IRP_MN_REMOVE_DEVICE) {
            if (testDriver.removeGate != nullptr)
                KeWaitForSingleObject(testDriver.removeGate, Executive, KernelMode, FALSE, nullptr);
            PDEVICE_OBJECT lower = testDriver.lower;
            IoSkipCurrentIrpStackLocation(irp);
            NTSTATUS status = IoCallDriver(lower, irp);
            IoDetachDevice(lower);
            IoDeleteDevice(device);
            testDriver.fdo = testDriver.lower = nullptr;
            return status;
        }
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(testDriver.lower, irp);
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT fdo = nullptr;
    NTSTATUS status = IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
    if (!NT_SUCCESS(status)) return status;
    testDriver.fdo = fdo;
    testDriver.lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS NTAPI TestDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (auto& dispatch : driver->MajorFunction) dispatch = Dispatch;
    driver->DriverExtension->AddDevice = AddDevice;
    return STATUS_SUCCESS;
}

Submission::Submission(PDEVICE_OBJECT target, void* urb) {
    KeInitializeEvent(&done_, NotificationEvent, FALSE);
    irp_ = IoAllocateIrp(target->StackSize, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp_);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb;
    IoSetCompletionRoutine(irp_, OnComplete, this, TRUE, TRUE, TRUE);
    dispatchStatus_ = IoCallDriver(target, irp_);
}

Submission::~Submission() {
    Wait();
    IoFreeIrp(irp_);
}

NTSTATUS NTAPI Submission::OnComplete(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* self = static_cast<Submission*>(context);
    self->status_ = irp->IoStatus.Status;
    self->completedAt_ = platform::kernel::Kernel::Current()->clock().Now();
    KeSetEvent(&self->done_, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

bool Submission::Wait(std::optional<platform::Clock::Duration> timeout) {
    LARGE_INTEGER relative;
    if (timeout) relative.QuadPart = -static_cast<LONGLONG>(timeout->count()) * 10;  // 100-ns units
    return KeWaitForSingleObject(&done_, Executive, KernelMode, FALSE, timeout ? &relative : nullptr) ==
           STATUS_SUCCESS;
}

bool Submission::completed() const { return KeReadStateEvent(const_cast<PKEVENT>(&done_)) != 0; }

void Submission::Cancel() { IoCancelIrp(irp_); }

PURB BuildBulk(UrbBuffer& buffer, USBD_PIPE_HANDLE pipe, void* data, ULONG length, ULONG flags) {
    PURB urb = buffer.urb();
    UsbBuildInterruptOrBulkTransferRequest(urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), pipe, data, nullptr,
                                           length, flags, nullptr);
    return urb;
}

PURB BuildVendor(UrbBuffer& buffer, USHORT function, bool in, UCHAR request, USHORT value, USHORT index, void* data,
                 ULONG length) {
    PURB urb = buffer.urb();
    UsbBuildVendorRequest(urb, function, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                          in ? USBD_TRANSFER_DIRECTION_IN : 0, 0, request, value, index, data, nullptr, length,
                          nullptr);
    return urb;
}

PURB BuildAbort(UrbBuffer& buffer, USBD_PIPE_HANDLE pipe) {
    PURB urb = buffer.urb();
    urb->UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
    urb->UrbHeader.Function = URB_FUNCTION_ABORT_PIPE;
    urb->UrbPipeRequest.PipeHandle = pipe;
    return urb;
}

void BusTest::SetUp() {
    testDriver = TestDriverState{};
    machine = std::make_unique<platform::Machine>();
    device = std::make_shared<test_support::ScriptedUsbDevice>(machine->clock());
    ASSERT_EQ(machine->LoadDriver(L"usbtest", TestDriverEntry), STATUS_SUCCESS);
    id = machine->Plug(device);
    ASSERT_EQ(machine->StartStatus(id), STATUS_SUCCESS);
}

void BusTest::TearDown() {
    machine->Shutdown();
    machine.reset();
}

PUSBD_INTERFACE_INFORMATION BusTest::Configure(std::vector<ULONG> maxTransfer) {
    configuration = test_support::BridgeDescriptors().configuration;
    auto* descriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(configuration.data());
    select = std::make_unique<UrbBuffer>(GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, 3));
    PURB urb = select->urb();
    UsbBuildSelectConfigurationRequest(urb, static_cast<USHORT>(select->size()), descriptor);
    PUSBD_INTERFACE_INFORMATION interface = &urb->UrbSelectConfiguration.Interface;
    interface->Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(3));
    interface->InterfaceNumber = 0;
    interface->AlternateSetting = 2;
    for (std::size_t i = 0; i < maxTransfer.size(); ++i) interface->Pipes[i].MaximumTransferSize = maxTransfer[i];
    Submission selection(testDriver.lower, urb);
    selection.Wait();
    EXPECT_EQ(selection.status(), STATUS_SUCCESS);
    pipeOut = interface->Pipes[0].PipeHandle;
    pipeIn = interface->Pipes[1].PipeHandle;
    return interface;
}

}  // namespace usb_test
