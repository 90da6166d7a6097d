// The I/O manager's user-mode side: opening a device by its DOS name and turning user requests
// into IRPs, the way Windows builds them for each buffering method.
#include "kernel_state.h"

namespace platform::kernel {

namespace {

// A user request's IRP for `file`, with its first stack location filled and one hold on the
// file for as long as the IRP lives.
IrpRecord* StartUserIrp(Kernel& kernel, FileObject* file, UCHAR major, IoCompletion done) {
    IrpRecord& record = CreateIrp(kernel, IrpOrigin::User, file->top->StackSize);
    PIRP irp = record.irp;
    irp->RequestorMode = UserMode;
    irp->Tail.Overlay.OriginalFileObject = &file->object;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = major;
    stack->FileObject = &file->object;
    record.done = std::move(done);
    record.file = file;
    std::lock_guard lock(kernel.state().lock);
    ++file->references;
    file->outstanding.insert(irp);
    return &record;
}

std::unique_ptr<std::byte[]> CopyOfInput(const void* in, ULONG inLength, ULONG totalLength) {
    if (totalLength == 0) return nullptr;
    auto buffer = std::make_unique<std::byte[]>(totalLength);
    if (in != nullptr && inLength > 0) RtlCopyMemory(buffer.get(), in, inLength);
    return buffer;
}

void AttachMdl(Kernel& kernel, IrpRecord& record, void* buffer, ULONG length) {
    if (buffer == nullptr || length == 0) return;
    std::lock_guard lock(kernel.state().lock);
    record.userMdl = CreateMdl(kernel.state(), buffer, length);
    record.irp->MdlAddress = record.userMdl;
}

// A handle outliving its device (deleted at removal) reaches no driver any more.
bool DeviceGone(Kernel& kernel, FileObject* file) {
    std::lock_guard lock(kernel.state().lock);
    DeviceRecord* record = kernel.state().FindDevice(file->top);
    return record == nullptr || record->deleted;
}

// A buffer that is missing while its length says it is there cannot be probed.
bool BufferMissing(const void* buffer, ULONG length) { return buffer == nullptr && length > 0; }

NTSTATUS SendAndWaitFor(Kernel& kernel, FileObject* file, UCHAR major) {
    if (DeviceGone(kernel, file)) return STATUS_DELETE_PENDING;
    IrpRecord* record = StartUserIrp(kernel, file, major, {});
    return CallAndWait(kernel, file->top, *record);
}

// Drops a hold on `file`; the last one frees it and the device's open count.
void DropFile(Kernel& kernel, FileObject* file) {
    KernelState& state = kernel.state();
    std::lock_guard lock(state.lock);
    if (--file->references > 0) return;
    state.files.erase(file);
    delete file;
}

}  // namespace

NTSTATUS OpenFile(Kernel& kernel, std::string_view win32Path, FileObject** file) {
    *file = nullptr;
    constexpr std::string_view kDevicePrefix = "\\\\.\\";
    if (!win32Path.starts_with(kDevicePrefix) || win32Path.size() == kDevicePrefix.size())
        return STATUS_OBJECT_NAME_INVALID;
    std::wstring link = L"\\??\\";
    for (char c : win32Path.substr(kDevicePrefix.size()))
        link.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
    link = CanonicalName(link);

    KernelState& state = kernel.state();
    auto opened = std::make_unique<FileObject>();
    {
        std::lock_guard lock(state.lock);
        auto target = state.links.find(link);
        std::wstring deviceName = target != state.links.end() ? target->second : link;
        auto named = state.deviceNames.find(deviceName);
        if (named == state.deviceNames.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
        PDEVICE_OBJECT device = named->second;
        if (device->Flags & DO_DEVICE_INITIALIZING) return STATUS_NO_SUCH_DEVICE;
        PDEVICE_OBJECT top = device;
        while (top->AttachedDevice != nullptr) top = top->AttachedDevice;
        if (state.FindDevice(top)->removePending) return STATUS_DELETE_PENDING;
        ++state.createsInFlight;  // under `lock`, so that a removal marked after this waits for it
        state.FindDevice(device)->openFiles++;
        opened->device = device;
        opened->top = top;
        opened->object.Type = 5;
        opened->object.Size = sizeof(FILE_OBJECT);
        opened->object.DeviceObject = device;
        state.files.insert(opened.get());
    }
    FileObject* candidate = opened.release();
    NTSTATUS status = SendAndWaitFor(kernel, candidate, IRP_MJ_CREATE);
    {
        std::lock_guard book(kernel.clock().mutex());  // so that the removal's wait cannot miss it
        --state.createsInFlight;
    }
    kernel.clock().NotifyAll();
    if (!NT_SUCCESS(status)) {
        {
            std::lock_guard lock(state.lock);
            if (DeviceRecord* record = state.FindDevice(candidate->device)) record->openFiles--;
        }
        DropFile(kernel, candidate);
        return status;
    }
    *file = candidate;
    return status;
}

NTSTATUS CloseFile(Kernel& kernel, FileObject* file) {
    KernelState& state = kernel.state();
    {
        std::lock_guard lock(state.lock);
        if (file == nullptr || !state.files.contains(file)) return STATUS_INVALID_HANDLE;
    }
    SendAndWaitFor(kernel, file, IRP_MJ_CLEANUP);
    NTSTATUS status = SendAndWaitFor(kernel, file, IRP_MJ_CLOSE);
    if (status == STATUS_DELETE_PENDING) status = STATUS_SUCCESS;  // the handle goes anyway
    {
        std::lock_guard lock(state.lock);
        if (DeviceRecord* record = state.FindDevice(file->device)) {
            record->openFiles--;
            if (record->deleted && record->openFiles == 0 && file->device->ReferenceCount == 0)
                state.devices.erase(file->device);
        }
    }
    DropFile(kernel, file);
    return status;
}

NTSTATUS SendDeviceControl(Kernel& kernel, FileObject* file, ULONG code, const void* in,
                           ULONG inLength, void* out, ULONG outLength, IoCompletion done) {
    if (BufferMissing(in, inLength) || BufferMissing(out, outLength)) return STATUS_INVALID_PARAMETER;
    if (DeviceGone(kernel, file)) return STATUS_DELETE_PENDING;
    IrpRecord* record = StartUserIrp(kernel, file, IRP_MJ_DEVICE_CONTROL, std::move(done));
    PIRP irp = record->irp;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->Parameters.DeviceIoControl.IoControlCode = code;
    stack->Parameters.DeviceIoControl.InputBufferLength = inLength;
    stack->Parameters.DeviceIoControl.OutputBufferLength = outLength;

    switch (METHOD_FROM_CTL_CODE(code)) {
    case METHOD_BUFFERED: {
        ULONG size = inLength > outLength ? inLength : outLength;
        record->systemBuffer = CopyOfInput(in, inLength, size);
        irp->AssociatedIrp.SystemBuffer = record->systemBuffer.get();
        if (out != nullptr && outLength > 0) {
            record->copyOutTo = out;
            record->copyOutLimit = outLength;
        }
        break;
    }
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
        record->systemBuffer = CopyOfInput(in, inLength, inLength);
        irp->AssociatedIrp.SystemBuffer = record->systemBuffer.get();
        AttachMdl(kernel, *record, out, outLength);
        break;
    default:  // METHOD_NEITHER: the driver gets the caller's pointers
        stack->Parameters.DeviceIoControl.Type3InputBuffer = const_cast<void*>(in);
        irp->UserBuffer = out;
        break;
    }
    return IofCallDriver(file->top, irp);
}

NTSTATUS SendRead(Kernel& kernel, FileObject* file, void* buffer, ULONG length,
                  IoCompletion done) {
    if (BufferMissing(buffer, length)) return STATUS_INVALID_PARAMETER;
    if (DeviceGone(kernel, file)) return STATUS_DELETE_PENDING;
    IrpRecord* record = StartUserIrp(kernel, file, IRP_MJ_READ, std::move(done));
    PIRP irp = record->irp;
    IoGetNextIrpStackLocation(irp)->Parameters.Read.Length = length;
    if (file->top->Flags & DO_DIRECT_IO) {
        AttachMdl(kernel, *record, buffer, length);
    } else if (file->top->Flags & DO_BUFFERED_IO) {
        record->systemBuffer = CopyOfInput(nullptr, 0, length);
        irp->AssociatedIrp.SystemBuffer = record->systemBuffer.get();
        record->copyOutTo = buffer;
        record->copyOutLimit = length;
    }
    irp->UserBuffer = buffer;
    return IofCallDriver(file->top, irp);
}

NTSTATUS SendWrite(Kernel& kernel, FileObject* file, const void* buffer, ULONG length,
                   IoCompletion done) {
    if (BufferMissing(buffer, length)) return STATUS_INVALID_PARAMETER;
    if (DeviceGone(kernel, file)) return STATUS_DELETE_PENDING;
    IrpRecord* record = StartUserIrp(kernel, file, IRP_MJ_WRITE, std::move(done));
    PIRP irp = record->irp;
    IoGetNextIrpStackLocation(irp)->Parameters.Write.Length = length;
    if (file->top->Flags & DO_DIRECT_IO) {
        AttachMdl(kernel, *record, const_cast<void*>(buffer), length);
    } else if (file->top->Flags & DO_BUFFERED_IO) {
        record->systemBuffer = CopyOfInput(buffer, length, length);
        irp->AssociatedIrp.SystemBuffer = record->systemBuffer.get();
    }
    irp->UserBuffer = const_cast<void*>(buffer);
    return IofCallDriver(file->top, irp);
}

void CancelFileIo(Kernel& kernel, FileObject* file) {
    KernelState& state = kernel.state();
    std::vector<PIRP> irps;
    {
        std::lock_guard lock(state.lock);
        for (PIRP irp : file->outstanding) {
            if (IrpRecord* record = state.FindIrp(irp)) {
                ++record->holds;  // keeps the IRP's memory while it is being cancelled
                irps.push_back(irp);
            }
        }
    }
    for (PIRP irp : irps) {
        IoCancelIrp(irp);
        std::lock_guard lock(state.lock);
        ReleaseIrpLocked(state, irp);
    }
}

}  // namespace platform::kernel
