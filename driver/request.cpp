// The request objects: their buffers, their URB preparations and the two ways down.
#include "request.h"

#include "device.h"

namespace {

constexpr ULONG Larger(ULONG a, ULONG b) { return a > b ? a : b; }

// The three control-transfer structures start alike up to their buffer members.
template <typename T>
void SetTransferBuffer(T& request, PVOID pBuffer, PMDL pMdl, ULONG cbLength) {
    request.TransferBufferLength = cbLength;
    request.TransferBufferMDL = pMdl;
    request.TransferBuffer = pBuffer;
}

}  // namespace

ULONG UrbBlockSize() {
    constexpr ULONG cbLargest = Larger(
        Larger(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST)),
        Larger(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), sizeof(struct _URB_PIPE_REQUEST)));
    return Larger(96, cbLargest);
}

// ---- _Request ----

_Request::_Request() : pDevice(nullptr), StackDeviceObject(nullptr), pIrp(nullptr) {}

_Request::~_Request() {}

void _Request::OnPendingComplete() {}

void _Request::SetDevice(_Device* pDeviceIn) {
    pDevice = pDeviceIn;
    StackDeviceObject = pDeviceIn->StackDevice();
}

void _Request::SetIrp(PIRP pIrpIn) { pIrp = pIrpIn; }

NTSTATUS CallLowerAndWait(PDEVICE_OBJECT pStackDeviceObject, PIRP pIrp, PIO_COMPLETION_ROUTINE pfnCompletion) {
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    IoSetCompletionRoutine(pIrp, pfnCompletion, &event, TRUE, TRUE, TRUE);

    NTSTATUS status = IoCallDriver(pStackDeviceObject, pIrp);
    if (IsFailure(status)) {
        LORV_LOG("IoCallDriver fail\n");
        return status;
    }
    if (status == STATUS_PENDING) {
        LORV_LOG("IoCallDriver pending\n");
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = pIrp->IoStatus.Status;
        LORV_LOG("wait succ with %08X\n", status);
    }
    if (IsFailure(status)) {
        LORV_LOG("lower driver fail\n");
    }
    return status;
}

NTSTATUS _Request::CallLowerSync() { return CallLowerAndWait(StackDeviceObject, pIrp, Request_CompleteWithSetEvent); }

NTSTATUS _Request::CallLowerPending() {
    IoSetCompletionRoutine(pIrp, Request_CompleteWithCompleteRequest, this, TRUE, TRUE, TRUE);
    LORV_LOG("mark cur Irp pending\n");
    IoMarkIrpPending(pIrp);

    // From here the completion routine owns this object and the IRP; it may already have run.
    PDEVICE_OBJECT pStackDeviceObject = StackDeviceObject;
    PIRP pIrpDown = pIrp;
    NTSTATUS status = IoCallDriver(pStackDeviceObject, pIrpDown);
    if (IsFailure(status)) {
        LORV_LOG("IoCallDriver fail\n");
    } else if (status == STATUS_PENDING) {
        LORV_LOG("IoCallDriver pending\n");
    }
    return status;
}

// ---- _UsbRequest ----

_UsbRequest::_UsbRequest()
    : pUrb(nullptr), pMdl(nullptr), Buffer(nullptr), Length(0), OwnsUrb(FALSE), OwnsBuffer(FALSE), iPipe(-1) {}

_UsbRequest::~_UsbRequest() {
    CleanupUrb();
    CleanupBuffer();
}

NTSTATUS _UsbRequest::AllocateUrb(ULONG cbSize) {
    CleanupUrb();
    pUrb = static_cast<PURB>(Driver_Allocate(cbSize));
    if (pUrb == nullptr) {
        LORV_LOG("allocate Urb fail\n");
        return STATUS_NO_MEMORY;
    }
    // The preparations fill only their members; the rest (reserved, bus-driver fields) starts zero.
    RtlZeroMemory(pUrb, cbSize);
    OwnsUrb = TRUE;
    return STATUS_SUCCESS;
}

void _UsbRequest::CleanupUrb() {
    if (OwnsUrb && pUrb != nullptr) {
        Driver_Free(pUrb);
    }
    OwnsUrb = FALSE;
    pUrb = nullptr;
}

NTSTATUS _UsbRequest::AllocateBuffer(ULONG cbSize) {
    CleanupBuffer();
    Buffer = Driver_Allocate(cbSize);
    if (Buffer == nullptr) {
        LORV_LOG("allocate Buffer fail\n");
        return STATUS_NO_MEMORY;
    }
    OwnsBuffer = TRUE;
    Length = cbSize;
    LORV_LOG("Length = %d\n", Length);
    return STATUS_SUCCESS;
}

void _UsbRequest::CleanupBuffer() {
    if (OwnsBuffer && Buffer != nullptr) {
        Driver_Free(Buffer);
    }
    OwnsBuffer = FALSE;
    Buffer = nullptr;
    Length = 0;
    pMdl = nullptr;
}

void _UsbRequest::SetBuffer(PVOID pBuffer, ULONG cbLength) {
    CleanupBuffer();
    Buffer = pBuffer;
    Length = cbLength;
    LORV_LOG("Length = %d\n", Length);
}

void _UsbRequest::SetMdl(PMDL pMdlIn) {
    CleanupBuffer();
    pMdl = pMdlIn;
    Length = MmGetMdlByteCount(pMdlIn);
    LORV_LOG("Length = %d\n", Length);
}

void _UsbRequest::PrepareGetDescriptor(UCHAR bDescriptorType) {
    struct _URB_CONTROL_DESCRIPTOR_REQUEST& request = pUrb->UrbControlDescriptorRequest;
    request.Hdr.Length = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
    request.Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    SetTransferBuffer(request, Buffer, pMdl, Length);
    request.DescriptorType = bDescriptorType;
    request.Index = 0;
    request.LanguageId = 0;
    request.UrbLink = nullptr;
    SubmitUrb();
}

void _UsbRequest::PrepareGetDeviceDescriptor() { PrepareGetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE); }

void _UsbRequest::PrepareGetConfigurationDescriptor() { PrepareGetDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE); }

void _UsbRequest::PrepareVendorRequest(USHORT wFunction, ULONG ulTransferFlags, UCHAR bReservedBits,
                                       UCHAR bRequest, USHORT wValue, USHORT wIndex) {
    struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST& request = pUrb->UrbControlVendorClassRequest;
    request.Hdr.Length = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    request.Hdr.Function = wFunction;
    request.TransferFlags = ulTransferFlags;
    request.RequestTypeReservedBits = bReservedBits;
    request.Request = bRequest;
    request.Value = wValue;
    request.Index = wIndex;
    SetTransferBuffer(request, Buffer, pMdl, Length);
    request.UrbLink = nullptr;
    SubmitUrb();
}

void _UsbRequest::PrepareVendorOutRequest(USHORT wFunction, UCHAR bReservedBits, UCHAR bRequest, USHORT wValue,
                                          USHORT wIndex) {
    PrepareVendorRequest(wFunction, 0, bReservedBits, bRequest, wValue, wIndex);
}

void _UsbRequest::PrepareVendorInRequest(USHORT wFunction, UCHAR bReservedBits, UCHAR bRequest, USHORT wValue,
                                         USHORT wIndex) {
    PrepareVendorRequest(wFunction, USBD_TRANSFER_DIRECTION_IN, bReservedBits, bRequest, wValue, wIndex);
}

void _UsbRequest::PrepareBulkTransfer(ULONG iPipeIn, ULONG ulTransferFlags) {
    iPipe = static_cast<LONG>(iPipeIn);
    struct _URB_BULK_OR_INTERRUPT_TRANSFER& request = pUrb->UrbBulkOrInterruptTransfer;
    request.Hdr.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    request.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    request.PipeHandle = pDevice->PipeHandle(iPipeIn);
    request.TransferFlags = ulTransferFlags;
    SetTransferBuffer(request, Buffer, pMdl, Length);
    request.UrbLink = nullptr;
    SubmitUrb();
}

void _UsbRequest::PrepareBulkOutTransfer() { PrepareBulkTransfer(PIPE_BULK_OUT, 0); }

// Short transfers are not permitted: the caller asks for exactly what the bridge delivers.
void _UsbRequest::PrepareBulkInTransfer() { PrepareBulkTransfer(PIPE_BULK_IN, USBD_TRANSFER_DIRECTION_IN); }

void _UsbRequest::PrepareAbortPipe(LONG iPipeIn) {
    struct _URB_PIPE_REQUEST& request = pUrb->UrbPipeRequest;
    request.Hdr.Length = sizeof(struct _URB_PIPE_REQUEST);
    request.Hdr.Function = URB_FUNCTION_ABORT_PIPE;
    request.PipeHandle = pDevice->PipeHandle(static_cast<ULONG>(iPipeIn));
    SubmitUrb();
}

// Clears the halt on both sides: the bus driver's pipe and the bridge's endpoint.
void _UsbRequest::PrepareResetPipe(LONG iPipeIn) {
    struct _URB_PIPE_REQUEST& request = pUrb->UrbPipeRequest;
    request.Hdr.Length = sizeof(struct _URB_PIPE_REQUEST);
    request.Hdr.Function = URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
    request.PipeHandle = pDevice->PipeHandle(static_cast<ULONG>(iPipeIn));
    SubmitUrb();
}

void _UsbRequest::SubmitUrb() { _Device::SubmitUrb(pIrp, pUrb); }

// ---- completion of the pending style ----

void _UsbRequest::OnPendingComplete() {
    NTSTATUS irpStatus = pIrp->IoStatus.Status;
    USBD_STATUS urbStatus = pUrb->UrbHeader.Status;
    if (irpStatus < 0) {
        LORV_LOG("irp fail with %08X\n", irpStatus);
    } else {
        LORV_LOG("irp succ\n");
    }
    if (static_cast<LONG>(urbStatus) < 0) {
        LORV_LOG("urb fail with %08X\n", urbStatus);
    } else {
        LORV_LOG("urb succ\n");
    }
    if (irpStatus < 0 || static_cast<LONG>(urbStatus) < 0) {
        pIrp->IoStatus.Status = STATUS_UNSUCCESSFUL;
    }
}

namespace {

// Byte count := the bytes the bus driver moved (the block's TransferBufferLength).
void SetByteCountFromUrb(PIRP pIrp, PURB pUrb) {
    ULONG cbReturned = pUrb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    if (pUrb->UrbHeader.Function != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
        cbReturned = pUrb->UrbControlVendorClassRequest.TransferBufferLength;
    }
    pIrp->IoStatus.Information = cbReturned;
    LORV_LOG("cbReturned = %d\n", cbReturned);
}

}  // namespace

void _UsbBulkRequest::OnPendingComplete() {
    USBD_STATUS urbStatus = pUrb->UrbHeader.Status;
    if (urbStatus == USBD_STATUS_STALL_PID || urbStatus == USBD_STATUS_ENDPOINT_HALTED) {
        pDevice->NotePipeHalted(iPipe);
    }
    _UsbRequest::OnPendingComplete();
    SetByteCountFromUrb(pIrp, pUrb);
}

void _UsbVendorRequest::OnPendingComplete() {
    _UsbRequest::OnPendingComplete();
    SetByteCountFromUrb(pIrp, pUrb);
}

void _UsbVendorGetRegRequest::OnPendingComplete() {
    _UsbVendorRequest::OnPendingComplete();
    if (pIrp->IoStatus.Status < 0 || pIrp->IoStatus.Information != Length) {
        pIrp->IoStatus.Information = 0;
        return;
    }
    UCHAR bValue = static_cast<PUCHAR>(Buffer)[RegToMapLookup[bRegIdx]];
    *pResult = bValue;
    LORV_LOG("GetReg(%d) = 0x%02X\n", bRegIdx, bValue);
    pIrp->IoStatus.Information = 1;
}
