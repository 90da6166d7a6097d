// The control requests: register write and read, soft reset, pipe abort, the reserved code and
// the IEEE 1284 device identification. Each becomes exactly one USB request to the bridge.
#include "device.h"
#include "request.h"

namespace {

// Bridge vendor requests and printer-class requests.
constexpr UCHAR VENDOR_GET_REGISTERS = 3;
constexpr UCHAR VENDOR_SET_REGISTER = 4;
constexpr UCHAR PRINTER_GET_DEVICE_ID = 0;
constexpr UCHAR PRINTER_SOFT_RESET = 2;
// Interface 0 in the high byte, alternate setting 2 in the low byte.
constexpr USHORT PRINTER_INTERFACE_INDEX = 0x0002;

constexpr ULONG MAX_CONTROL_TRANSFER = 0xFFFF;

constexpr UCHAR REGISTER_ECP_COMMAND = 5;
constexpr UCHAR REGISTER_WITH_LONG_SNAPSHOT = 8;

}  // namespace

void _Device::ParseIoctlParam(PIRP pIrp, PIOCTL_PARAM pParam) {
    PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(pIrp);
    pParam->Buffer = pIrp->AssociatedIrp.SystemBuffer;
    pParam->InputLength = pStack->Parameters.DeviceIoControl.InputBufferLength;
    pParam->OutputLength = pStack->Parameters.DeviceIoControl.OutputBufferLength;
    pParam->pMdl = pIrp->MdlAddress;
}

NTSTATUS _Device::Refuse(PIRP pIrp, NTSTATUS status, const char* szFailureLine) {
    pIrp->IoStatus.Information = 0;
    pIrp->IoStatus.Status = status;
    IoCompleteRequest(pIrp, IO_NO_INCREMENT);
    Driver_DecIrpCount(pDeviceObject);
    LORV_LOG(szFailureLine, status);
    return status;
}

NTSTATUS _Device::RefuseNotReady(PIRP pIrp, const char* szFailureLine) {
    LORV_LOG("device not started\n");
    return Refuse(pIrp, STATUS_INVALID_DEVICE_REQUEST, szFailureLine);
}

NTSTATUS _Device::AttachRequest(_UsbRequest* pRC, PIRP pIrp, const char* szFailureLine) {
    if (pRC == nullptr) {
        LORV_LOG("allocate URC fail\n");
        return Refuse(pIrp, STATUS_NO_MEMORY, szFailureLine);
    }
    pRC->SetDevice(this);
    pRC->SetIrp(pIrp);
    NTSTATUS status = pRC->AllocateUrb(UrbBlockSize());
    if (IsFailure(status)) {
        delete pRC;
        return Refuse(pIrp, status, szFailureLine);
    }
    return STATUS_SUCCESS;
}

// The IRP was marked pending before it went down, so the caller is told STATUS_PENDING whatever
// the bus driver returned; the final status is the one the completion routine stored.
NTSTATUS _Device::SubmitPending(_UsbRequest* pRC, const char* szSuccessLine, const char* szFailureLine) {
    NTSTATUS status = pRC->CallLowerPending();
    if (IsFailure(status)) {
        LORV_LOG(szFailureLine, status);
    } else {
        LORV_LOG(szSuccessLine);
    }
    return STATUS_PENDING;
}

NTSTATUS _Device::ApiSetReg(PIRP pIrp) {
    const char* const szFailure = "leave _Device::ApiSetReg with %08X\n";
    LORV_LOG("enter _Device::ApiSetReg\n");
    IOCTL_PARAM param;
    ParseIoctlParam(pIrp, &param);
    if (param.InputLength != 2 || param.OutputLength != 0) {
        LORV_LOG("invalid parameter\n");
        return Refuse(pIrp, STATUS_INVALID_PARAMETER, szFailure);
    }
    if (!IsStarted()) {
        return RefuseNotReady(pIrp, szFailure);
    }
    _UsbVendorRequest* pRC = new _UsbVendorRequest;
    NTSTATUS status = AttachRequest(pRC, pIrp, szFailure);
    if (IsFailure(status)) {
        return status;
    }
    PUCHAR pbInput = static_cast<PUCHAR>(param.Buffer);
    USHORT wValue = static_cast<USHORT>((pbInput[0] << 8) | pbInput[1]);
    pRC->PrepareVendorOutRequest(URB_FUNCTION_VENDOR_DEVICE, 0, VENDOR_SET_REGISTER, wValue, 0);
    return SubmitPending(pRC, "leave _Device::ApiSetReg succ\n", szFailure);
}

NTSTATUS _Device::ApiGetReg(PIRP pIrp) {
    const char* const szFailure = "leave _Device::ApiGetReg with %08X\n";
    LORV_LOG("enter _Device::ApiGetReg\n");
    IOCTL_PARAM param;
    ParseIoctlParam(pIrp, &param);
    if (param.InputLength != 1 || param.OutputLength != 1) {
        LORV_LOG("invalid parameter\n");
        return Refuse(pIrp, STATUS_INVALID_PARAMETER, szFailure);
    }
    UCHAR bRegIdx = *static_cast<PUCHAR>(param.Buffer);
    if (bRegIdx >= BRIDGE_REGISTER_COUNT) {
        LORV_LOG("bRegIdx > 9 not implemented\n");
        return Refuse(pIrp, STATUS_NOT_IMPLEMENTED, szFailure);
    }
    if (bRegIdx == REGISTER_ECP_COMMAND) {
        LORV_LOG("ECP Command is read only\n");
        return Refuse(pIrp, STATUS_NOT_IMPLEMENTED, szFailure);
    }
    if (!IsStarted()) {
        return RefuseNotReady(pIrp, szFailure);
    }
    _UsbVendorGetRegRequest* pRC = new _UsbVendorGetRegRequest;
    NTSTATUS status = AttachRequest(pRC, pIrp, szFailure);
    if (IsFailure(status)) {
        return status;
    }
    pRC->pResult = static_cast<PUCHAR>(param.Buffer);
    pRC->bRegIdx = bRegIdx;
    ULONG cbSnapshot = bRegIdx == REGISTER_WITH_LONG_SNAPSHOT ? BRIDGE_SNAPSHOT_BYTES_INDEX_8 : BRIDGE_SNAPSHOT_BYTES;
    status = pRC->AllocateBuffer(cbSnapshot);
    if (IsFailure(status)) {
        delete pRC;
        return Refuse(pIrp, status, szFailure);
    }
    pRC->PrepareVendorInRequest(URB_FUNCTION_VENDOR_DEVICE, 0, VENDOR_GET_REGISTERS,
                                static_cast<USHORT>(bRegIdx << 8), 0);
    return SubmitPending(pRC, "leave _Device::GetReg succ\n", szFailure);
}

NTSTATUS _Device::ApiSoftReset(PIRP pIrp) {
    const char* const szFailure = "leave _Device::ApiSoftReset with %08X\n";
    LORV_LOG("enter _Device::ApiSoftReset\n");
    IOCTL_PARAM param;
    ParseIoctlParam(pIrp, &param);
    if (param.InputLength != 0 || param.OutputLength != 0) {
        LORV_LOG("invalid parameter\n");
        return Refuse(pIrp, STATUS_INVALID_PARAMETER, szFailure);
    }
    if (!IsStarted()) {
        return RefuseNotReady(pIrp, szFailure);
    }
    ResetHaltedPipes(pIrp);
    _UsbVendorRequest* pRC = new _UsbVendorRequest;
    NTSTATUS status = AttachRequest(pRC, pIrp, szFailure);
    if (IsFailure(status)) {
        return status;
    }
    pRC->PrepareVendorOutRequest(URB_FUNCTION_CLASS_INTERFACE, 0, PRINTER_SOFT_RESET, 0, 0);
    return SubmitPending(pRC, "leave _Device::ApiSoftReset succ\n", szFailure);
}

NTSTATUS _Device::ApiAbortPipe(PIRP pIrp) {
    const char* const szFailure = "leave _Device::ApiAbortPipe with %08X\n";
    LORV_LOG("enter _Device::ApiAbortPipe\n");
    IOCTL_PARAM param;
    ParseIoctlParam(pIrp, &param);
    if (param.InputLength != 1 || param.OutputLength != 0) {
        LORV_LOG("invalid parameter\n");
        return Refuse(pIrp, STATUS_INVALID_PARAMETER, szFailure);
    }
    UCHAR bPipe = *static_cast<PUCHAR>(param.Buffer);
    if (bPipe > PIPE_BULK_IN) {
        LORV_LOG("invalid pipe index\n");
        return Refuse(pIrp, STATUS_NOT_IMPLEMENTED, szFailure);
    }
    if (PipeHandle(bPipe) == nullptr) {
        return RefuseNotReady(pIrp, szFailure);
    }
    _UsbRequest* pRC = new _UsbRequest;
    NTSTATUS status = AttachRequest(pRC, pIrp, szFailure);
    if (IsFailure(status)) {
        return status;
    }
    pRC->PrepareAbortPipe(bPipe);
    return SubmitPending(pRC, "leave _Device::ApiAbortPipe succ\n", szFailure);
}

// Reserved: always refused, byte count untouched, nothing logged.
NTSTATUS _Device::ApiQueryPipeResult(PIRP pIrp) {
    pIrp->IoStatus.Status = STATUS_NOT_IMPLEMENTED;
    IoCompleteRequest(pIrp, IO_NO_INCREMENT);
    Driver_DecIrpCount(pDeviceObject);
    return STATUS_NOT_IMPLEMENTED;
}

// The identification goes straight into the caller's system buffer, as the bridge sends it.
NTSTATUS _Device::ApiGetDeviceID(PIRP pIrp) {
    const char* const szFailure = "leave _Device::ApiGetDeviceID with %08X\n";
    LORV_LOG("enter _Device::ApiGetDeviceID\n");
    IOCTL_PARAM param;
    ParseIoctlParam(pIrp, &param);
    if (param.InputLength != 0 || param.OutputLength == 0) {
        LORV_LOG("invalid parameter\n");
        return Refuse(pIrp, STATUS_INVALID_PARAMETER, szFailure);
    }
    if (!IsStarted()) {
        return RefuseNotReady(pIrp, szFailure);
    }
    _UsbVendorRequest* pRC = new _UsbVendorRequest;
    NTSTATUS status = AttachRequest(pRC, pIrp, szFailure);
    if (IsFailure(status)) {
        return status;
    }
    // wLength is 16 bits wide: never ask for more than the setup packet can say.
    ULONG cbAsk = param.OutputLength > MAX_CONTROL_TRANSFER ? MAX_CONTROL_TRANSFER : param.OutputLength;
    pRC->SetBuffer(param.Buffer, cbAsk);
    pRC->PrepareVendorInRequest(URB_FUNCTION_CLASS_INTERFACE, 0, PRINTER_GET_DEVICE_ID, 0, PRINTER_INTERFACE_INDEX);
    return SubmitPending(pRC, "leave _Device::ApiGetDeviceID succ\n", szFailure);
}

void _Device::NotePipeHalted(LONG iPipe) {
    if (iPipe >= PIPE_BULK_OUT && iPipe <= PIPE_BULK_IN) {
        LORV_LOG("pipe %d halted\n", iPipe);
        InterlockedExchange(&PipeHalted[iPipe], 1);
    }
}

// A stalled bulk pipe stays halted until it is reset, so every later bring-up would fail to
// stream on it. The soft reset begins each bring-up and stream start: the pipes are cleared
// there, on the caller's request, before the reset itself goes down.
void _Device::ResetHaltedPipes(PIRP pIrp) {
    for (LONG iPipe = PIPE_BULK_OUT; iPipe <= PIPE_BULK_IN; ++iPipe) {
        if (InterlockedExchange(&PipeHalted[iPipe], 0) == 0) {
            continue;
        }
        NTSTATUS status = STATUS_NO_MEMORY;
        _UsbRequest* pRC = new _UsbRequest;
        if (pRC != nullptr) {
            pRC->SetDevice(this);
            pRC->SetIrp(pIrp);
            status = pRC->AllocateUrb(UrbBlockSize());
            if (!IsFailure(status)) {
                pRC->PrepareResetPipe(iPipe);
                status = pRC->CallLowerSync();
            }
            delete pRC;
        }
        LORV_LOG("reset pipe %d with %08X\n", iPipe, status);
        if (IsFailure(status)) {
            InterlockedExchange(&PipeHalted[iPipe], 1);  // tried again at the next reset
        }
    }
}
