// The I/O manager's request path: IRPs and their stack locations, IofCallDriver,
// IofCompleteRequest with completion routines bottom-up, cancellation and MDLs; with the
// verifier's checks on the way.
#include <cstdint>
#include <cstdio>

#include "kernel_state.h"

namespace platform::kernel {

namespace {

PIO_STACK_LOCATION StackAt(PIRP irp, int location) {
    return reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + (location - 1);
}

void InitializeIrp(PIRP irp, CCHAR stackSize) {
    irp->Type = 6;
    irp->Size = static_cast<USHORT>(sizeof(IRP) + stackSize * sizeof(IO_STACK_LOCATION));
    irp->StackCount = stackSize;
    irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
    irp->Tail.Overlay.CurrentStackLocation = StackAt(irp, stackSize + 1);
    irp->ThreadListEntry.Flink = irp->ThreadListEntry.Blink = &irp->ThreadListEntry;
}

bool ShouldInvoke(PIRP irp, UCHAR control) {
    if (NT_SUCCESS(irp->IoStatus.Status) && (control & SL_INVOKE_ON_SUCCESS)) return true;
    if (!NT_SUCCESS(irp->IoStatus.Status) && (control & SL_INVOKE_ON_ERROR)) return true;
    return irp->Cancel && (control & SL_INVOKE_ON_CANCEL);
}

// The end of a user request: output copied back, the caller told, the IRP given up.
// Runs without the lock; `record` stays valid because the caller holds the IRP.
void FinishUserIrp(Kernel& kernel, IrpRecord& record) {
    PIRP irp = record.irp;
    NTSTATUS status = irp->IoStatus.Status;
    ULONG_PTR information = irp->IoStatus.Information;
    if (record.copyOutTo != nullptr && !NT_ERROR(status)) {
        if (information > record.copyOutLimit) {
            kernel.verifier().Fail("IRP " + Hex(irp) + " completed with Information " +
                                   std::to_string(information) +
                                   ", more than its buffer of " +
                                   std::to_string(record.copyOutLimit) + " bytes");
        }
        RtlCopyMemory(record.copyOutTo, record.systemBuffer.get(), information);
    }
    IoCompletion done = std::move(record.done);
    FileObject* file = record.file;
    {
        std::lock_guard lock(kernel.state().lock);
        if (record.userMdl != nullptr) DestroyMdl(kernel.state(), record.userMdl);
        record.userMdl = nullptr;
        irp->MdlAddress = nullptr;
        record.systemBuffer.reset();
        if (file != nullptr) file->outstanding.erase(irp);
        record.freed = true;
    }
    if (done) done(status, information);
    if (file != nullptr) {
        std::lock_guard lock(kernel.state().lock);
        if (--file->references == 0) {
            kernel.state().files.erase(file);
            delete file;
        }
    }
}

void FinishBuiltIrp(Kernel& kernel, IrpRecord& record) {
    PIRP irp = record.irp;
    if (irp->UserIosb != nullptr) *irp->UserIosb = irp->IoStatus;
    if (irp->UserEvent != nullptr) KeSetEvent(irp->UserEvent, IO_NO_INCREMENT, FALSE);
    std::lock_guard lock(kernel.state().lock);
    if (irp->MdlAddress != nullptr) DestroyMdl(kernel.state(), irp->MdlAddress);
    irp->MdlAddress = nullptr;
    record.freed = true;
}

[[noreturn]] void FailPendingWithoutMark(Kernel& kernel, PIRP irp, PDEVICE_OBJECT device) {
    kernel.verifier().Fail("STATUS_PENDING returned without the pending mark: IRP " + Hex(irp) +
                           " at device " + Hex(device) + " (IoMarkIrpPending missing)");
}

struct IrpHold {
    KernelState& state;
    PIRP irp;
    ~IrpHold() {
        std::lock_guard lock(state.lock);
        ReleaseIrpLocked(state, irp);
    }
};

}  // namespace

IrpRecord& CreateIrp(Kernel& kernel, IrpOrigin origin, CCHAR stackSize) {
    auto record = std::make_unique<IrpRecord>();
    record->origin = origin;
    std::size_t bytes = sizeof(IRP) + static_cast<std::size_t>(stackSize) * sizeof(IO_STACK_LOCATION);
    record->memory = std::make_unique<std::byte[]>(bytes);
    record->irp = reinterpret_cast<PIRP>(record->memory.get());
    record->unwound.assign(stackSize + 2, false);
    record->pendingMarked.assign(stackSize + 2, false);
    record->returnedPending.assign(stackSize + 2, false);
    InitializeIrp(record->irp, stackSize);
    IrpRecord& result = *record;
    std::lock_guard lock(kernel.state().lock);
    kernel.state().irps[record->irp] = std::move(record);
    return result;
}

void ReleaseIrpLocked(KernelState& state, PIRP irp) {
    auto it = state.irps.find(irp);
    if (it == state.irps.end()) return;
    IrpRecord& record = *it->second;
    if (record.holds > 0) --record.holds;
    if (record.holds == 0 && record.freed) state.irps.erase(it);
}

NTSTATUS CallAndWait(Kernel& kernel, PDEVICE_OBJECT device, IrpRecord& record) {
    struct Outcome {
        bool done = false;
        NTSTATUS status = STATUS_PENDING;
    };
    auto outcome = std::make_shared<Outcome>();
    Clock& clock = kernel.clock();
    record.done = [outcome, &clock](NTSTATUS status, ULONG_PTR) {
        {
            std::lock_guard lock(clock.mutex());
            outcome->status = status;
            outcome->done = true;
        }
        clock.NotifyAll();
    };
    IofCallDriver(device, record.irp);
    std::unique_lock lock(clock.mutex());
    clock.WaitUntil(lock, [&] { return outcome->done; }, std::nullopt);
    return outcome->status;
}

PMDL CreateMdl(KernelState& state, void* address, ULONG length) {
    auto* mdl = new MDL{};
    auto va = reinterpret_cast<std::uintptr_t>(address);
    mdl->Size = sizeof(MDL);
    mdl->MdlFlags = MDL_MAPPED_TO_SYSTEM_VA | MDL_PAGES_LOCKED;
    mdl->StartVa = reinterpret_cast<PVOID>(va & ~std::uintptr_t{0xFFF});
    mdl->ByteOffset = static_cast<ULONG>(va & 0xFFF);
    mdl->ByteCount = length;
    mdl->MappedSystemVa = address;
    state.mdls.insert(mdl);
    return mdl;
}

void DestroyMdl(KernelState& state, PMDL mdl) {
    state.mdls.erase(mdl);
    delete mdl;
}

}  // namespace platform::kernel

using namespace platform::kernel;

extern "C" {

NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    Kernel& kernel = CurrentKernel();
    KernelState& state = kernel.state();
    int location;
    {
        std::unique_lock lock(state.lock);
        IrpRecord* record = state.FindIrp(Irp);
        if (record == nullptr) {
            lock.unlock();
            kernel.verifier().Fail("IoCallDriver with IRP " + Hex(Irp) + ", which is not live");
        }
        if (state.FindDevice(DeviceObject) == nullptr) {
            lock.unlock();
            kernel.verifier().Fail("IoCallDriver of IRP " + Hex(Irp) + " to " + Hex(DeviceObject) +
                                   ", which is not a device object");
        }
        if (Irp->CurrentLocation <= 1) {
            lock.unlock();
            kernel.verifier().Fail("IRP stack location overrun: IoCallDriver of IRP " + Hex(Irp) +
                                   " to device " + Hex(DeviceObject) +
                                   " with no stack location left");
        }
        IoSetNextIrpStackLocation(Irp);
        location = Irp->CurrentLocation;
        IoGetCurrentIrpStackLocation(Irp)->DeviceObject = DeviceObject;
        record->unwound[location] = false;
        record->returnedPending[location] = false;
        record->halted = false;
        record->frames.push_back({std::this_thread::get_id(), location});
        ++record->holds;
    }
    IrpHold hold{state, Irp};

    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PDRIVER_OBJECT driver = DeviceObject->DriverObject;
    PDRIVER_DISPATCH dispatch = driver->MajorFunction[stack->MajorFunction];
    NTSTATUS status;
    {
        DriverCodeScope scope(driver);
        status = dispatch(DeviceObject, Irp);
    }

    std::unique_lock lock(state.lock);
    IrpRecord& record = *state.irps.at(Irp);
    for (auto it = record.frames.rbegin(); it != record.frames.rend(); ++it) {
        if (it->thread == std::this_thread::get_id() && it->location == location) {
            record.frames.erase(std::next(it).base());
            break;
        }
    }
    if (status == STATUS_PENDING) {
        bool marked;
        bool canStillBeMarked = false;  // by a completion routine that has yet to run
        if (record.unwound[location]) {
            marked = record.pendingMarked[location];
        } else {
            marked = (StackAt(Irp, location)->Control & SL_PENDING_RETURNED) != 0;
            canStillBeMarked = location > 1 && (record.unwound[location - 1] ||
                                                StackAt(Irp, location - 1)->CompletionRoutine);
        }
        if (!marked && canStillBeMarked) {
            record.returnedPending[location] = true;
        } else if (!marked) {
            lock.unlock();
            FailPendingWithoutMark(kernel, Irp, DeviceObject);
        }
    } else {
        // The mark promises STATUS_PENDING to the caller, who would otherwise take the status
        // as final while the request may still be completing.
        const bool marked = record.unwound[location]
                                ? record.pendingMarked[location]
                                : (StackAt(Irp, location)->Control & SL_PENDING_RETURNED) != 0;
        if (marked) {
            lock.unlock();
            char text[16];
            std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
            kernel.verifier().Fail("IoMarkIrpPending and then status " + std::string(text) +
                                   " returned, not STATUS_PENDING: IRP " + Hex(Irp) +
                                   " at device " + Hex(DeviceObject));
        }
    }
    return status;
}

VOID IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
    UNREFERENCED_PARAMETER(PriorityBoost);
    Kernel& kernel = CurrentKernel();
    KernelState& state = kernel.state();
    IrpRecord* record;
    {
        std::unique_lock lock(state.lock);
        auto found = state.irps.find(Irp);
        record = found != state.irps.end() ? found->second.get() : nullptr;
        std::string fault;
        if (record != nullptr && record->completed) {
            fault = "IRP " + Hex(Irp) + " completed twice";
        } else if (record == nullptr || record->freed) {
            fault = "IoCompleteRequest of IRP " + Hex(Irp) + ", which is not live";
        } else if (Irp->IoStatus.Status == STATUS_PENDING) {
            fault = "IRP " + Hex(Irp) + " completed with STATUS_PENDING";
        } else {
            // The innermost driver code of this thread for this IRP must be its holder.
            for (auto it = record->frames.rbegin(); it != record->frames.rend(); ++it) {
                if (it->thread != std::this_thread::get_id()) continue;
                if (it->location != Irp->CurrentLocation) {
                    fault = "IRP " + Hex(Irp) + " completed while owned by a lower driver " +
                            "(completed at stack location " + std::to_string(it->location) +
                            ", held at " + std::to_string(Irp->CurrentLocation) + ")";
                }
                break;
            }
        }
        if (!fault.empty()) {
            lock.unlock();
            kernel.verifier().Fail(fault);
        }
        record->halted = false;
        ++record->holds;
    }
    IrpHold hold{state, Irp};

    while (Irp->CurrentLocation <= Irp->StackCount) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
        int location = Irp->CurrentLocation;
        Irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) != 0;
        {
            std::unique_lock lock(state.lock);
            record->unwound[location] = true;
            record->pendingMarked[location] = Irp->PendingReturned;
            if (record->returnedPending[location] && !Irp->PendingReturned) {
                lock.unlock();
                FailPendingWithoutMark(kernel, Irp, stack->DeviceObject);
            }
        }
        IoSkipCurrentIrpStackLocation(Irp);
        bool atTop = Irp->CurrentLocation > Irp->StackCount;
        PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
        PVOID context = stack->Context;
        UCHAR control = stack->Control;
        stack->CompletionRoutine = nullptr;
        stack->Context = nullptr;
        stack->Control = 0;

        if (routine != nullptr && ShouldInvoke(Irp, control)) {
            PDEVICE_OBJECT upper = atTop ? nullptr : IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
            {
                std::lock_guard lock(state.lock);
                record->frames.push_back({std::this_thread::get_id(), Irp->CurrentLocation});
            }
            NTSTATUS result;
            {
                DriverCodeScope scope(upper != nullptr ? upper->DriverObject : nullptr);
                result = routine(upper, Irp, context);
            }
            std::lock_guard lock(state.lock);
            auto& frames = record->frames;
            for (auto it = frames.rbegin(); it != frames.rend(); ++it) {
                if (it->thread == std::this_thread::get_id()) {
                    frames.erase(std::next(it).base());
                    break;
                }
            }
            if (result == STATUS_MORE_PROCESSING_REQUIRED) {
                record->halted = true;
                return;
            }
            if (record->completed) {
                // The routine completed the IRP itself and still let completion go on.
                kernel.verifier().Fail("IRP " + Hex(Irp) + " completed twice");
            }
        } else if (!atTop && Irp->PendingReturned) {
            IoMarkIrpPending(Irp);
        }
    }

    {
        std::lock_guard lock(state.lock);
        record->completed = true;
    }
    switch (record->origin) {
    case IrpOrigin::User:
        FinishUserIrp(kernel, *record);
        break;
    case IrpOrigin::Built:
        FinishBuiltIrp(kernel, *record);
        break;
    case IrpOrigin::Allocated:
        break;  // its owner's completion routine should have stopped here; it frees it
    }
}

PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
    UNREFERENCED_PARAMETER(ChargeQuota);
    Kernel& kernel = CurrentKernel();
    IrpRecord& record = CreateIrp(kernel, IrpOrigin::Allocated, StackSize);
    std::lock_guard lock(kernel.state().lock);
    record.allocatedBy = DriverCodeScope::Current();
    return record.irp;
}

VOID IoFreeIrp(PIRP Irp) {
    Kernel& kernel = CurrentKernel();
    KernelState& state = kernel.state();
    std::unique_lock lock(state.lock);
    IrpRecord* record = state.FindIrp(Irp);
    if (record == nullptr || record->origin == IrpOrigin::User) {
        lock.unlock();
        kernel.verifier().Fail("IoFreeIrp of IRP " + Hex(Irp) +
                               ", which is not a live IRP of IoAllocateIrp");
    }
    record->freed = true;
    ++record->holds;
    ReleaseIrpLocked(state, Irp);
}

VOID IoReuseIrp(PIRP Irp, NTSTATUS Iostatus) {
    KernelState& state = CurrentKernel().state();
    std::lock_guard lock(state.lock);
    IrpRecord* record = state.FindIrp(Irp);
    if (record == nullptr) return;
    CCHAR stackSize = Irp->StackCount;
    std::memset(Irp, 0, sizeof(IRP) + stackSize * sizeof(IO_STACK_LOCATION));
    InitializeIrp(Irp, stackSize);
    Irp->IoStatus.Status = Iostatus;
    record->completed = false;
    record->halted = false;
    record->unwound.assign(stackSize + 2, false);
    record->pendingMarked.assign(stackSize + 2, false);
    record->returnedPending.assign(stackSize + 2, false);
}

PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                   PVOID InputBuffer, ULONG InputBufferLength,
                                   PVOID OutputBuffer, ULONG OutputBufferLength,
                                   BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                   PIO_STATUS_BLOCK IoStatusBlock) {
    Kernel& kernel = CurrentKernel();
    IrpRecord& record = CreateIrp(kernel, IrpOrigin::Built, DeviceObject->StackSize);
    PIRP irp = record.irp;
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction =
        InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    next->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
    // Kernel callers pass kernel buffers, which the lower driver may use as they are.
    next->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
    irp->AssociatedIrp.SystemBuffer = InputBuffer != nullptr ? InputBuffer : OutputBuffer;
    irp->UserBuffer = OutputBuffer;
    if (OutputBuffer != nullptr && OutputBufferLength > 0 &&
        (METHOD_FROM_CTL_CODE(IoControlCode) == METHOD_IN_DIRECT ||
         METHOD_FROM_CTL_CODE(IoControlCode) == METHOD_OUT_DIRECT)) {
        std::lock_guard lock(kernel.state().lock);
        irp->MdlAddress = CreateMdl(kernel.state(), OutputBuffer, OutputBufferLength);
    }
    return irp;
}

BOOLEAN IoCancelIrp(PIRP Irp) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    Irp->Cancel = TRUE;
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (routine == nullptr) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    Irp->CancelIrql = irql;
    PDEVICE_OBJECT device = Irp->CurrentLocation <= Irp->StackCount
                                ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject
                                : nullptr;
    DriverCodeScope scope(device != nullptr ? device->DriverObject : nullptr);
    routine(device, Irp);  // releases the cancel spin lock
    return TRUE;
}

VOID IoAcquireCancelSpinLock(PKIRQL Irql) {
    CurrentKernel().state().cancelLock.lock();
    *Irql = PASSIVE_LEVEL;
}

VOID IoReleaseCancelSpinLock(KIRQL Irql) {
    UNREFERENCED_PARAMETER(Irql);
    CurrentKernel().state().cancelLock.unlock();
}

PMDL IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer,
                   BOOLEAN ChargeQuota, PIRP Irp) {
    UNREFERENCED_PARAMETER(SecondaryBuffer);
    UNREFERENCED_PARAMETER(ChargeQuota);
    KernelState& state = CurrentKernel().state();
    std::lock_guard lock(state.lock);
    PMDL mdl = CreateMdl(state, VirtualAddress, Length);
    if (Irp != nullptr && Irp->MdlAddress == nullptr) Irp->MdlAddress = mdl;
    return mdl;
}

VOID IoFreeMdl(PMDL Mdl) {
    Kernel& kernel = CurrentKernel();
    std::unique_lock lock(kernel.state().lock);
    if (!kernel.state().mdls.contains(Mdl)) {
        lock.unlock();
        kernel.verifier().Fail("IoFreeMdl of " + Hex(Mdl) + ", which is not a live MDL");
    }
    DestroyMdl(kernel.state(), Mdl);
}

VOID MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList) {
    MemoryDescriptorList->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
}

PVOID MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                   MEMORY_CACHING_TYPE CacheType, PVOID RequestedAddress,
                                   ULONG BugCheckOnFailure, ULONG Priority) {
    UNREFERENCED_PARAMETER(AccessMode);
    UNREFERENCED_PARAMETER(CacheType);
    UNREFERENCED_PARAMETER(RequestedAddress);
    UNREFERENCED_PARAMETER(BugCheckOnFailure);
    UNREFERENCED_PARAMETER(Priority);
    MemoryDescriptorList->MappedSystemVa = MmGetMdlVirtualAddress(MemoryDescriptorList);
    MemoryDescriptorList->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    return MemoryDescriptorList->MappedSystemVa;
}

}  // extern "C"
