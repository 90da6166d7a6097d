// The bus driver's private state: ports, pipes and the transfers queued on them. Everything
// here is guarded by the clock's mutex, so that the host controller's clock waits and the
// changes that should wake it cannot cross.
#pragma once

#include <wdm.h>
#include <usbdi.h>
#include <usbdlib.h>

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <thread>
#include <vector>

#include "bus_driver.h"

namespace platform::usb {

struct Port;
struct Pipe;

// One URB on its way through the host controller.
struct Transfer {
    enum class Kind { Control, Data, SelectConfiguration };

    PIRP irp = nullptr;
    PURB urb = nullptr;
    Kind kind = Kind::Control;
    Port* port = nullptr;
    Pipe* pipe = nullptr;
    ULONG* lengthField = nullptr;  // the URB's TransferBufferLength, set to the bytes moved
    bool runsInline = false;       // executed by the submitting thread (Completion::Synchronous)

    // Control: the setup packets to send, one per step (select configuration has several).
    std::vector<SetupPacket> steps;
    std::size_t step = 0;

    // Data stage or bulk data, already mapped.
    std::span<std::uint8_t> buffer;
    bool in = false;
    bool shortOk = false;
    std::size_t moved = 0;

    // Outcome.
    bool finished = false;
    USBD_STATUS usbd = USBD_STATUS_SUCCESS;

    // Cancellation bookkeeping (see host_controller.cpp, Finish).
    bool inFlight = false;          // the host controller is calling the device for it
    bool cancelArmed = false;       // a cancel routine was set on the IRP
    bool cancelRoutineRan = false;  // ... and it has run
    std::optional<USBD_STATUS> failWith;  // cancel, abort or unplug arrived while in flight
    bool awaitingCancelRoutine = false;
};

struct Pipe {
    USBD_PIPE_HANDLE handle = nullptr;  // nullptr for the default pipe
    std::uint8_t endpoint = 0;          // address with direction bit
    USBD_PIPE_TYPE type = UsbdPipeTypeControl;
    std::uint16_t maxPacket = 8;
    std::uint8_t interval = 0;
    ULONG maxTransfer = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;

    std::deque<Transfer*> queue;
    // After a NotYet: parked until this time, or (nullopt) until the port's change count moves.
    bool parked = false;
    std::optional<Clock::TimePoint> retryAt;
    std::uint64_t parkedAtChange = 0;
    std::int64_t lastControlFrame = -1;
    std::vector<PIRP> waitingAborts;  // aborts that wait for the transfer in flight
    bool halted = false;  // a stall halted it; a reset-pipe request clears it
};

struct Port {
    int number = 0;
    std::shared_ptr<UsbDevice> device;
    PDEVICE_OBJECT pdo = nullptr;
    bool connected = true;
    bool removed = false;
    std::uint64_t changes = 0;  // bumped by submissions, aborts, unplug, the device's wake-up

    Pipe control;                              // the default pipe
    std::vector<std::unique_ptr<Pipe>> pipes;    // of the selected configuration
    std::vector<std::unique_ptr<Pipe>> retired;  // of earlier ones, kept while the port lives
};

struct PdoExtension {
    BusDriver::State* bus;
    Port* port;
};

struct BusDriver::State {
    explicit State(kernel::Kernel& kernel);

    kernel::Kernel& kernel;
    Clock& clock;
    PDRIVER_OBJECT driver = nullptr;

    Timing timing = Timing::FullSpeed;
    Completion completion = Completion::Asynchronous;

    std::map<PDEVICE_OBJECT, std::unique_ptr<Port>> ports;
    std::map<PIRP, std::unique_ptr<Transfer>> transfers;  // every transfer not yet completed, by its IRP
    int nextPort = 1;
    std::uintptr_t nextHandle = 0x1000;
    bool deviceBusy = false;  // a device call is running (the seam takes one at a time)
    Port* busyPort = nullptr;
    bool frameActive = false;  // the host controller is inside a frame and holds port pointers
    bool stopping = false;
    std::vector<PIRP> readyAborts;  // aborts whose transfers have all ended
    std::thread hostController;

    // bus_driver.cpp: the PDO's dispatch.
    NTSTATUS Dispatch(Port& port, PIRP irp);
    NTSTATUS SubmitUrb(Port& port, PIRP irp, PURB urb);
    NTSTATUS CompleteNow(PIRP irp, PURB urb, USBD_STATUS usbd);
    NTSTATUS ResetPort(Port& port, PIRP irp);
    NTSTATUS Abort(Port& port, PIRP irp, PURB urb, Pipe* pipe);
    void Cancel(PIRP irp);

    Pipe* FindPipe(Port& port, USBD_PIPE_HANDLE handle);

    // host_controller.cpp: executing queued transfers. "lock" is the clock's mutex, held.
    enum class StepResult { Progress, Parked, Finished };
    void Run();
    void RunFrame(std::unique_lock<std::mutex>& lock, std::vector<Transfer*>& done);
    bool Ready(const Port& port, const Pipe& pipe, Clock::TimePoint now) const;
    bool AnyReady(Clock::TimePoint now) const;
    std::optional<Clock::TimePoint> EarliestRetry() const;
    void Enqueue(Transfer* transfer);
    NTSTATUS ExecuteInline(std::unique_lock<std::mutex>& lock, Transfer* transfer);
    StepResult Step(std::unique_lock<std::mutex>& lock, Transfer& transfer, std::vector<Transfer*>& done);
    StepResult Settle(Transfer& transfer, const TransferReply& reply, std::size_t offered,
                      std::optional<Clock::TimePoint> nextChance, std::vector<Transfer*>& done);
    void Fail(Pipe& pipe, USBD_STATUS usbd, std::vector<Transfer*>& done);
    void Finish(Transfer* transfer, std::vector<Transfer*>& done);
    void Configure(Transfer& transfer, std::vector<Transfer*>& done);
    void CompleteAll(std::unique_lock<std::mutex>& lock, std::vector<Transfer*>& done);
};

VOID NTAPI BusCancel(PDEVICE_OBJECT device, PIRP irp);

// The endpoint descriptors that follow `interface` up to the next interface descriptor.
std::vector<PUSB_ENDPOINT_DESCRIPTOR> EndpointsOf(PUSB_CONFIGURATION_DESCRIPTOR configuration,
                                                  PUSB_INTERFACE_DESCRIPTOR interface);
constexpr std::size_t kInterfaceHeader = offsetof(USBD_INTERFACE_INFORMATION, Pipes);
constexpr std::size_t kFirstInterface = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);

// One error vocabulary per layer: what the IRP says for a URB's USBD status.
NTSTATUS NtStatusFromUsbd(USBD_STATUS usbd);

}  // namespace platform::usb
