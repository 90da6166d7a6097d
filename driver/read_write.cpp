// Reads and writes: each is exactly one bulk transfer, straight into or out of the caller's pages.
#include "device.h"
#include "request.h"

void _Device::ParseReadParam(PIRP pIrp, PRW_PARAM pParam) {
    PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(pIrp);
    pParam->Buffer = pIrp->AssociatedIrp.SystemBuffer;
    // Read and Write parameters share their layout.
    pParam->Length = pStack->Parameters.Read.Length;
    pParam->pMdl = pIrp->MdlAddress;
}

NTSTATUS _Device::ApiRead(PIRP pIrp) { return DoBulkTransfer(pIrp, true); }

NTSTATUS _Device::ApiWrite(PIRP pIrp) { return DoBulkTransfer(pIrp, false); }

NTSTATUS _Device::DoBulkTransfer(PIRP pIrp, bool fRead) {
    const char* const szFailure = fRead ? "leave _Device::ApiRead with %08X\n" : "leave _Device::ApiWrite with %08X\n";
    LORV_LOG(fRead ? "enter _Device::ApiRead\n" : "enter _Device::ApiWrite\n");
    RW_PARAM param;
    ParseReadParam(pIrp, &param);
    if (param.Length == 0) {
        LORV_LOG("invalid parameter\n");
        return Refuse(pIrp, STATUS_INVALID_PARAMETER, szFailure);
    }
    if (param.Buffer == nullptr && param.pMdl == nullptr) {
        LORV_LOG("both Buffer & pMdl is NULL\n");
        return Refuse(pIrp, STATUS_INVALID_PARAMETER, szFailure);
    }
    if (PipeHandle(fRead ? PIPE_BULK_IN : PIPE_BULK_OUT) == nullptr) {
        return RefuseNotReady(pIrp, szFailure);
    }
    _UsbBulkRequest* pRC = new _UsbBulkRequest;
    NTSTATUS status = AttachRequest(pRC, pIrp, szFailure);
    if (IsFailure(status)) {
        return status;
    }
    if (param.Buffer != nullptr) {
        LORV_LOG("SetBuffer to URC\n");
        pRC->SetBuffer(param.Buffer, param.Length);
    } else {
        LORV_LOG("SetMdl to URC\n");
        pRC->SetMdl(param.pMdl);
    }
    if (fRead) {
        pRC->PrepareBulkInTransfer();
    } else {
        pRC->PrepareBulkOutTransfer();
    }
    return SubmitPending(pRC, fRead ? "leave _Device::ApiRead succ\n" : "leave _Device::ApiWrite succ\n", szFailure);
}
