#include "bridge_ids.h"

#include <algorithm>
#include <array>

namespace platform::libusb {

namespace {

constexpr std::array<UsbId, 12> kBridgeIds{{
    {0x047E, 0x1001}, {0x04B8, 0x0002}, {0x04B8, 0x0003}, {0x050D, 0x0002},
    {0x050D, 0x1202}, {0x0557, 0x2001}, {0x05AB, 0x0002}, {0x05AB, 0x1001},
    {0x06C6, 0x0100}, {0x0729, 0x1284}, {0x1293, 0x0002}, {0x0711, 0x0302},
}};

}  // namespace

std::span<const UsbId> BridgeIds() { return kBridgeIds; }

bool IsBridge(std::uint16_t vendor, std::uint16_t product) {
    return std::any_of(kBridgeIds.begin(), kBridgeIds.end(),
                       [&](const UsbId& id) { return id.vendor == vendor && id.product == product; });
}

}  // namespace platform::libusb
