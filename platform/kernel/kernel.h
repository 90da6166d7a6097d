// The Windows kernel stand-in: I/O manager, object manager, PnP manager, pool, events and the
// verifier, for one booted machine. One Kernel exists at a time; it is Kernel::Current() for the
// driver-facing C functions of wdm.h, which have no context argument.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "clock.h"
#include "debug_log.h"
#include "verifier.h"
#include "wdm.h"

namespace platform::kernel {

struct KernelState;

// A removal running on its own PnP thread.
class RemovalTicket {
public:
    struct State;
    RemovalTicket() = default;
    RemovalTicket(Clock& clock, std::shared_ptr<State> state);

    // Waits on the clock until the removal has finished (IRP_MN_REMOVE_DEVICE returned) or
    // `timeout` passed; without a timeout, waits as long as it takes. Returns whether it finished.
    bool Wait(std::optional<Clock::Duration> timeout = {});
    bool Finished() const;

private:
    Clock* clock_ = nullptr;
    std::shared_ptr<State> state_;
};

class Kernel {
public:
    explicit Kernel(Clock& clock);
    Kernel(const Kernel&) = delete;
    Kernel& operator=(const Kernel&) = delete;
    // Waits for running removals, then runs the verifier's final checks.
    ~Kernel();

    static Kernel* Current();

    // Counts boots across the process, from 1: a kernel booted where an earlier one stood still
    // tells itself apart from it by this number.
    std::uint64_t BootSerial() const { return bootSerial_; }

    Clock& clock() { return clock_; }
    DebugLog& log() { return log_; }
    Verifier& verifier() { return verifier_; }

    // Creates the driver object and calls `entry` with the registry path
    // \Registry\Machine\System\CurrentControlSet\Services\<name>. On failure nothing is left.
    NTSTATUS LoadDriver(std::wstring_view name, PDRIVER_INITIALIZE entry, PDRIVER_OBJECT* out);
    // DriverUnload, then the verifier checks that the driver left no device and no pool with
    // the tags it used.
    void UnloadDriver(PDRIVER_OBJECT driver);

    // PnP arrival: AddDevice of `functionDriver` with the bus driver's `pdo`, then
    // IRP_MN_START_DEVICE to the top of the stack, waited for. Returns the start status.
    NTSTATUS DeviceArrived(PDEVICE_OBJECT pdo, PDRIVER_OBJECT functionDriver);

    // On a PnP thread of its own: IRP_MN_SURPRISE_REMOVAL (when `surprise`), then
    // IRP_MN_REMOVE_DEVICE to the top of the stack. Returns at once.
    RemovalTicket RequestRemoval(PDEVICE_OBJECT pdo, bool surprise);

    // A PnP or power request (IRP_MJ_PNP or IRP_MJ_POWER with `minor`) to the top of `pdo`'s
    // stack, waited for; returns its final status. For tests of the driver's dispatch.
    NTSTATUS SendSystemRequest(PDEVICE_OBJECT pdo, UCHAR major, UCHAR minor);

    // The next IoAttachDeviceToDeviceStack fails (returns null), for tests of that path.
    void FailNextAttach();

    // The device on top of `device`'s stack.
    PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device);

    KernelState& state() { return *state_; }

private:
    void BarOpens(PDEVICE_OBJECT pdo);

    const std::uint64_t bootSerial_;
    Clock& clock_;
    DebugLog log_;
    Verifier verifier_;
    std::unique_ptr<KernelState> state_;
};

}  // namespace platform::kernel
