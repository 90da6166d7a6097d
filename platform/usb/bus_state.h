// The bus driver's private state: ports, their pipes and the URBs outstanding on them. Guarded
// by the clock's mutex, which is never held while a connection is called.
#pragma once

#include <wdm.h>
#include <usbdi.h>
#include <usbdlib.h>

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "bus_driver.h"
#include "simulated_bus.h"
#include "usb_connection.h"

namespace platform::usb {

struct Port;
struct Pipe;

// An abort of a pipe completes once every transfer it found there has ended.
struct PendingAbort {
    PIRP irp = nullptr;
    int remaining = 0;
};

// One URB on its way: the transfer the connection carries plus what the IRP needs.
struct Transfer : UsbTransfer {
    PIRP irp = nullptr;
    PURB urb = nullptr;
    Port* port = nullptr;
    Pipe* pipe = nullptr;          // nullptr on the default pipe
    ULONG* lengthField = nullptr;  // the URB's TransferBufferLength, set to the bytes moved
    std::vector<std::shared_ptr<PendingAbort>> aborts;

    bool ended = false;             // the connection has handed it back
    bool cancelArmed = false;       // a cancel routine was set on the IRP
    bool cancelRoutineRan = false;  // ... and it has run
    bool cancelling = false;        // the cancel routine is calling the connection
    bool awaitingCancelRoutine = false;
};

struct Pipe {
    USBD_PIPE_HANDLE handle = nullptr;
    std::uint8_t endpoint = 0;  // address with direction bit
    USBD_PIPE_TYPE type = UsbdPipeTypeBulk;
    ULONG maxTransfer = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
    bool halted = false;  // a stall halted it; a reset-pipe request clears it
};

struct Port {
    int number = 0;
    std::unique_ptr<UsbConnection> connection;
    PDEVICE_OBJECT pdo = nullptr;
    bool connected = true;
    bool removed = false;
    std::vector<std::uint8_t> pnpMinors;  // the PnP requests that reached the PDO, in order
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
    SimulatedBus simulated;

    Completion completion = Completion::Asynchronous;

    std::map<PDEVICE_OBJECT, std::unique_ptr<Port>> ports;
    std::map<PIRP, std::unique_ptr<Transfer>> transfers;  // every transfer not yet completed, by its IRP
    int nextPort = 1;
    std::uintptr_t nextHandle = 0x1000;

    PDEVICE_OBJECT AddPort(std::unique_ptr<UsbConnection> connection, UsbConnection::Unplugged unplugged);

    // bus_driver.cpp: the PDO's dispatch.
    NTSTATUS Dispatch(Port& port, PIRP irp);
    NTSTATUS SubmitUrb(Port& port, PIRP irp, PURB urb);
    NTSTATUS CompleteNow(PIRP irp, PURB urb, USBD_STATUS usbd);
    NTSTATUS ResetPort(Port& port, PIRP irp);
    NTSTATUS Abort(Port& port, PIRP irp, PURB urb, Pipe* pipe);
    NTSTATUS ClearStall(Port& port, PIRP irp, PURB urb, Pipe* pipe);
    void Cancel(PIRP irp);
    void StopPort(Port& port, USBD_STATUS why);
    Pipe* FindPipe(Port& port, USBD_PIPE_HANDLE handle);

    // bus_completion.cpp: transfers handed back by the connection.
    void OnCompleted(UsbTransfer& done);
    // With the lock held: writes the outcome into the URB and the IRP; true when the IRP may
    // complete now (else its cancel routine or its submitter completes it).
    bool Settle(Transfer& transfer);
    // Forgets the transfer and completes its IRP, then the aborts that waited for it only.
    void CompleteTransfer(std::unique_lock<std::mutex>& lock, Transfer* transfer);
    void Configure(Transfer& transfer);
};

VOID NTAPI BusCancel(PDEVICE_OBJECT device, PIRP irp);

// The endpoint descriptors that follow `interface` up to the next interface descriptor.
std::vector<PUSB_ENDPOINT_DESCRIPTOR> EndpointsOf(PUSB_CONFIGURATION_DESCRIPTOR configuration,
                                                  PUSB_INTERFACE_DESCRIPTOR interface);
constexpr std::size_t kInterfaceHeader = offsetof(USBD_INTERFACE_INFORMATION, Pipes);
constexpr std::size_t kFirstInterface = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);

// One error vocabulary per layer: what the IRP says for a URB's USBD status.
NTSTATUS NtStatusFromUsbd(USBD_STATUS usbd);
NTSTATUS Complete(PIRP irp, NTSTATUS status);

}  // namespace platform::usb
