// The USB IDs under which cables built on the bridge chip are sold.
#pragma once

#include <cstdint>
#include <span>

namespace platform::libusb {

struct UsbId {
    std::uint16_t vendor;
    std::uint16_t product;
};

std::span<const UsbId> BridgeIds();
bool IsBridge(std::uint16_t vendor, std::uint16_t product);

}  // namespace platform::libusb
