// Where lorvcam's camera lives. The build picks one implementation for its platform: on Linux
// the whole stack runs in this process (the stand-in platform, the lorvusb driver and the
// simulated camera plugged into it); on Windows the camera is the one the installed driver
// serves. Bring-up of the camera through the library is the caller's next step (CameraSession).
#pragma once

#include <chrono>
#include <iosfwd>
#include <memory>
#include <string>

#include "options.h"

namespace CLI {
class App;
}

namespace lorvcam {

// Adds the options this platform's camera takes to a command (capture, info).
void AddPlatformOptions(CLI::App& command, PlatformOptions& options);

// Prints the cameras this machine can reach, one a line; returns the exit status.
int ListCameras(std::ostream& out);

class CameraBackend {
public:
    // Makes the camera reachable through the library. Throws std::runtime_error with a
    // sentence when it cannot.
    explicit CameraBackend(const PlatformOptions& options);
    ~CameraBackend();  // on Linux: unplugs, unloads and runs the platform's leak checks
    CameraBackend(const CameraBackend&) = delete;
    CameraBackend& operator=(const CameraBackend&) = delete;

    std::chrono::microseconds Now() const;  // the clock the camera runs on
    std::string DriverLog() const;          // the driver's debug lines so far; empty where unreadable
    std::string ReasonsHint() const;        // where a failed bring-up's reasons can be read
    bool CameraGone() const;                // the camera was unplugged since it came up
    void PictureTaken(long pictures);       // the simulated camera goes silent here if --stall-after says so

private:
    struct Parts;
    std::unique_ptr<Parts> parts_;
};

// Enter_USS720_W9966_SAA7111 on construction, Leave_USS720_W9966_SAA7111 on destruction.
class CameraSession {
public:
    explicit CameraSession(const CameraBackend& backend);  // throws std::runtime_error when the camera does not come up
    ~CameraSession();
    CameraSession(const CameraSession&) = delete;
    CameraSession& operator=(const CameraSession&) = delete;
};

}  // namespace lorvcam
