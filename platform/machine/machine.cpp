#include "machine.h"

#include <wdm.h>

#include "app_verifier.h"
#include "kernel.h"

namespace platform {

namespace {

// How long Shutdown waits for a device's removal; past it a handle left open is the likely
// cause, and waiting longer would only hang.
constexpr Clock::Duration kRemovalGrace = std::chrono::seconds(10);

}  // namespace

struct Machine::Plugged {
    PDEVICE_OBJECT pdo = nullptr;
    NTSTATUS startStatus = STATUS_NO_SUCH_DEVICE;
    bool unplugged = false;
    std::optional<kernel::RemovalTicket> removal;
    bool pdoDeleted = false;
};

Machine::Machine(MachineOptions options)
    : clock_(std::make_unique<Clock>(options.clockMode)),
      participant_(std::make_unique<Clock::Participant>(*clock_)),
      kernel_(std::make_unique<kernel::Kernel>(*clock_)) {
    kernel_->log().SetEcho(options.echoLog);
    bus_ = std::make_unique<usb::BusDriver>(*kernel_);
}

Machine::~Machine() { Shutdown(); }

kernel::DebugLog& Machine::log() { return kernel_->log(); }

NTSTATUS Machine::LoadDriver(std::wstring_view name, DriverEntry entry) {
    PDRIVER_OBJECT driver = nullptr;
    NTSTATUS status = kernel_->LoadDriver(name, entry, &driver);
    if (NT_SUCCESS(status)) drivers_.push_back(driver);
    return status;
}

Machine::DeviceId Machine::Plug(std::shared_ptr<usb::UsbDevice> device) {
    auto plugged = std::make_unique<Plugged>();
    plugged->pdo = bus_->Connect(std::move(device));
    return Start(std::move(plugged));
}

Machine::DeviceId Machine::Plug(std::unique_ptr<usb::UsbConnection> connection) {
    auto plugged = std::make_unique<Plugged>();
    Plugged* raw = plugged.get();
    plugged->pdo = bus_->Connect(std::move(connection), [this, raw] { Left(*raw); });
    return Start(std::move(plugged));
}

Machine::DeviceId Machine::Start(std::unique_ptr<Plugged> plugged) {
    if (!drivers_.empty()) {
        plugged->startStatus = kernel_->DeviceArrived(plugged->pdo, drivers_.back());
        // As the PnP manager does: a device that failed to start is removed again.
        if (!NT_SUCCESS(plugged->startStatus) && kernel_->TopOfStack(plugged->pdo) != plugged->pdo)
            kernel_->RequestRemoval(plugged->pdo, false).Wait();
    }
    DeviceId id = nextId_++;
    devices_.emplace(id, std::move(plugged));
    return id;
}

NTSTATUS Machine::StartStatus(DeviceId id) const {
    auto it = devices_.find(id);
    return it == devices_.end() ? STATUS_NO_SUCH_DEVICE : it->second->startStatus;
}

void Machine::Unplug(DeviceId id) {
    auto it = devices_.find(id);
    if (it == devices_.end()) return;
    Plugged& plugged = *it->second;
    {
        std::lock_guard lock(unplugMutex_);
        if (plugged.unplugged) return;
        plugged.unplugged = true;
    }
    bus_->Disconnect(plugged.pdo);
    if (kernel_->TopOfStack(plugged.pdo) != plugged.pdo) {
        std::lock_guard lock(unplugMutex_);
        plugged.removal = kernel_->RequestRemoval(plugged.pdo, true);
    } else {
        bus_->DeletePdo(plugged.pdo);
        plugged.pdoDeleted = true;
    }
}

// The surprise removal starts here; the PDO goes later, on the application's thread
// (WaitRemoved, Shutdown), since deleting it waits for the connection's own thread.
void Machine::Left(Plugged& plugged) {
    {
        std::lock_guard lock(unplugMutex_);
        if (plugged.unplugged) return;
        plugged.unplugged = true;
    }
    bus_->Disconnect(plugged.pdo);
    std::lock_guard lock(unplugMutex_);
    if (kernel_->TopOfStack(plugged.pdo) != plugged.pdo) plugged.removal = kernel_->RequestRemoval(plugged.pdo, true);
}

bool Machine::WaitRemoved(DeviceId id, std::optional<Clock::Duration> timeout) {
    auto it = devices_.find(id);
    if (it == devices_.end()) return false;
    Plugged& plugged = *it->second;
    std::optional<kernel::RemovalTicket> removal;
    {
        std::lock_guard lock(unplugMutex_);
        if (!plugged.unplugged) return false;
        removal = plugged.removal;
    }
    if (plugged.pdoDeleted) return true;
    if (removal && !removal->Wait(timeout)) return false;
    bus_->DeletePdo(plugged.pdo);
    plugged.pdoDeleted = true;
    return true;
}

void Machine::Shutdown() {
    if (shutDown_) return;
    shutDown_ = true;
    // A handle left open would hold its device's removal back; name it instead.
    win32::CheckSessionEnd();
    {
        std::lock_guard lock(unplugMutex_);
        for (auto& [id, plugged] : devices_) {
            plugged->unplugged = true;  // a device leaving from now on changes nothing
            if (plugged->pdoDeleted) continue;
            if (!plugged->removal && kernel_->TopOfStack(plugged->pdo) != plugged->pdo)
                plugged->removal = kernel_->RequestRemoval(plugged->pdo, false);
        }
    }
    for (auto& [id, plugged] : devices_) {
        if (plugged->pdoDeleted) continue;
        if (plugged->removal && !plugged->removal->Wait(kRemovalGrace)) {
            kernel_->verifier().Fail("Machine::Shutdown: the removal of device " + std::to_string(id) +
                                     " did not finish (a handle still open?)");
        }
        bus_->DeletePdo(plugged->pdo);
        plugged->pdoDeleted = true;
    }
    for (auto driver = drivers_.rbegin(); driver != drivers_.rend(); ++driver) kernel_->UnloadDriver(*driver);
    drivers_.clear();
    bus_.reset();
}

}  // namespace platform
