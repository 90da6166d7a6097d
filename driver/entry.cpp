// Driver entry, add-device, the dispatch routine and the hold count.
#include "device.h"

const char szDriverName[] = "LORVLINK: ";
WCHAR deviceName[] = LORV_DEVICE_NAME;
WCHAR deviceLink[] = LORV_DEVICE_LINK;

PVOID Driver_Allocate(SIZE_T cb) { return ExAllocatePoolWithTag(NonPagedPool, cb, LORV_POOL_TAG); }

void Driver_Free(PVOID p) {
    if (p != nullptr) {
        ExFreePool(p);
    }
}

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT pDriverObject, PUNICODE_STRING pRegistryPath) {
    LORV_LOG("\n");
    LORV_LOG("enter DriverEntry\n");

    ANSI_STRING registryPath;
    if (NT_SUCCESS(RtlUnicodeStringToAnsiString(&registryPath, pRegistryPath, TRUE))) {
        LORV_LOG("RegistryPath = \"%s\"\n", registryPath.Buffer);
        RtlFreeAnsiString(&registryPath);
    }

    pDriverObject->MajorFunction[IRP_MJ_CREATE] = Driver_Dispatch;
    pDriverObject->MajorFunction[IRP_MJ_CLOSE] = Driver_Dispatch;
    pDriverObject->MajorFunction[IRP_MJ_READ] = Driver_Dispatch;
    pDriverObject->MajorFunction[IRP_MJ_WRITE] = Driver_Dispatch;
    pDriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = Driver_Dispatch;
    pDriverObject->MajorFunction[IRP_MJ_POWER] = Driver_Dispatch;
    pDriverObject->MajorFunction[IRP_MJ_PNP] = Driver_Dispatch;
    pDriverObject->DriverUnload = Driver_Unload;
    pDriverObject->DriverExtension->AddDevice = Driver_AddDevice;

    LORV_LOG("leave DriveEntry\n");
    return STATUS_SUCCESS;
}

// Every device is gone by now: removal tore it down.
extern "C" VOID NTAPI Driver_Unload(PDRIVER_OBJECT pDriverObject) {
    UNREFERENCED_PARAMETER(pDriverObject);
    LORV_LOG("enter Unload\n");
    LORV_LOG("leave Unload\n");
}

extern "C" NTSTATUS NTAPI Driver_AddDevice(PDRIVER_OBJECT pDriverObject, PDEVICE_OBJECT pPhysicalDeviceObject) {
    LORV_LOG("\n");
    LORV_LOG("enter AddDevice\n");

    UNICODE_STRING name;
    UNICODE_STRING link;
    RtlInitUnicodeString(&name, deviceName);
    RtlInitUnicodeString(&link, deviceLink);

    PDEVICE_OBJECT pDeviceObject = nullptr;
    NTSTATUS status = IoCreateDevice(pDriverObject, sizeof(DeviceExtension), &name, FILE_DEVICE_UNKNOWN, 0,
                                     FALSE, &pDeviceObject);
    if (IsFailure(status)) {
        LORV_LOG("IoCreateDevice fail\n");
        LORV_LOG("leave AddDevice with %08X\n", status);
        return status;
    }

    status = IoCreateSymbolicLink(&link, &name);
    if (IsFailure(status)) {
        LORV_LOG("IoCreateSymbolicLink fail\n");
        LORV_LOG("delete just created device object\n");
        IoDeleteDevice(pDeviceObject);
        LORV_LOG("leave AddDevice with %08X\n", status);
        return status;
    }

    pDeviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
    pDeviceObject->Flags |= DO_DIRECT_IO;

    DeviceExtension* pExt = GetDeviceExtension(pDeviceObject);
    pExt->PhysicalDeviceObject = pPhysicalDeviceObject;
    pExt->StackDeviceObject = IoAttachDeviceToDeviceStack(pDeviceObject, pPhysicalDeviceObject);
    if (pExt->StackDeviceObject == nullptr) {
        LORV_LOG("IoAttachDeviceToDeviceStack fail\n");
        LORV_LOG("delete just created device object\n");
        IoDeleteSymbolicLink(&link);
        IoDeleteDevice(pDeviceObject);
        LORV_LOG("leave AddDevice with INSUFFICIENT_RESOURCE\n");
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    _Device* pDevice = new _Device(pDeviceObject);
    if (pDevice == nullptr) {
        LORV_LOG("new _Device fail\n");
        LORV_LOG("detach just attached device object\n");
        IoDetachDevice(pExt->StackDeviceObject);
        LORV_LOG("delete just created device object\n");
        IoDeleteSymbolicLink(&link);
        IoDeleteDevice(pDeviceObject);
        LORV_LOG("leave AddDevice with INSUFFICIENT_RESOURCE\n");
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    KeInitializeEvent(&pExt->RemoveEvent, NotificationEvent, FALSE);
    pExt->fRemoving = FALSE;
    pExt->IrpCount = 0;
    Driver_IncIrpCount(pDeviceObject);  // the device's own hold, dropped only by removal
    pExt->pDevice = pDevice;

    LORV_LOG("PhysicalDeviceObject = %08X\n", LORV_PTR(pExt->PhysicalDeviceObject));
    LORV_LOG("StackDeviceObject    = %08X\n", LORV_PTR(pExt->StackDeviceObject));
    LORV_LOG("created DeviceObject = %08X\n", LORV_PTR(pDeviceObject));
    LORV_LOG("leave AddDevice with succ\n");
    return STATUS_SUCCESS;
}

void Driver_IncIrpCount(PDEVICE_OBJECT pDeviceObject) {
    DeviceExtension* pExt = GetDeviceExtension(pDeviceObject);
    // The value before is derived from the interlocked result: a separate read races with
    // the other threads' changes.
    LONG lAfter = InterlockedIncrement(&pExt->IrpCount);
    LORV_LOG("IncIrpCount %d->%d\n", lAfter - 1, lAfter);
}

void Driver_DecIrpCount(PDEVICE_OBJECT pDeviceObject) {
    DeviceExtension* pExt = GetDeviceExtension(pDeviceObject);
    LONG lAfter = InterlockedDecrement(&pExt->IrpCount);
    if (lAfter == 0) {
        // Removal may delete the device object as soon as the event is set.
        KeSetEvent(&pExt->RemoveEvent, IO_NO_INCREMENT, FALSE);
    }
    LORV_LOG("DecIrpCount %d->%d\n", lAfter + 1, lAfter);
}

namespace {

// Skip our stack location: the lower driver sees the same parameters.
NTSTATUS PassDown(PDEVICE_OBJECT pDeviceObject, PIRP pIrp) {
    IoSkipCurrentIrpStackLocation(pIrp);
    return IoCallDriver(GetDeviceExtension(pDeviceObject)->StackDeviceObject, pIrp);
}

NTSTATUS CompleteAtOnce(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, NTSTATUS status) {
    pIrp->IoStatus.Status = status;
    IoCompleteRequest(pIrp, IO_NO_INCREMENT);
    Driver_DecIrpCount(pDeviceObject);
    return status;
}

NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT pDeviceObject, _Device* pDevice, PIRP pIrp) {
    switch (IoGetCurrentIrpStackLocation(pIrp)->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_BRIDGE_SET_REG:
        return pDevice->ApiSetReg(pIrp);
    case IOCTL_BRIDGE_GET_REG:
        return pDevice->ApiGetReg(pIrp);
    case IOCTL_BRIDGE_SOFT_RESET:
        return pDevice->ApiSoftReset(pIrp);
    case IOCTL_BRIDGE_ABORT_PIPE:
        return pDevice->ApiAbortPipe(pIrp);
    case IOCTL_BRIDGE_QUERY_PIPE_RESULT:
        return pDevice->ApiQueryPipeResult(pIrp);
    case IOCTL_BRIDGE_GET_DEVICE_ID:
        return pDevice->ApiGetDeviceID(pIrp);
    default:
        pIrp->IoStatus.Information = 0;
        return CompleteAtOnce(pDeviceObject, pIrp, STATUS_UNSUCCESSFUL);
    }
}

NTSTATUS DispatchPnp(PDEVICE_OBJECT pDeviceObject, _Device* pDevice, PIRP pIrp) {
    LORV_LOG("PNP\n");
    NTSTATUS status;
    UCHAR bMinor = IoGetCurrentIrpStackLocation(pIrp)->MinorFunction;
    switch (bMinor) {
    case IRP_MN_START_DEVICE:
        status = pDevice->ApiStartDevice(pIrp);
        Driver_DecIrpCount(pDeviceObject);
        return status;
    case IRP_MN_REMOVE_DEVICE:
        return Driver_RemoveDevice(pDeviceObject, pIrp);
    case IRP_MN_QUERY_STOP_DEVICE:
        // Never stopped for rebalancing: there is no stopped state to come back from.
        LORV_LOG("QueryStopDevice\n");
        LORV_LOG("fail request!\n");
        return CompleteAtOnce(pDeviceObject, pIrp, STATUS_UNSUCCESSFUL);
    case IRP_MN_CANCEL_STOP_DEVICE:
        LORV_LOG("CancelStopDevice\n");
        LORV_LOG("succ request!\n");
        return CompleteAtOnce(pDeviceObject, pIrp, STATUS_SUCCESS);
    default:
        LORV_LOG("DispatchPnp(%X)\n", bMinor);
        status = PassDown(pDeviceObject, pIrp);
        Driver_DecIrpCount(pDeviceObject);
        return status;
    }
}

}  // namespace

extern "C" NTSTATUS NTAPI Driver_Dispatch(PDEVICE_OBJECT pDeviceObject, PIRP pIrp) {
    LORV_LOG("\n");
    LORV_LOG("enter Dispatch\n");

    DeviceExtension* pExt = GetDeviceExtension(pDeviceObject);
    _Device* pDevice = pExt->pDevice;
    if (pDevice == nullptr) {
        // The device is reachable by name before add-device has finished; no holds exist yet.
        pIrp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
        pIrp->IoStatus.Information = 0;
        IoCompleteRequest(pIrp, IO_NO_INCREMENT);
        return STATUS_INVALID_DEVICE_REQUEST;
    }

    Driver_IncIrpCount(pDeviceObject);
    NTSTATUS status;
    PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(pIrp);
    switch (pStack->MajorFunction) {
    case IRP_MJ_CREATE:
        if (pExt->fRemoving) {
            // A handle opened now would outlive the device object that removal deletes.
            LORV_LOG("device is being removed\n");
            return CompleteAtOnce(pDeviceObject, pIrp, STATUS_DELETE_PENDING);
        }
        status = pDevice->ApiCreate(pIrp);
        Driver_DecIrpCount(pDeviceObject);
        return status;
    case IRP_MJ_CLOSE:
        status = pDevice->ApiClose(pIrp);
        Driver_DecIrpCount(pDeviceObject);
        return status;
    case IRP_MJ_READ:
        return pDevice->ApiRead(pIrp);
    case IRP_MJ_WRITE:
        return pDevice->ApiWrite(pIrp);
    case IRP_MJ_DEVICE_CONTROL:
        return DispatchDeviceControl(pDeviceObject, pDevice, pIrp);
    case IRP_MJ_PNP:
        return DispatchPnp(pDeviceObject, pDevice, pIrp);
    default:
        LORV_LOG("Dispatch(%X)(%X)\n", pStack->MajorFunction, pStack->MinorFunction);
        status = PassDown(pDeviceObject, pIrp);
        Driver_DecIrpCount(pDeviceObject);
        return status;
    }
}
