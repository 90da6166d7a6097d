// The bridge's USB descriptors and its IEEE 1284 device ID, as byte tables.
#pragma once

#include <cstdint>
#include <vector>

#include "camera.h"

namespace simulator {

inline constexpr std::uint8_t kBulkOutEndpoint = 0x01;
inline constexpr std::uint8_t kBulkInEndpoint = 0x82;
inline constexpr std::uint8_t kInterruptInEndpoint = 0x83;
inline constexpr std::uint16_t kBulkPacketBytes = 64;

std::vector<std::uint8_t> DeviceDescriptor();
// The whole configuration (wTotalLength bytes, or fewer when the fault cuts it short).
std::vector<std::uint8_t> ConfigurationDescriptor(DescriptorFault fault);
// String descriptor `index` (0 = language list); empty when there is none.
std::vector<std::uint8_t> StringDescriptor(std::uint8_t index);
// Alternate settings of interface 0 under the fault.
int AlternateSettingCount(DescriptorFault fault);
// 2-byte big-endian length (counting itself), then the ID text.
std::vector<std::uint8_t> Ieee1284DeviceId();

}  // namespace simulator
