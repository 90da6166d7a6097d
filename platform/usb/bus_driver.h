// The USB bus driver stand-in: one host controller with a root hub whose ports take
// `UsbDevice`s. For each connected device it creates the physical device object (PDO) that the
// function driver attaches on top of, and executes the URBs that arrive there
// (IRP_MJ_INTERNAL_DEVICE_CONTROL, IOCTL_INTERNAL_USB_SUBMIT_URB) against the device on a
// host-controller thread of its own, completing them asynchronously as a real bus does.
//
// What the PDO does with a URB:
// - GET_DESCRIPTOR_FROM_DEVICE, VENDOR_*, CLASS_*, CONTROL_TRANSFER: one control transfer on
//   the default pipe; TransferBufferLength becomes the bytes of the data stage.
// - SELECT_CONFIGURATION: SET_CONFIGURATION, then SET_INTERFACE for each interface of the
//   block; fills the configuration, interface and pipe handles and each pipe's endpoint
//   address, type, wMaxPacketSize and interval from the descriptor in the URB, and keeps the
//   caller's MaximumTransferSize as that pipe's limit. A NULL descriptor unconfigures.
// - BULK_OR_INTERRUPT_TRANSFER: queued on its pipe in submission order and moved in packets
//   of wMaxPacketSize. Longer than the pipe's MaximumTransferSize: USBD_STATUS_INVALID_PARAMETER.
//   A short IN packet ends the transfer; without USBD_SHORT_TRANSFER_OK that is
//   USBD_STATUS_ERROR_SHORT_TRANSFER with the bytes moved so far in TransferBufferLength.
// - ABORT_PIPE: the pipe's outstanding transfers complete with USBD_STATUS_CANCELED and
//   STATUS_CANCELLED (bytes moved so far reported); the abort completes after them.
// - A stall on a bulk or interrupt pipe halts the pipe: the stalled transfer ends with
//   USBD_STATUS_STALL_PID, those queued behind it and any submitted later with
//   USBD_STATUS_ENDPOINT_HALTED, until the pipe is reset. SYNC_RESET_PIPE_AND_CLEAR_STALL
//   (RESET_PIPE) clears the halt and sends CLEAR_FEATURE(ENDPOINT_HALT) to the endpoint;
//   SYNC_RESET_PIPE clears the halt only; SYNC_CLEAR_STALL sends the CLEAR_FEATURE only.
// - A stall on the default pipe answers USBD_STATUS_STALL_PID; an unplugged device USBD_STATUS_DEV_NOT_RESPONDING
//   with STATUS_DEVICE_NOT_CONNECTED; after IRP_MN_REMOVE_DEVICE every URB ends with
//   USBD_STATUS_DEVICE_GONE and STATUS_NO_SUCH_DEVICE; a block too short for its function, a bad pipe handle
//   or a bad buffer USBD_STATUS_INVALID_PARAMETER / USBD_STATUS_INVALID_PIPE_HANDLE with
//   STATUS_INVALID_PARAMETER; an unknown function USBD_STATUS_INVALID_URB_FUNCTION with
//   STATUS_NOT_SUPPORTED.
// IOCTL_INTERNAL_USB_RESET_PORT resets the device (UsbDevice::Reset) and closes its pipes;
// IOCTL_INTERNAL_USB_GET_PORT_STATUS reports USBD_PORT_ENABLED | USBD_PORT_CONNECTED.
// PnP and power IRPs complete as a bus driver completes them on its PDO: start, stop, remove,
// surprise removal and the query/cancel pairs succeed; other minors keep their current status.
//
// Timing (charged to the platform clock on the host-controller thread), a full-speed USB 1.1
// bus with 1-ms frames:
// - A control transfer, setup, data and status stages together, completes at the end of the
//   frame in which it is issued (a transfer issued at 0.3 ms completes at 1 ms); a selection
//   sends one request per frame.
// - Bulk and interrupt data moves at most 19 packets per frame across the whole bus
//   (19 x 64 bytes = 1216 bytes per ms), each packet taking 1/19 ms of bus time, round-robin
//   over the pipes; a transfer completes at the end of the frame that carried its last packet.
//   153600 bytes in 64-byte packets: 2400 packets, 127 frames.
// - After a NotYet (NAK) the pipe is retried at the device's NextChance, within the same frame
//   when it falls there (a NAK itself takes no packet time), or, without a NextChance, when
//   something changes: a new transfer to the device, an abort, an unplug, or the device's own
//   wake-up (UsbDevice::Attach).
// Timing::Instant charges no time; Completion::Synchronous executes each URB inside
// IofCallDriver on the caller's thread (no time charged either).
#pragma once

#include <memory>

#include "clock.h"
#include "usb_device.h"

struct _DEVICE_OBJECT;
struct _DRIVER_OBJECT;

namespace platform::kernel {
class Kernel;
}

namespace platform::usb {

enum class Timing {
    FullSpeed,  // 1-ms frames, 19 bulk packets per frame
    Instant,    // every transfer as soon as the device answers
};

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
    // The cable is pulled: transfers in flight, queued or submitted later fail with
    // USBD_STATUS_DEV_NOT_RESPONDING and STATUS_DEVICE_NOT_CONNECTED.
    void Disconnect(_DEVICE_OBJECT* pdo);
    // Once the PnP removal has finished (nothing attached to the PDO any more).
    void DeletePdo(_DEVICE_OBJECT* pdo);

    void SetTiming(Timing timing);
    void SetCompletion(Completion completion);

    _DRIVER_OBJECT* driverObject() const;

    struct State;  // the bus's private state (host controller, ports, pipes)

private:
    std::unique_ptr<State> state_;
};

}  // namespace platform::usb
