// On Windows the camera is the one the installed lorvusb driver serves; there is nothing to
// boot and no option to offer.
#include "camera_backend.h"

#include <windows.h>

#include <ostream>
#include <stdexcept>

#include "control_interface.h"
#include "error_text.h"

namespace lorvcam {

void AddPlatformOptions(CLI::App&, PlatformOptions&) {}

// Windows names one camera: the device of the installed driver, there or not.
int ListCameras(std::ostream& out)
{
    const HANDLE device =
        CreateFileA(LORV_DEVICE_PATH, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        out << "no camera: " LORV_DEVICE_PATH " could not be opened (" << SystemErrorText(GetLastError()) << ")\n";
        return 1;
    }
    CloseHandle(device);
    out << LORV_DEVICE_PATH "  the camera the lorvusb driver serves\n";
    return 0;
}

struct CameraBackend::Parts {};

// The library opens the device itself and reports only that bring-up failed; opening it here
// first tells the person why.
CameraBackend::CameraBackend(const PlatformOptions&)
{
    const HANDLE device =
        CreateFileA(LORV_DEVICE_PATH, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (device == INVALID_HANDLE_VALUE)
        throw std::runtime_error("the camera's device " LORV_DEVICE_PATH " could not be opened (" +
                                 SystemErrorText(GetLastError()) +
                                 "): is the camera plugged in, with the lorvusb driver installed?");
    CloseHandle(device);
}

CameraBackend::~CameraBackend() = default;

std::chrono::microseconds CameraBackend::Now() const
{
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch());
}

// A real camera cannot be told to go silent; unplugging it does that.
void CameraBackend::PictureTaken(long) {}

// An unplugged camera shows as failed reads; the library reports those.
bool CameraBackend::CameraGone() const { return false; }

// The driver's lines go to the kernel debugger, out of a program's reach.
std::string CameraBackend::DriverLog() const { return {}; }

std::string CameraBackend::ReasonsHint() const
{
    return "the library's debug output (a debugger or DebugView shows it) gives its reasons.";
}

}  // namespace lorvcam
