// The object manager: device objects with their names, symbolic links, device stacks and
// object references.
#include <cstdio>
#include <cstdlib>
#include <cwctype>

#include "kernel_state.h"

namespace platform::kernel {

namespace {

thread_local std::vector<PDRIVER_OBJECT> t_driverCode;

constexpr std::size_t kExtensionAlignment = 16;

std::size_t ExtensionOffset() {
    return (sizeof(DEVICE_OBJECT) + kExtensionAlignment - 1) / kExtensionAlignment *
           kExtensionAlignment;
}

// Device memory goes once the device is deleted and nothing refers to it any more.
void ReleaseIfUnusedLocked(KernelState& state, DeviceRecord& record) {
    if (!record.deleted || record.openFiles > 0 || record.device->ReferenceCount > 0) return;
    state.devices.erase(record.device);
}

}  // namespace

Kernel& CurrentKernel() {
    Kernel* kernel = Kernel::Current();
    if (kernel == nullptr) {
        std::fprintf(stderr, "VERIFIER: kernel function called with no kernel booted\n");
        std::abort();
    }
    return *kernel;
}

std::string Hex(const void* pointer) {
    char text[32];
    std::snprintf(text, sizeof text, "%p", pointer);
    return text;
}

std::wstring CanonicalName(std::wstring_view name) {
    std::wstring text;
    for (wchar_t c : name) text.push_back(static_cast<wchar_t>(std::towupper(c)));
    for (std::wstring_view alias : {std::wstring_view(L"\\DOSDEVICES\\"),
                                    std::wstring_view(L"\\GLOBAL??\\")}) {
        if (text.starts_with(alias)) text = L"\\??\\" + text.substr(alias.size());
    }
    return text;
}

std::wstring CanonicalName(const UNICODE_STRING* name) {
    if (name == nullptr || name->Buffer == nullptr) return {};
    return CanonicalName(std::wstring_view(name->Buffer, name->Length / sizeof(WCHAR)));
}

DeviceRecord* KernelState::FindDevice(PDEVICE_OBJECT device) {
    auto it = devices.find(device);
    return it == devices.end() ? nullptr : it->second.get();
}

IrpRecord* KernelState::FindIrp(PIRP irp) {
    auto it = irps.find(irp);
    return it == irps.end() || it->second->freed ? nullptr : it->second.get();
}

DriverCodeScope::DriverCodeScope(PDRIVER_OBJECT driver) { t_driverCode.push_back(driver); }
DriverCodeScope::~DriverCodeScope() { t_driverCode.pop_back(); }
PDRIVER_OBJECT DriverCodeScope::Current() {
    return t_driverCode.empty() ? nullptr : t_driverCode.back();
}

}  // namespace platform::kernel

using namespace platform::kernel;

extern "C" {

NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                        PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                        ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                        PDEVICE_OBJECT* DeviceObject) {
    UNREFERENCED_PARAMETER(Exclusive);
    Kernel& kernel = CurrentKernel();
    KernelState& state = kernel.state();
    *DeviceObject = nullptr;
    std::wstring name = CanonicalName(DeviceName);

    std::lock_guard lock(state.lock);
    if (!name.empty() && state.deviceNames.contains(name)) return STATUS_OBJECT_NAME_COLLISION;

    auto record = std::make_unique<DeviceRecord>();
    std::size_t bytes = ExtensionOffset() + DeviceExtensionSize;
    record->memory = std::make_unique<std::byte[]>(bytes);  // zero-filled, as Windows does
    auto* device = reinterpret_cast<PDEVICE_OBJECT>(record->memory.get());
    device->Type = 3;
    device->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
    device->DriverObject = DriverObject;
    device->Flags = DO_DEVICE_INITIALIZING;
    device->Characteristics = DeviceCharacteristics;
    device->DeviceExtension =
        DeviceExtensionSize > 0 ? record->memory.get() + ExtensionOffset() : nullptr;
    device->DeviceType = DeviceType;
    device->StackSize = 1;
    device->NextDevice = DriverObject->DeviceObject;
    DriverObject->DeviceObject = device;
    record->device = device;
    record->name = name;
    if (!name.empty()) state.deviceNames[name] = device;
    state.devices[device] = std::move(record);
    *DeviceObject = device;
    return STATUS_SUCCESS;
}

VOID IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
    Kernel& kernel = CurrentKernel();
    KernelState& state = kernel.state();
    std::unique_lock lock(state.lock);
    DeviceRecord* record = state.FindDevice(DeviceObject);
    if (record == nullptr || record->deleted) {
        lock.unlock();
        kernel.verifier().Fail("IoDeleteDevice of a device that does not exist: " +
                               Hex(DeviceObject));
    }

    // An IRP that went through this device and has not come back up is lost with it.
    for (const auto& [irp, irpRecord] : state.irps) {
        if (irpRecord->completed || irpRecord->freed) continue;
        for (int location = irp->CurrentLocation; location <= irp->StackCount; ++location) {
            PIO_STACK_LOCATION stack = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + location - 1;
            if (stack->DeviceObject != DeviceObject) continue;
            bool removal = stack->MajorFunction == IRP_MJ_PNP &&
                           stack->MinorFunction == IRP_MN_REMOVE_DEVICE;
            if (removal) continue;  // the removal request itself may finish after this
            std::string what = "IRP leaked at removal: IRP " + Hex(irp) + " (major " +
                               std::to_string(stack->MajorFunction) + ") of device " +
                               Hex(DeviceObject) + " not completed when the device was deleted";
            if (irpRecord->halted)
                what += " (its completion routine returned STATUS_MORE_PROCESSING_REQUIRED)";
            lock.unlock();
            kernel.verifier().Fail(what);
        }
    }

    PDRIVER_OBJECT driver = DeviceObject->DriverObject;
    for (PDEVICE_OBJECT* link = &driver->DeviceObject; *link != nullptr;
         link = &(*link)->NextDevice) {
        if (*link == DeviceObject) {
            *link = DeviceObject->NextDevice;
            break;
        }
    }
    if (!record->name.empty()) state.deviceNames.erase(record->name);
    record->deleted = true;
    ReleaseIfUnusedLocked(state, *record);
}

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
    KernelState& state = CurrentKernel().state();
    std::wstring link = CanonicalName(SymbolicLinkName);
    std::wstring target = CanonicalName(DeviceName);
    if (link.empty() || target.empty()) return STATUS_OBJECT_NAME_INVALID;
    std::lock_guard lock(state.lock);
    if (state.links.contains(link) || state.deviceNames.contains(link))
        return STATUS_OBJECT_NAME_COLLISION;
    state.links[link] = target;
    return STATUS_SUCCESS;
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
    KernelState& state = CurrentKernel().state();
    std::lock_guard lock(state.lock);
    return state.links.erase(CanonicalName(SymbolicLinkName)) > 0 ? STATUS_SUCCESS
                                                                  : STATUS_OBJECT_NAME_NOT_FOUND;
}

PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice,
                                           PDEVICE_OBJECT TargetDevice) {
    KernelState& state = CurrentKernel().state();
    std::lock_guard lock(state.lock);
    DeviceRecord* source = state.FindDevice(SourceDevice);
    DeviceRecord* target = state.FindDevice(TargetDevice);
    if (state.failNextAttach) {
        state.failNextAttach = false;
        return nullptr;
    }
    if (source == nullptr || target == nullptr || target->deleted) return nullptr;
    PDEVICE_OBJECT top = TargetDevice;
    while (top->AttachedDevice != nullptr) top = top->AttachedDevice;
    top->AttachedDevice = SourceDevice;
    SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
    source->lower = top;
    return top;
}

VOID IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
    KernelState& state = CurrentKernel().state();
    std::lock_guard lock(state.lock);
    PDEVICE_OBJECT upper = TargetDevice->AttachedDevice;
    if (upper == nullptr) return;
    if (DeviceRecord* record = state.FindDevice(upper)) record->lower = nullptr;
    TargetDevice->AttachedDevice = nullptr;
}

PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject) {
    KernelState& state = CurrentKernel().state();
    std::lock_guard lock(state.lock);
    PDEVICE_OBJECT top = DeviceObject;
    while (top->AttachedDevice != nullptr) top = top->AttachedDevice;
    InterlockedIncrement(&top->ReferenceCount);
    return top;
}

VOID ObfReferenceObject(PVOID Object) {
    KernelState& state = CurrentKernel().state();
    std::lock_guard lock(state.lock);
    auto* device = static_cast<PDEVICE_OBJECT>(Object);
    if (state.FindDevice(device) != nullptr) InterlockedIncrement(&device->ReferenceCount);
}

VOID ObfDereferenceObject(PVOID Object) {
    Kernel& kernel = CurrentKernel();
    KernelState& state = kernel.state();
    std::unique_lock lock(state.lock);
    auto* device = static_cast<PDEVICE_OBJECT>(Object);
    DeviceRecord* record = state.FindDevice(device);
    if (record == nullptr || device->ReferenceCount <= 0) {
        lock.unlock();
        kernel.verifier().Fail("unbalanced reference: ObDereferenceObject of " + Hex(Object) +
                               " without a reference");
    }
    InterlockedDecrement(&device->ReferenceCount);
    ReleaseIfUnusedLocked(state, *record);
}

}  // extern "C"
