// The USB bus driver stand-in: a root hub whose ports take devices. For each connected device
// it creates the physical device object (PDO) that the function driver attaches on top of,
// and executes the URBs that arrive there (IRP_MJ_INTERNAL_DEVICE_CONTROL,
// IOCTL_INTERNAL_USB_SUBMIT_URB) through the port's host controller, completing them
// asynchronously as a real bus does.
//
// What the PDO does with a URB:
// - GET_DESCRIPTOR_FROM_DEVICE, VENDOR_*, CLASS_*, CONTROL_TRANSFER: one control transfer on
//   the default pipe; TransferBufferLength becomes the bytes of the data stage.
// - SELECT_CONFIGURATION: SET_CONFIGURATION, then SET_INTERFACE for each interface of the
//   block; fills the configuration, interface and pipe handles and each pipe's endpoint
//   address, type, wMaxPacketSize and interval from the descriptor in the URB, and keeps the
//   caller's MaximumTransferSize as that pipe's limit. A NULL descriptor unconfigures.
// - BULK_OR_INTERRUPT_TRANSFER: queued on its pipe in submission order and carried whole by
//   the device's connection. Longer than the pipe's MaximumTransferSize:
//   USBD_STATUS_INVALID_PARAMETER. A short IN packet ends the transfer; without
//   USBD_SHORT_TRANSFER_OK that is USBD_STATUS_ERROR_SHORT_TRANSFER with the bytes moved so
//   far in TransferBufferLength.
// - ABORT_PIPE: the pipe's outstanding transfers complete with USBD_STATUS_CANCELED and
//   STATUS_CANCELLED (bytes moved so far reported); the abort completes after them.
// - A stall on a bulk or interrupt pipe halts the pipe: later transfers on it end with
//   USBD_STATUS_ENDPOINT_HALTED until a reset. RESET_PIPE (SYNC_RESET_PIPE_AND_CLEAR_STALL)
//   clears the halt here and the connection clears the endpoint's; SYNC_RESET_PIPE clears
//   the halt here only, SYNC_CLEAR_STALL the endpoint's only.
// - A stall answers USBD_STATUS_STALL_PID; an unplugged device USBD_STATUS_DEV_NOT_RESPONDING
//   with STATUS_DEVICE_NOT_CONNECTED; after IRP_MN_REMOVE_DEVICE every URB ends with
//   USBD_STATUS_DEVICE_GONE and STATUS_NO_SUCH_DEVICE; a block too short for its function, a bad pipe handle
//   or a bad buffer USBD_STATUS_INVALID_PARAMETER / USBD_STATUS_INVALID_PIPE_HANDLE with
//   STATUS_INVALID_PARAMETER; an unknown function USBD_STATUS_INVALID_URB_FUNCTION with
//   STATUS_NOT_SUPPORTED.
// IOCTL_INTERNAL_USB_RESET_PORT resets the device (UsbConnection::ResetPort) and closes its
// pipes; IOCTL_INTERNAL_USB_GET_PORT_STATUS reports USBD_PORT_ENABLED | USBD_PORT_CONNECTED.
// PnP and power IRPs complete as a bus driver completes them on its PDO: start, stop, remove,
// surprise removal and the query/cancel pairs succeed; other minors keep their current status.
//
// Below the URBs each port has a `UsbConnection` (whole transfers): a device on the built-in
// simulated bus (simulated_bus.h has its timing), or one that the caller brings, such as a
// real device through libusb. Completion::Synchronous executes each URB inside IofCallDriver
// on the caller's thread (on the simulated bus with no time charged).
#pragma once

#include <memory>

#include <functional>

#include "clock.h"
#include "simulated_bus.h"
#include "usb_connection.h"
#include "usb_device.h"

struct _DEVICE_OBJECT;
struct _DRIVER_OBJECT;

namespace platform::kernel {
class Kernel;
}

namespace platform::usb {

enum class Completion {
    Asynchronous,  // on the host-controller thread; IofCallDriver returns STATUS_PENDING
    Synchronous,   // inside IofCallDriver, before it returns
};

class BusDriver {
public:
    // Loads the bus driver's driver object into `kernel` and starts the host controller.
    explicit BusDriver(kernel::Kernel& kernel);
    // Stops the host controller, deletes the PDOs left and unloads the driver object.
    ~BusDriver();
    BusDriver(const BusDriver&) = delete;
    BusDriver& operator=(const BusDriver&) = delete;

    // A device is connected to a free port: its PDO is created (the caller then reports it to
    // the PnP manager). The bus keeps the device until the PDO is deleted.
    _DEVICE_OBJECT* Connect(std::shared_ptr<UsbDevice> device);
    // The same for a device that brings its own connection. `unplugged` is called, on any
    // thread, when the device went away by itself; the caller then runs the removal as after
    // Disconnect.
    _DEVICE_OBJECT* Connect(std::unique_ptr<UsbConnection> connection, std::function<void()> unplugged);
    // The cable is pulled: transfers in flight, queued or submitted later fail with
    // USBD_STATUS_DEV_NOT_RESPONDING and STATUS_DEVICE_NOT_CONNECTED.
    void Disconnect(_DEVICE_OBJECT* pdo);
    // Once the PnP removal has finished (nothing attached to the PDO any more).
    void DeletePdo(_DEVICE_OBJECT* pdo);

    void SetTiming(Timing timing);  // of the simulated bus
    void SetCompletion(Completion completion);
    // The minor functions of the PnP requests that reached the PDO, oldest first.
    std::vector<std::uint8_t> PnpMinorsSeen(_DEVICE_OBJECT* pdo) const;

    _DRIVER_OBJECT* driverObject() const;

    struct State;  // the bus's private state (host controller, ports, pipes)

private:
    std::unique_ptr<State> state_;
};

}  // namespace platform::usb
