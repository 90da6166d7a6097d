// The whole stack in one process: the platform (clock, kernel, USB bus), the lorvusb driver
// and the simulated camera plugged into it. Bring-up of the camera through the library is the
// caller's next step (CameraSession).
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "options.h"

namespace lorvcam {

class CameraStack {
public:
    // Boots the platform, loads the driver and plugs the camera. Throws std::runtime_error
    // with a sentence when a step fails.
    explicit CameraStack(const PlatformOptions& options);
    ~CameraStack();  // unplugs, unloads and runs the platform's leak checks
    CameraStack(const CameraStack&) = delete;
    CameraStack& operator=(const CameraStack&) = delete;

    std::chrono::microseconds Now() const;  // the platform clock
    std::string DriverLog() const;          // every DbgPrint line so far
    void StopAnswering();                   // the simulated camera's bulk IN pipe goes silent

private:
    struct Parts;
    std::unique_ptr<Parts> parts_;
};

// Enter_USS720_W9966_SAA7111 on construction, Leave_USS720_W9966_SAA7111 on destruction.
class CameraSession {
public:
    CameraSession();  // throws std::runtime_error when the camera does not come up
    ~CameraSession();
    CameraSession(const CameraSession&) = delete;
    CameraSession& operator=(const CameraSession&) = delete;
};

}  // namespace lorvcam
