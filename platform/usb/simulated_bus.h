// A simulated host controller: a full-speed USB 1.1 bus that carries whole transfers to
// packet-level `UsbDevice`s, the way the bus driver's ports see a device (`UsbConnection`).
//
// Timing (charged to the platform clock on the host-controller thread), 1-ms frames:
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
// Timing::Instant charges no time; a transfer submitted onCallerThread is carried out by the
// submitting thread inside Submit, in its turn on its pipe, with no time charged either.
#pragma once

#include <memory>

#include "clock.h"
#include "usb_connection.h"
#include "usb_device.h"

namespace platform::usb {

enum class Timing {
    FullSpeed,  // 1-ms frames, 19 bulk packets per frame
    Instant,    // every transfer as soon as the device answers
};

class SimulatedBus {
public:
    // Starts the host-controller thread.
    explicit SimulatedBus(Clock& clock);
    // Stops it; every connection must have been destroyed before.
    ~SimulatedBus();
    SimulatedBus(const SimulatedBus&) = delete;
    SimulatedBus& operator=(const SimulatedBus&) = delete;

    // The device on a port of this bus. The connection must not outlive the bus.
    std::unique_ptr<UsbConnection> Connect(std::shared_ptr<UsbDevice> device);

    void SetTiming(Timing timing);

    struct State;

private:
    std::unique_ptr<State> state_;
};

}  // namespace platform::usb
