// What the peripheral side of the camera costs in time. The USB bus time (1-ms frames for
// control transfers, at most 19 bulk packets of 64 bytes per frame) is charged by the bus
// driver; these are the figures of the cable and the camera behind the bridge.
#pragma once

#include <cstddef>
#include <cstdint>

namespace simulator::timing {

using Nanoseconds = std::int64_t;

// The peripheral answers a change of the host's control lines after this long.
inline constexpr Nanoseconds kHandshakeDelay = 2'000;
// One ECP byte cycle, either direction: 1 MB/s, the bridge's ECP rate.
inline constexpr Nanoseconds kEcpByteTime = 1'000;
// The video field clock: 50 fields per second. A frame starts at a field boundary and shows
// the scene of that field.
inline constexpr Nanoseconds kFieldPeriod = 20'000'000;
// Bytes the bridge buffers in each direction between the bulk pipe and the cable.
inline constexpr std::size_t kForwardFifoBytes = 64;
inline constexpr std::size_t kReverseFifoBytes = 64;

}  // namespace simulator::timing
