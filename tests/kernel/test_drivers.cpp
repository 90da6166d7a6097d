#include "test_drivers.h"

namespace kernel_test {

namespace {

struct FdoExtension {
    PDEVICE_OBJECT lower;
    LONG holds;  // 1 for the device itself, 1 per open handle
    KEVENT removeEvent;
};

TestWorld g_world;

void Drop(FdoExtension* ext) {
    if (InterlockedDecrement(&ext->holds) == 0) KeSetEvent(&ext->removeEvent, IO_NO_INCREMENT, FALSE);
}

NTSTATUS CompleteNow(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS Hold(std::deque<PIRP>& queue, PIRP irp, bool markPending) {
    if (markPending) IoMarkIrpPending(irp);
    {
        std::lock_guard lock(g_world.clock->mutex());
        queue.push_back(irp);
    }
    g_world.clock->NotifyAll();
    return STATUS_PENDING;
}

NTSTATUS PassDown(FdoExtension* ext, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(ext->lower, irp);
}

// ---- bus driver

NTSTATUS BusDispatch(PDEVICE_OBJECT device, PIRP irp) {
    UNREFERENCED_PARAMETER(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MajorFunction) {
    case IRP_MJ_READ:
    case IRP_MJ_WRITE:
    case IRP_MJ_DEVICE_CONTROL:
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        return Hold(g_world.busHeld, irp, true);
    case IRP_MJ_PNP:
        if (stack->MinorFunction == IRP_MN_START_DEVICE ||
            stack->MinorFunction == IRP_MN_REMOVE_DEVICE ||
            stack->MinorFunction == IRP_MN_SURPRISE_REMOVAL) {
            return CompleteNow(irp, STATUS_SUCCESS, 0);
        }
        return CompleteNow(irp, irp->IoStatus.Status, irp->IoStatus.Information);
    default:
        return CompleteNow(irp, STATUS_SUCCESS, 0);
    }
}

// ---- function driver

NTSTATUS SetEventOnCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    UNREFERENCED_PARAMETER(device);
    UNREFERENCED_PARAMETER(irp);
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS ReadDone(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    UNREFERENCED_PARAMETER(device);
    UNREFERENCED_PARAMETER(context);
    if (irp->PendingReturned) IoMarkIrpPending(irp);
    return STATUS_SUCCESS;
}

NTSTATUS KeepTheIrp(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    UNREFERENCED_PARAMETER(device);
    UNREFERENCED_PARAMETER(irp);
    UNREFERENCED_PARAMETER(context);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS ForgetThePendingMark(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    UNREFERENCED_PARAMETER(device);
    UNREFERENCED_PARAMETER(irp);
    UNREFERENCED_PARAMETER(context);
    return STATUS_SUCCESS;
}

NTSTATUS StartDevice(FdoExtension* ext, PIRP irp) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SetEventOnCompletion, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(ext->lower, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    NTSTATUS status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS RemoveDevice(PDEVICE_OBJECT device, FdoExtension* ext, PIRP irp) {
    Drop(ext);  // the device's own hold; handles keep theirs until they close
    KeWaitForSingleObject(&ext->removeEvent, Executive, KernelMode, FALSE, nullptr);
    NTSTATUS status = PassDown(ext, irp);
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, L"\\DosDevices\\KTEST0");
    IoDeleteSymbolicLink(&link);
    IoDetachDevice(ext->lower);
    IoDeleteDevice(device);
    g_world.fdo = nullptr;
    return status;
}

NTSTATUS CommitFault(PDEVICE_OBJECT device, FdoExtension* ext, PIRP irp, Fault fault) {
    switch (fault) {
    case Fault::CompleteTwice:
        CompleteNow(irp, STATUS_SUCCESS, 0);
        return CompleteNow(irp, STATUS_SUCCESS, 0);
    case Fault::CompleteWhileLowerOwns:
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoCallDriver(ext->lower, irp);  // the bus holds it
        return CompleteNow(irp, STATUS_SUCCESS, 0);
    case Fault::PendingWithoutMark:
        return Hold(g_world.fdoHeld, irp, false);
    case Fault::PendingPassedDownWithoutMark:
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, ForgetThePendingMark, nullptr, TRUE, TRUE, TRUE);
        return IoCallDriver(ext->lower, irp);
    case Fault::StackOverrun:
        IoSetNextIrpStackLocation(irp);  // uses up the bus driver's location
        return IoCallDriver(ext->lower, irp);
    case Fault::FreeTwice: {
        PVOID block = ExAllocatePoolWithTag(NonPagedPool, 16, kPoolTag);
        ExFreePool(block);
        ExFreePool(block);
        break;
    }
    case Fault::FreeForeign: {
        static char notPool[16];
        ExFreePool(notPool);
        break;
    }
    case Fault::FreeWithWrongTag:
        ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPool, 16, kPoolTag), 0x206D6457);
        break;
    case Fault::LeakPoolAtUnload:
        g_world.leakedPool = ExAllocatePoolWithTag(NonPagedPool, 24, kPoolTag);
        break;
    case Fault::LeakIrpAtRemoval:
        return Hold(g_world.fdoHeld, irp, true);
    case Fault::UnbalancedReference:
        ObDereferenceObject(device);
        break;
    case Fault::MarkPendingReturnSuccess:
        IoMarkIrpPending(irp);
        return CompleteNow(irp, STATUS_SUCCESS, 0);
    case Fault::CompleteWithPending:
        return CompleteNow(irp, STATUS_PENDING, 0);
    case Fault::HaltAndForget: {
        PIRP own = IoAllocateIrp(ext->lower->StackSize, FALSE);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(own);
        next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
        IoSetCompletionRoutine(own, KeepTheIrp, nullptr, TRUE, TRUE, TRUE);
        IoCallDriver(ext->lower, own);  // the bus holds it
        break;
    }
    case Fault::None:
        break;
    }
    return CompleteNow(irp, STATUS_SUCCESS, 0);
}

NTSTATUS DeviceControl(PDEVICE_OBJECT device, FdoExtension* ext, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case kIoctlReverse:
        return Hold(g_world.fdoHeld, irp, true);
    case kIoctlFault:
        if (stack->Parameters.DeviceIoControl.InputBufferLength < 1)
            return CompleteNow(irp, STATUS_INVALID_PARAMETER, 0);
        return CommitFault(device, ext, irp,
                           static_cast<Fault>(*static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer)));
    default:
        return CompleteNow(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

NTSTATUS FdoDispatch(PDEVICE_OBJECT device, PIRP irp) {
    auto* ext = static_cast<FdoExtension*>(device->DeviceExtension);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MajorFunction) {
    case IRP_MJ_CREATE:
        InterlockedIncrement(&ext->holds);
        return CompleteNow(irp, STATUS_SUCCESS, 0);
    case IRP_MJ_CLEANUP:
        return CompleteNow(irp, STATUS_SUCCESS, 0);
    case IRP_MJ_CLOSE:
        CompleteNow(irp, STATUS_SUCCESS, 0);
        Drop(ext);
        return STATUS_SUCCESS;
    case IRP_MJ_READ:
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, ReadDone, nullptr, TRUE, TRUE, TRUE);
        IoMarkIrpPending(irp);
        IoCallDriver(ext->lower, irp);
        return STATUS_PENDING;
    case IRP_MJ_DEVICE_CONTROL:
        return DeviceControl(device, ext, irp);
    case IRP_MJ_PNP:
        if (stack->MinorFunction == IRP_MN_START_DEVICE) return StartDevice(ext, irp);
        if (stack->MinorFunction == IRP_MN_REMOVE_DEVICE) return RemoveDevice(device, ext, irp);
        return PassDown(ext, irp);
    default:
        return PassDown(ext, irp);
    }
}

NTSTATUS FdoAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    UNICODE_STRING name;
    UNICODE_STRING link;
    RtlInitUnicodeString(&name, L"\\Device\\KTEST0");
    RtlInitUnicodeString(&link, L"\\DosDevices\\KTEST0");
    PDEVICE_OBJECT device;
    NTSTATUS status = IoCreateDevice(driver, sizeof(FdoExtension), &name, FILE_DEVICE_UNKNOWN, 0,
                                     FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    status = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(device);
        return status;
    }
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    device->Flags |= DO_DIRECT_IO;
    auto* ext = static_cast<FdoExtension*>(device->DeviceExtension);
    ext->lower = IoAttachDeviceToDeviceStack(device, pdo);
    if (ext->lower == nullptr) {
        IoDeleteSymbolicLink(&link);
        IoDeleteDevice(device);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ext->holds = 1;
    KeInitializeEvent(&ext->removeEvent, NotificationEvent, FALSE);
    g_world.fdo = device;
    return STATUS_SUCCESS;
}

VOID FdoUnload(PDRIVER_OBJECT driver) { UNREFERENCED_PARAMETER(driver); }

}  // namespace

TestWorld& World() { return g_world; }

void Reset(platform::Clock& clock) {
    g_world = TestWorld{};
    g_world.clock = &clock;
}

NTSTATUS BusDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    UNREFERENCED_PARAMETER(registryPath);
    for (PDRIVER_DISPATCH& dispatch : driver->MajorFunction) dispatch = BusDispatch;
    g_world.busDriver = driver;
    return STATUS_SUCCESS;
}

NTSTATUS FunctionDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    ANSI_STRING path;
    if (NT_SUCCESS(RtlUnicodeStringToAnsiString(&path, registryPath, TRUE))) {
        DbgPrint("RegistryPath = \"%s\"\n", path.Buffer);
        RtlFreeAnsiString(&path);
    }
    for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE, IRP_MJ_READ,
                        IRP_MJ_DEVICE_CONTROL, IRP_MJ_PNP, IRP_MJ_POWER})
        driver->MajorFunction[major] = FdoDispatch;
    driver->DriverUnload = FdoUnload;
    driver->DriverExtension->AddDevice = FdoAddDevice;
    return STATUS_SUCCESS;
}

PDEVICE_OBJECT CreatePdo() {
    PDEVICE_OBJECT pdo = nullptr;
    IoCreateDevice(g_world.busDriver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &pdo);
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    pdo->Flags |= DO_BUS_ENUMERATED_DEVICE;
    return pdo;
}

PIRP TakeHeldIrp(std::deque<PIRP>& queue) {
    std::unique_lock lock(g_world.clock->mutex());
    g_world.clock->WaitUntil(lock, [&] { return !queue.empty(); }, std::nullopt);
    PIRP irp = queue.front();
    queue.pop_front();
    return irp;
}

}  // namespace kernel_test
