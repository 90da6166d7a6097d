// The device end of a root-hub port as the bus driver sees it: whole transfers, not packets.
// Two implementations: the simulated bus (frames and packets over a packet-level `UsbDevice`,
// simulated_bus.h) and a real host controller through libusb (platform/libusb).
//
// Threads and locks: the bus driver never calls a connection while holding the clock's mutex;
// a connection calls the bus back (Completed, Unplugged) without holding any lock of its own,
// on a thread of its own, or inside Submit, Cancel, Abort, ResetPort or Stop when the
// transfer ends there.
#pragma once

#include <usbdi.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "usb_device.h"

namespace platform::usb {

// A pipe of the selected configuration, as its endpoint descriptor gives it.
struct EndpointInfo {
    std::uint8_t address = 0;  // with the direction bit
    USBD_PIPE_TYPE type = UsbdPipeTypeBulk;
    std::uint16_t maxPacket = 64;
};

// One transfer. The bus driver owns it and keeps it alive until Completed has been called for
// it, which happens exactly once per Submit.
struct UsbTransfer {
    enum class Kind {
        Control,    // steps[0] on the default pipe; `buffer` is the data stage
        Data,       // bulk or interrupt on `endpoint`, `buffer` whole
        Selection,  // SET_CONFIGURATION then SET_INTERFACE per interface; opens `endpoints`
    };

    Kind kind = Kind::Control;
    std::vector<SetupPacket> steps;
    std::vector<EndpointInfo> endpoints;
    std::uint8_t endpoint = 0;
    std::span<std::uint8_t> buffer;
    bool in = false;
    bool shortOk = false;        // a short IN packet ends the transfer without an error
    bool onCallerThread = false; // Submit returns only after Completed (synchronous completion)

    // The outcome, set before Completed.
    std::size_t moved = 0;
    USBD_STATUS usbd = USBD_STATUS_SUCCESS;
};

class UsbConnection {
public:
    using Completed = std::function<void(UsbTransfer&)>;
    using Unplugged = std::function<void()>;

    virtual ~UsbConnection() = default;

    // The bus's hooks: `completed` for every transfer that ends, `unplugged` when the device
    // went away by itself. Attach({}, {}) detaches: once it returns neither is called again
    // and no call of the connection is still running for the bus.
    virtual void Attach(Completed completed, Unplugged unplugged) = 0;

    // Queues the transfer behind the others of its pipe, in submission order. An IN transfer
    // ends at a short packet (USBD_STATUS_ERROR_SHORT_TRANSFER unless shortOk), a stall is
    // USBD_STATUS_STALL_PID, a device that no longer answers USBD_STATUS_DEV_NOT_RESPONDING.
    // A successful Selection closes the earlier pipes (their transfers end as cancelled).
    virtual void Submit(UsbTransfer& transfer) = 0;
    // Ends the transfer with USBD_STATUS_CANCELED unless it has ended already; one that the
    // device is busy with ends when the device lets go of it.
    virtual void Cancel(UsbTransfer& transfer) = 0;
    // Cancel for every transfer queued on the endpoint.
    virtual void Abort(std::uint8_t endpoint) = 0;
    // Clears a halt of the endpoint on both ends (CLEAR_FEATURE ENDPOINT_HALT); returns when done.
    virtual USBD_STATUS ClearStall(std::uint8_t endpoint) = 0;
    // USB port reset: the device is unconfigured and every data transfer ends as cancelled;
    // returns when done.
    virtual void ResetPort() = 0;
    // Every transfer, queued or submitted later, ends with `why` (unplug, removal).
    virtual void Stop(USBD_STATUS why) = 0;
};

}  // namespace platform::usb
