// lorvusb: the driver's globals, the device extension, the entry routines and the log.
#pragma once

#include <wdm.h>
#include <usb.h>
#include <usbdi.h>
#include <usbdlib.h>
#include <usbioctl.h>

#include "control_interface.h"

class _Device;

extern const char szDriverName[];
extern WCHAR deviceName[];
extern WCHAR deviceLink[];

// Allocated by IoCreateDevice together with the device object.
struct DeviceExtension {
    PDEVICE_OBJECT PhysicalDeviceObject;
    PDEVICE_OBJECT StackDeviceObject;
    _Device* pDevice;
    LONG volatile IrpCount;  // holds: the device, each open handle, each request inside the driver
    KEVENT RemoveEvent;      // set when IrpCount falls to 0
    LONG volatile fRemoving; // removal has begun: no new handles
};

inline DeviceExtension* GetDeviceExtension(PDEVICE_OBJECT pDeviceObject) {
    return static_cast<DeviceExtension*>(pDeviceObject->DeviceExtension);
}

extern "C" {
DRIVER_INITIALIZE DriverEntry;
DRIVER_ADD_DEVICE Driver_AddDevice;
DRIVER_DISPATCH Driver_Dispatch;
DRIVER_UNLOAD Driver_Unload;
}

void Driver_IncIrpCount(PDEVICE_OBJECT pDeviceObject);
void Driver_DecIrpCount(PDEVICE_OBJECT pDeviceObject);

// Removal is routed from Driver_Dispatch; it drops the request's hold itself.
NTSTATUS Driver_RemoveDevice(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);

// Completion routines (Request_* belong to request objects, Device_* to the device start).
IO_COMPLETION_ROUTINE Request_CompleteWithSetEvent;
IO_COMPLETION_ROUTINE Device_CompleteWithSetEvent;
IO_COMPLETION_ROUTINE Request_CompleteWithCompleteRequest;

// Severity "error": both top bits set. Warnings and informational values do not fail.
inline bool IsFailure(NTSTATUS status) {
    return (static_cast<ULONG>(status) >> 30) == 3;
}

// Every log line is the prefix, then the message, as two DbgPrint calls.
#define LORV_LOG(...)              \
    do {                           \
        DbgPrint(szDriverName);    \
        DbgPrint(__VA_ARGS__);     \
    } while (0)

// "%08X" of a pointer: its low 32 bits on 64-bit builds.
#define LORV_PTR(p) static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(p))

// Pool memory of the driver: non-paged, tag "Wdm ".
#define LORV_POOL_TAG 0x206D6457UL
PVOID Driver_Allocate(SIZE_T cb);
void Driver_Free(PVOID p);

// Pool-backed new/delete for the driver's classes; a failed allocation yields null.
#define LORV_POOL_OBJECT                                                                 \
    static void* operator new(decltype(sizeof(0)) cb) noexcept { return Driver_Allocate(cb); } \
    static void operator delete(void* p) noexcept { Driver_Free(p); }
