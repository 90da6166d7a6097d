// _Device: the per-bridge object. Its Api* operations are reached only through Driver_Dispatch,
// which has taken the request's hold; each operation (or its completion path) drops it.
#pragma once

#include "driver.h"

class _UsbRequest;

// Largest transfer size given to pipe i of the selected interface; pipes past the table get 0.
#define MAXIMUM_TRANSFER_SIZE_COUNT 4
extern const ULONG MaximumTransferSizes[MAXIMUM_TRANSFER_SIZE_COUNT];

// Pipes of the selected interface by position.
#define PIPE_BULK_OUT 0
#define PIPE_BULK_IN 1

class _Device {
public:
    LORV_POOL_OBJECT

    explicit _Device(PDEVICE_OBJECT pDeviceObject);
    ~_Device() {}  // RemoveDevice frees what start allocated

    // Open, close and removal (pnp.cpp).
    NTSTATUS ApiCreate(PIRP pIrp);
    NTSTATUS ApiClose(PIRP pIrp);
    NTSTATUS RemoveDevice(PIRP pIrp);

    // Control requests (control.cpp).
    NTSTATUS ApiSetReg(PIRP pIrp);
    NTSTATUS ApiGetReg(PIRP pIrp);
    NTSTATUS ApiSoftReset(PIRP pIrp);
    NTSTATUS ApiAbortPipe(PIRP pIrp);
    NTSTATUS ApiQueryPipeResult(PIRP pIrp);
    NTSTATUS ApiGetDeviceID(PIRP pIrp);

    // Bulk transfers (read_write.cpp).
    NTSTATUS ApiRead(PIRP pIrp);
    NTSTATUS ApiWrite(PIRP pIrp);

    // Device start (start.cpp). The start request carries all USB traffic of the start.
    NTSTATUS ApiStartDevice(PIRP pIrp);
    NTSTATUS ReadDescriptors(PIRP pIrp);
    NTSTATUS SelectConfiguration(PIRP pIrp, UCHAR bInterfaceNumber, UCHAR bAlternateSetting);
    NTSTATUS CallLowerSync(PIRP pIrp);

    static void PrepareBypass(PIRP pIrp);
    static void SubmitUrb(PIRP pIrp, PURB pUrb);
    static void ParseIoctlParam(PIRP pIrp, PIOCTL_PARAM pParam);
    static void ParseReadParam(PIRP pIrp, PRW_PARAM pParam);

    // Handle of pipe iPipe of the selected interface; null before start or when it has no such pipe.
    USBD_PIPE_HANDLE PipeHandle(ULONG iPipe) const;

    // A bulk transfer on pipe iPipe ended in a stall: the pipe stays halted until it is reset.
    // Called from completion routines.
    void NotePipeHalted(LONG iPipe);

    PDEVICE_OBJECT DeviceObject() const { return pDeviceObject; }
    PDEVICE_OBJECT StackDevice() const { return StackDeviceObject; }

private:
    // The reads of ReadDescriptors, on its request object; each leaves its field empty on failure.
    NTSTATUS ReadDeviceDescriptor(_UsbRequest& request);
    NTSTATUS ReadConfigurationDescriptor(_UsbRequest& request);
    // Completes a request refused before submission: byte count 0, hold dropped, failure line.
    NTSTATUS Refuse(PIRP pIrp, NTSTATUS status, const char* szFailureLine);
    // Bridge requests need the configuration that start selects (and pipes need to exist in it).
    bool IsStarted() const { return InterfaceInfo != nullptr; }
    NTSTATUS RefuseNotReady(PIRP pIrp, const char* szFailureLine);
    // Binds a handler's new request object (null when its allocation failed) to this device and
    // the caller's request and gives it its request block. On failure the object is deleted, the
    // caller's request refused, and the refusal status returned.
    NTSTATUS AttachRequest(_UsbRequest* pRC, PIRP pIrp, const char* szFailureLine);
    // Hands a prepared object down; from then on the completion routine owns it.
    NTSTATUS SubmitPending(_UsbRequest* pRC, const char* szSuccessLine, const char* szFailureLine);
    NTSTATUS DoBulkTransfer(PIRP pIrp, bool fRead);
    // Resets the halted bulk pipes with the bus driver's reset-pipe request, on pIrp.
    void ResetHaltedPipes(PIRP pIrp);

    PDRIVER_OBJECT pDriverObject;
    PDEVICE_OBJECT pDeviceObject;
    PDEVICE_OBJECT PhysicalDeviceObject;
    PDEVICE_OBJECT StackDeviceObject;
    PUSB_DEVICE_DESCRIPTOR UsbDeviceDescriptor;
    PUSB_CONFIGURATION_DESCRIPTOR UsbConfigurationDescriptor;
    PURB UrbSelectConfiguration;
    PUSBD_INTERFACE_INFORMATION InterfaceInfo;
    LONG volatile PipeHalted[PIPE_BULK_IN + 1];
};

// Descriptor dumps of the device start (descriptor_dump.cpp).
void KdPrintUsbDeviceDescriptor(const USB_DEVICE_DESCRIPTOR* pDescriptor);
void KdPrintUsbConfigurationDescriptor(const USB_CONFIGURATION_DESCRIPTOR* pDescriptor);
