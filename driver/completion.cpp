// The completion routines. They run wherever the bus driver completes, possibly at dispatch
// level: non-paged memory, DbgPrint, IofCompleteRequest, interlocked counts and the pool only.
// Each returns STATUS_MORE_PROCESSING_REQUIRED: the IRP's completion stops at this driver.
#include "device.h"
#include "request.h"

namespace {

// Priority boost of a failed request's completion.
constexpr CCHAR FailureBoost = 8;

NTSTATUS CompleteWithSetEvent(PDEVICE_OBJECT pDeviceObject, PVOID pContext, const char* szEnter,
                              const char* szLeave) {
    LORV_LOG(szEnter);
    LORV_LOG("DeviceObject = %08X\n", LORV_PTR(pDeviceObject));
    KeSetEvent(static_cast<PKEVENT>(pContext), IO_NO_INCREMENT, FALSE);
    LORV_LOG(szLeave);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

NTSTATUS NTAPI Request_CompleteWithSetEvent(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PVOID pContext) {
    UNREFERENCED_PARAMETER(pIrp);
    return CompleteWithSetEvent(pDeviceObject, pContext, "enter Request_CompleteWithSetEvent\n",
                                "leave Request_CompleteWithSetEvent\n");
}

NTSTATUS NTAPI Device_CompleteWithSetEvent(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PVOID pContext) {
    UNREFERENCED_PARAMETER(pIrp);
    return CompleteWithSetEvent(pDeviceObject, pContext, "enter Device_CompleteWithSetEvent\n",
                                "leave Device_CompleteWithSetEvent\n");
}

// Finishes a pending-style request: status mapping, completion, hold, object.
NTSTATUS NTAPI Request_CompleteWithCompleteRequest(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PVOID pContext) {
    _Request* pRC = static_cast<_Request*>(pContext);
    LORV_LOG("enter Request_CompleteWithCompleteRequest\n");
    LORV_LOG("pDeviceObject = %08X\n", LORV_PTR(pDeviceObject));
    LORV_LOG("pIrp = %08X\n", LORV_PTR(pIrp));
    LORV_LOG("pRC->pIrp = %08X\n", LORV_PTR(pRC->pIrp));

    pRC->OnPendingComplete();
    PIRP pCallerIrp = pRC->pIrp;
    CCHAR boost = IsFailure(pCallerIrp->IoStatus.Status) ? FailureBoost : IO_NO_INCREMENT;
    IoCompleteRequest(pCallerIrp, boost);

    // The object goes back to the pool before the hold is dropped: the last hold lets removal
    // and unload proceed, and nothing of the driver may be left allocated by then.
    PDEVICE_OBJECT pOwnDeviceObject = pRC->pDevice->DeviceObject();
    delete pRC;
    Driver_DecIrpCount(pOwnDeviceObject);

    LORV_LOG("leave Request_CompleteWithCompleteRequest\n");
    return STATUS_MORE_PROCESSING_REQUIRED;
}
