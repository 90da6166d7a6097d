// The device side of the USB cable: the one narrow seam between the bus driver stand-in and a
// device, simulated or real. The bus driver calls these on its host-controller thread (with
// synchronous completion, on the submitting thread), one at a time and never with the clock's
// mutex held; a device may take the clock's mutex itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>

#include "clock.h"  // platform/kernel

namespace platform::usb {

// The 8-byte setup packet of a control transfer, fields as on the wire (little-endian words).
struct SetupPacket {
    std::uint8_t bmRequestType;
    std::uint8_t bRequest;
    std::uint16_t wValue;
    std::uint16_t wIndex;
    std::uint16_t wLength;
};

enum class Reply {
    Ack,     // done: `bytes` moved
    Stall,   // the endpoint refuses the request
    NotYet,  // NAK: nothing to give or take now; ask again (see NextChance)
    Gone,    // the device no longer answers at all (unplugged)
};

struct TransferReply {
    Reply reply;
    std::size_t bytes = 0;
};

class UsbDevice {
public:
    virtual ~UsbDevice() = default;

    // Standard, class and vendor requests on the default pipe, standard ones included
    // (GET_DESCRIPTOR, SET_CONFIGURATION, SET_INTERFACE). For device-to-host requests fill at
    // most setup.wLength bytes of `data` and return how many; for host-to-device `data` holds
    // the wLength bytes of the data stage. An unknown request stalls.
    virtual TransferReply Control(const SetupPacket& setup, std::span<std::uint8_t> data) = 0;

    // One OUT packet (at most the endpoint's wMaxPacketSize bytes) to a bulk or interrupt
    // endpoint; `endpoint` is the endpoint address (0x01 ... 0x0F).
    virtual TransferReply Out(std::uint8_t endpoint, std::span<const std::uint8_t> packet) = 0;

    // One IN packet of at most packet.size() bytes (the endpoint's wMaxPacketSize) from a bulk
    // or interrupt endpoint; `endpoint` has the direction bit (0x81 ...). Fewer bytes than
    // packet.size() is a short packet and ends the transfer.
    virtual TransferReply In(std::uint8_t endpoint, std::span<std::uint8_t> packet) = 0;

    // After a NotYet from `endpoint`: the earliest clock time at which asking again can
    // succeed, or nullopt when only an outside change (another transfer, an abort) can help.
    virtual std::optional<Clock::TimePoint> NextChance(std::uint8_t endpoint) = 0;

    // USB port reset: the device returns to its unconfigured default state.
    virtual void Reset() = 0;

    // At connection the bus hands the device `askAgain`: after a NotYet without a NextChance,
    // calling it (from any thread, without the clock's mutex) makes the bus retry at once.
    // For changes no NextChance could foresee; a device that never needs it ignores it.
    // At removal the bus calls Attach({}); once that returns the old function is not called.
    virtual void Attach(std::function<void()> askAgain) { (void)askAgain; }
};

}  // namespace platform::usb
