// The request objects: one I/O request driven down to the USB bus driver with one URB.
// Pending style: after CallLowerPending the completion routine owns the object and the IRP.
#pragma once

#include "driver.h"

class _Device;

// Every request object gets a block this large: the 32-bit figure (96) or, where the structures
// are larger (64-bit), the largest block the objects prepare.
ULONG UrbBlockSize();

// Sends pIrp down and waits for it; the IRP comes back uncompleted, for its owner to reuse.
NTSTATUS CallLowerAndWait(PDEVICE_OBJECT pStackDeviceObject, PIRP pIrp, PIO_COMPLETION_ROUTINE pfnCompletion);

class _Request {
public:
    LORV_POOL_OBJECT

    _Request();
    virtual ~_Request();
    virtual void OnPendingComplete();

    void SetDevice(_Device* pDeviceIn);
    void SetIrp(PIRP pIrpIn);
    NTSTATUS CallLowerSync();
    NTSTATUS CallLowerPending();

    _Device* pDevice;
    PDEVICE_OBJECT StackDeviceObject;
    PIRP pIrp;  // not owned
};

class _UsbRequest : public _Request {
public:
    _UsbRequest();
    ~_UsbRequest() override;
    void OnPendingComplete() override;

    NTSTATUS AllocateUrb(ULONG cbSize);
    void CleanupUrb();
    NTSTATUS AllocateBuffer(ULONG cbSize);
    void CleanupBuffer();
    void SetBuffer(PVOID pBuffer, ULONG cbLength);
    void SetMdl(PMDL pMdlIn);

    void PrepareGetDeviceDescriptor();
    void PrepareGetConfigurationDescriptor();
    void PrepareVendorOutRequest(USHORT wFunction, UCHAR bReservedBits, UCHAR bRequest, USHORT wValue,
                                 USHORT wIndex);
    void PrepareVendorInRequest(USHORT wFunction, UCHAR bReservedBits, UCHAR bRequest, USHORT wValue,
                                USHORT wIndex);
    void PrepareBulkOutTransfer();
    void PrepareBulkInTransfer();
    void PrepareAbortPipe(LONG iPipe);
    void PrepareResetPipe(LONG iPipe);
    void SubmitUrb();

    PURB pUrb;
    PMDL pMdl;
    PVOID Buffer;
    ULONG Length;
    BOOLEAN OwnsUrb;
    BOOLEAN OwnsBuffer;
    LONG iPipe;  // of a bulk transfer; -1 otherwise

private:
    void PrepareGetDescriptor(UCHAR bDescriptorType);
    void PrepareVendorRequest(USHORT wFunction, ULONG ulTransferFlags, UCHAR bReservedBits, UCHAR bRequest,
                              USHORT wValue, USHORT wIndex);
    void PrepareBulkTransfer(ULONG iPipe, ULONG ulTransferFlags);
};

// Byte count := bytes moved, on failure as well.
class _UsbBulkRequest : public _UsbRequest {
public:
    void OnPendingComplete() override;
};

class _UsbVendorRequest : public _UsbRequest {
public:
    void OnPendingComplete() override;
};

// Picks the register out of the bridge's snapshot into the caller's output byte.
class _UsbVendorGetRegRequest : public _UsbVendorRequest {
public:
    _UsbVendorGetRegRequest() : pResult(nullptr), bRegIdx(0) {}
    void OnPendingComplete() override;

    PUCHAR pResult;
    UCHAR bRegIdx;
};
