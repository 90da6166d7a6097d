// The device object's life: construction, open and close, and the removal sequence.
#include "device.h"

_Device::_Device(PDEVICE_OBJECT pDeviceObjectIn)
    : pDriverObject(pDeviceObjectIn->DriverObject),
      pDeviceObject(pDeviceObjectIn),
      PhysicalDeviceObject(GetDeviceExtension(pDeviceObjectIn)->PhysicalDeviceObject),
      StackDeviceObject(GetDeviceExtension(pDeviceObjectIn)->StackDeviceObject),
      UsbDeviceDescriptor(nullptr),
      UsbConfigurationDescriptor(nullptr),
      UrbSelectConfiguration(nullptr),
      InterfaceInfo(nullptr),
      PipeHalted{0, 0} {}

// Each open handle holds the device, so removal waits until it is closed.
NTSTATUS _Device::ApiCreate(PIRP pIrp) {
    LORV_LOG("enter _Device::ApiCreate\n");
    Driver_IncIrpCount(pDeviceObject);
    pIrp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(pIrp, IO_NO_INCREMENT);
    LORV_LOG("leave _Device::ApiCreate\n");
    return STATUS_SUCCESS;
}

NTSTATUS _Device::ApiClose(PIRP pIrp) {
    LORV_LOG("enter _Device::ApiClose\n");
    Driver_DecIrpCount(pDeviceObject);
    pIrp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(pIrp, IO_NO_INCREMENT);
    LORV_LOG("leave _Device::ApiClose\n");
    return STATUS_SUCCESS;
}

NTSTATUS _Device::RemoveDevice(PIRP pIrp) {
    UNREFERENCED_PARAMETER(pIrp);
    if (UsbDeviceDescriptor != nullptr) {
        LORV_LOG("cleanup UsbDeviceDescriptor\n");
        Driver_Free(UsbDeviceDescriptor);
        UsbDeviceDescriptor = nullptr;
    }
    if (UsbConfigurationDescriptor != nullptr) {
        LORV_LOG("cleanup UsbConfigurationDescriptor\n");
        Driver_Free(UsbConfigurationDescriptor);
        UsbConfigurationDescriptor = nullptr;
    }
    if (UrbSelectConfiguration != nullptr) {
        LORV_LOG("cleanup UrbSelectConfiguration\n");
        Driver_Free(UrbSelectConfiguration);
        UrbSelectConfiguration = nullptr;
    }
    InterfaceInfo = nullptr;
    return STATUS_SUCCESS;
}

// IRP_MN_REMOVE_DEVICE: waits, in the removal's thread, until no handle is open and no request
// is inside the driver, then tears the device down whatever the lower driver reports.
NTSTATUS Driver_RemoveDevice(PDEVICE_OBJECT pDeviceObject, PIRP pIrp) {
    DeviceExtension* pExt = GetDeviceExtension(pDeviceObject);
    LORV_LOG("RemoveDevice\n");
    InterlockedExchange(&pExt->fRemoving, TRUE);  // before the holds drop, so a late open sees it

    Driver_DecIrpCount(pDeviceObject);  // the removal request's own hold
    Driver_DecIrpCount(pDeviceObject);  // the device's own hold
    IoMarkIrpPending(pIrp);

    NTSTATUS status = KeWaitForSingleObject(&pExt->RemoveEvent, Executive, KernelMode, FALSE, nullptr);
    if (NT_SUCCESS(status)) {
        LORV_LOG("wait RemoveEvent succ\n");
    }

    LORV_LOG("pass remove request to lower device\n");
    PDEVICE_OBJECT pStackDeviceObject = pExt->StackDeviceObject;
    // A copy, not a skip: a skip would hand the lower driver this location with its pending
    // mark, and the lower driver's own status would contradict it.
    IoCopyCurrentIrpStackLocationToNext(pIrp);
    IoCallDriver(pStackDeviceObject, pIrp);

    _Device* pDevice = pExt->pDevice;
    pDevice->RemoveDevice(pIrp);
    pExt->pDevice = nullptr;
    delete pDevice;

    UNICODE_STRING link;
    RtlInitUnicodeString(&link, deviceLink);
    if (IsFailure(IoDeleteSymbolicLink(&link))) {
        LORV_LOG("IoDeleteSymbolicLink fail, but still going\n");
    }

    IoDetachDevice(pStackDeviceObject);
    IoDeleteDevice(pDeviceObject);

    LORV_LOG("leave RemoveDevice\n");
    // The pending mark promised it; the lower driver's completion carries the result.
    return STATUS_PENDING;
}
