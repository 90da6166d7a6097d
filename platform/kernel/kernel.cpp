// The Kernel object and its PnP manager: loading and unloading drivers, device arrival and
// removal, and the checks that end a boot.
#include "kernel.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "kernel_state.h"

namespace platform::kernel {

namespace {

Kernel* g_current = nullptr;  // the one process-wide pointer: wdm.h's functions have no context
std::atomic<std::uint64_t> g_boots{0};

extern "C" NTSTATUS InvalidDeviceRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    UNREFERENCED_PARAMETER(DeviceObject);
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Information = 0;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

std::string Narrow(std::wstring_view text) {
    std::string result;
    for (wchar_t c : text) result.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return result;
}

UNICODE_STRING ViewOf(std::wstring& text) {
    UNICODE_STRING view;
    view.Buffer = text.data();
    view.Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
    view.MaximumLength = view.Length;
    return view;
}

}  // namespace

RemovalTicket::RemovalTicket(Clock& clock, std::shared_ptr<State> state)
    : clock_(&clock), state_(std::move(state)) {}

bool RemovalTicket::Wait(std::optional<Clock::Duration> timeout) {
    if (!state_) return true;
    std::unique_lock lock(clock_->mutex());
    std::optional<Clock::TimePoint> deadline;
    if (timeout) deadline = clock_->Now() + *timeout;
    return clock_->WaitUntil(lock, [this] { return state_->finished; }, deadline);
}

bool RemovalTicket::Finished() const {
    if (!state_) return true;
    std::lock_guard lock(clock_->mutex());
    return state_->finished;
}

Kernel::Kernel(Clock& clock)
    : bootSerial_(++g_boots), clock_(clock), state_(std::make_unique<KernelState>()) {
    if (g_current != nullptr) {
        std::fprintf(stderr, "VERIFIER: a second kernel booted while one is running\n");
        std::abort();
    }
    g_current = this;
}

Kernel::~Kernel() {
    std::vector<std::thread> threads;
    {
        std::lock_guard lock(state_->lock);
        threads.swap(state_->pnpThreads);
    }
    {
        Clock::BlockedOutside blocked(clock_);
        for (std::thread& thread : threads) thread.join();
    }

    for (const auto& [irp, record] : state_->irps) {
        if (record->freed) continue;
        if (record->origin == IrpOrigin::Allocated)
            verifier_.Fail("IRP " + Hex(irp) + " from IoAllocateIrp never freed");
        verifier_.Fail("IRP " + Hex(irp) + " never completed");
    }
    if (!state_->mdls.empty()) verifier_.Fail("MDL " + Hex(*state_->mdls.begin()) + " never freed");
    for (const auto& [device, record] : state_->devices) {
        if (device->ReferenceCount != 0) {
            verifier_.Fail("unbalanced reference: device " + Hex(device) + " left with " +
                           std::to_string(device->ReferenceCount) + " references");
        }
    }
    verifier_.CheckNoPool("at shutdown");
    for (FileObject* file : state_->files) delete file;
    g_current = nullptr;
}

Kernel* Kernel::Current() { return g_current; }

NTSTATUS Kernel::LoadDriver(std::wstring_view name, PDRIVER_INITIALIZE entry,
                            PDRIVER_OBJECT* out) {
    *out = nullptr;
    auto record = std::make_unique<DriverRecord>();
    record->driverName = L"\\Driver\\" + std::wstring(name);
    record->registryPath =
        L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + std::wstring(name);
    DRIVER_OBJECT& driver = record->object;
    driver.Type = 4;
    driver.Size = sizeof(DRIVER_OBJECT);
    driver.DriverExtension = &record->extension;
    record->extension.DriverObject = &driver;
    driver.DriverName = ViewOf(record->driverName);
    driver.DriverInit = entry;
    for (PDRIVER_DISPATCH& dispatch : driver.MajorFunction) dispatch = InvalidDeviceRequest;
    UNICODE_STRING registryPath = ViewOf(record->registryPath);

    {
        std::lock_guard lock(state_->lock);
        state_->drivers[&driver] = std::move(record);
    }
    NTSTATUS status;
    {
        DriverCodeScope scope(&driver);
        status = entry(&driver, &registryPath);
    }
    if (!NT_SUCCESS(status)) {
        // Windows unloads a driver whose entry failed without calling its unload routine, so
        // the entry itself must have given everything back.
        std::string owner = Narrow(driver.DriverName.Buffer == nullptr
                                       ? std::wstring_view()
                                       : std::wstring_view(driver.DriverName.Buffer,
                                                           driver.DriverName.Length / sizeof(WCHAR)));
        if (driver.DeviceObject != nullptr)
            verifier_.Fail("DriverEntry of " + owner + " failed and left device " +
                           Hex(driver.DeviceObject));
        std::vector<ULONG> tags;
        {
            std::lock_guard lock(state_->lock);
            DriverRecord& failed = *state_->drivers.at(&driver);
            tags.assign(failed.tags.begin(), failed.tags.end());
        }
        verifier_.CheckNoPoolWithTags(owner, tags.data(), tags.size());
        std::lock_guard lock(state_->lock);
        state_->drivers.erase(&driver);
        return status;
    }
    *out = &driver;
    return status;
}

void Kernel::UnloadDriver(PDRIVER_OBJECT driver) {
    DriverRecord* record;
    {
        std::lock_guard lock(state_->lock);
        auto it = state_->drivers.find(driver);
        if (it == state_->drivers.end()) verifier_.Fail("UnloadDriver of an unknown driver");
        record = it->second.get();
    }
    if (driver->DriverUnload != nullptr) {
        DriverCodeScope scope(driver);
        driver->DriverUnload(driver);
    }
    std::string name = Narrow(record->driverName);
    {
        std::unique_lock lock(state_->lock);
        for (const auto& [irp, irpRecord] : state_->irps) {
            if (irpRecord->freed || irpRecord->allocatedBy != driver) continue;
            std::string what = "IRP " + Hex(irp) + " from IoAllocateIrp of " + name +
                               " never freed when the driver unloaded";
            if (irpRecord->halted)
                what += " (its completion routine returned STATUS_MORE_PROCESSING_REQUIRED and "
                        "nothing completed or freed it after)";
            lock.unlock();
            verifier_.Fail(what);
        }
    }
    if (driver->DeviceObject != nullptr) {
        verifier_.Fail("driver " + name + " unloaded with device " + Hex(driver->DeviceObject) +
                       " not deleted");
    }
    std::vector<ULONG> tags;
    {
        std::lock_guard lock(state_->lock);
        tags.assign(record->tags.begin(), record->tags.end());
    }
    verifier_.CheckNoPoolWithTags(name, tags.data(), tags.size());
    std::lock_guard lock(state_->lock);
    state_->drivers.erase(driver);
}

NTSTATUS Kernel::DeviceArrived(PDEVICE_OBJECT pdo, PDRIVER_OBJECT functionDriver) {
    PDRIVER_ADD_DEVICE addDevice = functionDriver->DriverExtension->AddDevice;
    if (addDevice == nullptr) return STATUS_NOT_SUPPORTED;
    NTSTATUS status;
    {
        DriverCodeScope scope(functionDriver);
        status = addDevice(functionDriver, pdo);
    }
    if (!NT_SUCCESS(status)) return status;
    return SendSystemRequest(pdo, IRP_MJ_PNP, IRP_MN_START_DEVICE);
}

RemovalTicket Kernel::RequestRemoval(PDEVICE_OBJECT pdo, bool surprise) {
    auto ticket = std::make_shared<RemovalTicket::State>();
    std::thread thread = clock_.StartThread([this, pdo, surprise, ticket] {
        BarOpens(pdo);
        if (surprise) SendSystemRequest(pdo, IRP_MJ_PNP, IRP_MN_SURPRISE_REMOVAL);
        SendSystemRequest(pdo, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE);
        {
            std::lock_guard lock(clock_.mutex());
            ticket->finished = true;
        }
        clock_.NotifyAll();
    });
    std::lock_guard lock(state_->lock);
    state_->pnpThreads.push_back(std::move(thread));
    return RemovalTicket(clock_, ticket);
}

// As Windows marks a stack remove-pending before its removal requests: opens from now on are
// refused, and an open already on its way to the driver finishes first, so that no create is
// still inside the driver when removal deletes the device.
void Kernel::BarOpens(PDEVICE_OBJECT pdo) {
    {
        std::lock_guard lock(state_->lock);
        for (PDEVICE_OBJECT device = pdo; device != nullptr; device = device->AttachedDevice)
            if (DeviceRecord* record = state_->FindDevice(device)) record->removePending = true;
    }
    std::unique_lock lock(clock_.mutex());
    clock_.WaitUntil(lock, [this] { return state_->createsInFlight == 0; }, std::nullopt);
}

NTSTATUS Kernel::SendSystemRequest(PDEVICE_OBJECT pdo, UCHAR major, UCHAR minor) {
    PDEVICE_OBJECT top = TopOfStack(pdo);
    IrpRecord& record = CreateIrp(*this, IrpOrigin::User, top->StackSize);
    PIRP irp = record.irp;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;  // what a PnP request starts with
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = major;
    stack->MinorFunction = minor;
    return CallAndWait(*this, top, record);
}

PDEVICE_OBJECT Kernel::TopOfStack(PDEVICE_OBJECT device) {
    std::lock_guard lock(state_->lock);
    while (device->AttachedDevice != nullptr) device = device->AttachedDevice;
    return device;
}

void Kernel::FailNextAttach() {
    std::lock_guard lock(state_->lock);
    state_->failNextAttach = true;
}

}  // namespace platform::kernel
