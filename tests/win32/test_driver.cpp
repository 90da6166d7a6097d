#include "test_driver.h"

#include <deque>
#include <mutex>

namespace win32_test {
namespace {

UNICODE_STRING Name(const wchar_t* text) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, text);
    return name;
}

struct DriverState {
    std::mutex mutex;
    std::vector<std::string> seen;
    std::deque<PIRP> queue;  // guarded by the clock's mutex
};

DriverState& State() {
    static DriverState state;
    return state;
}

void Record(const char* what) {
    std::lock_guard lock(State().mutex);
    State().seen.push_back(what);
}

platform::Clock& TheClock() { return platform::kernel::Kernel::Current()->clock(); }

VOID CancelQueued(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    {
        std::lock_guard lock(TheClock().mutex());
        std::erase(State().queue, irp);
    }
    Complete(irp, STATUS_CANCELLED, 0);
}

NTSTATUS Queue(PIRP irp) {
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, CancelQueued);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        Complete(irp, STATUS_CANCELLED, 0);
        return STATUS_PENDING;
    }
    {
        std::lock_guard lock(TheClock().mutex());
        State().queue.push_back(irp);
    }
    TheClock().NotifyAll();
    return STATUS_PENDING;
}

NTSTATUS DispatchControl(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const auto& parameters = stack->Parameters.DeviceIoControl;
    switch (parameters.IoControlCode) {
    case kIoctlPending:
        return Queue(irp);
    case kIoctlEcho: {
        auto* bytes = static_cast<unsigned char*>(irp->AssociatedIrp.SystemBuffer);
        const ULONG length = parameters.InputBufferLength < parameters.OutputBufferLength
                                 ? parameters.InputBufferLength
                                 : parameters.OutputBufferLength;
        for (ULONG i = 0; i < length; ++i) bytes[i] = static_cast<unsigned char>(bytes[i] + 1);
        Complete(irp, STATUS_SUCCESS, length);
        return STATUS_SUCCESS;
    }
    case kIoctlFail:
        Complete(irp, STATUS_UNSUCCESSFUL, 0);
        return STATUS_UNSUCCESSFUL;
    case kIoctlNotImplemented:
        Complete(irp, STATUS_NOT_IMPLEMENTED, 0);
        return STATUS_NOT_IMPLEMENTED;
    default:
        Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
}

NTSTATUS Dispatch(PDEVICE_OBJECT, PIRP irp) {
    switch (IoGetCurrentIrpStackLocation(irp)->MajorFunction) {
    case IRP_MJ_CREATE:
        Record("create");
        break;
    case IRP_MJ_CLEANUP:
        Record("cleanup");
        break;
    case IRP_MJ_CLOSE:
        Record("close");
        break;
    case IRP_MJ_READ:
        Record("read");
        return Queue(irp);
    case IRP_MJ_WRITE: {
        Record("write");
        const ULONG length = irp->MdlAddress ? MmGetMdlByteCount(irp->MdlAddress) : 0;
        Complete(irp, length ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER, length);
        return length ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
    }
    case IRP_MJ_DEVICE_CONTROL:
        Record("control");
        return DispatchControl(irp);
    }
    Complete(irp, STATUS_SUCCESS, 0);
    return STATUS_SUCCESS;
}

VOID Unload(PDRIVER_OBJECT driver) {
    UNICODE_STRING link = Name(L"\\DosDevices\\W32TEST");
    IoDeleteSymbolicLink(&link);
    IoDeleteDevice(driver->DeviceObject);
}

}  // namespace

NTSTATUS TestDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    {
        std::lock_guard lock(State().mutex);
        State().seen.clear();
    }
    State().queue.clear();
    for (auto& major : driver->MajorFunction) major = Dispatch;
    driver->DriverUnload = Unload;
    UNICODE_STRING name = Name(L"\\Device\\W32TEST");
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    device->Flags |= DO_DIRECT_IO;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    UNICODE_STRING link = Name(L"\\DosDevices\\W32TEST");
    status = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status)) IoDeleteDevice(device);
    return status;
}

std::vector<std::string> SeenRequests() {
    std::lock_guard lock(State().mutex);
    return State().seen;
}

PIRP TakeQueuedIrp(platform::Clock& clock) {
    for (;;) {
        PIRP irp;
        {
            std::unique_lock lock(clock.mutex());
            clock.WaitUntil(lock, [] { return !State().queue.empty(); }, std::nullopt);
            irp = State().queue.front();
            State().queue.pop_front();
        }
        // A cancel that got there first completes the request itself.
        if (IoSetCancelRoutine(irp, nullptr) != nullptr) return irp;
    }
}

std::size_t QueuedIrps(platform::Clock& clock) {
    std::lock_guard lock(clock.mutex());
    return State().queue.size();
}

void Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

}  // namespace win32_test
