// `lorvcam info`: what the stack learned about the camera during bring-up.
#pragma once

#include <ostream>
#include <string>

namespace lorvcam {

// The IEEE 1284 device identification through the driver's own control request; throws
// std::runtime_error with a sentence when the driver refuses it.
std::string ReadDeviceId();

// The descriptor dumps that the driver logged while it started the bridge, without the
// log prefix; empty when the log holds none.
std::string DescriptorLines(const std::string& driverLog);

// Prints identification, descriptors and the 18 video-decoder settings.
void PrintInfo(std::ostream& out, const std::string& deviceId, const std::string& driverLog);

}  // namespace lorvcam
