// Real USB devices through libusb: the bridges found on this machine, and a connection to one
// of them that the bus driver stand-in takes like a simulated port. A machine with a real
// device runs on the wall clock: the device does not wait for virtual time.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "usb_connection.h"  // platform/usb

namespace platform::libusb {

struct FoundDevice {
    int bus = 0;
    int address = 0;
    std::uint16_t vendor = 0;
    std::uint16_t product = 0;
    std::string productName;  // empty when the device could not be asked
    bool bridge = false;      // one of the bridge's known IDs
};

// Which device to open: the first bridge found, one at a bus address, or the first with an ID.
struct DeviceChoice {
    enum class Kind { FirstBridge, BusAddress, Id };
    Kind kind = Kind::FirstBridge;
    int bus = 0;
    int address = 0;
    std::uint16_t vendor = 0;
    std::uint16_t product = 0;
};

// "usb", "usb:BUS:ADDR" (decimal, "usb:1:4" or "usb:001:004") or "usb:VID:PID" (four hex
// digits each, "usb:047e:1001"); nullopt for anything else.
std::optional<DeviceChoice> ParseDeviceChoice(std::string_view text);
std::string Describe(const FoundDevice& device);  // "001:004 047e:1001 <product>"

using Notice = std::function<void(const std::string&)>;

class LibusbHost {
public:
    // Starts libusb and its event thread; throws std::runtime_error with a sentence.
    LibusbHost();
    ~LibusbHost();
    LibusbHost(const LibusbHost&) = delete;
    LibusbHost& operator=(const LibusbHost&) = delete;

    // Every USB device present, bridges marked.
    std::vector<FoundDevice> List();

    // Opens the chosen bridge. A device with an ID that is not a bridge's is never opened.
    // Throws std::runtime_error with one sentence that says why and what to do. `notice`
    // hears what the user should know (a kernel driver detached from the bridge).
    std::unique_ptr<usb::UsbConnection> Open(const DeviceChoice& choice, Notice notice, FoundDevice* opened = nullptr);

    struct Context;

private:
    std::shared_ptr<Context> context_;
};

}  // namespace platform::libusb
