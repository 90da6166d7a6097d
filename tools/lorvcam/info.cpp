#include "info.h"

#include <windows.h>
#include <winioctl.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <stdexcept>

#include "capture_api.h"
#include "control_interface.h"
#include "error_text.h"

namespace lorvcam {

namespace {

class Handle {
public:
    explicit Handle(HANDLE handle) : handle_(handle) {}
    ~Handle()
    {
        if (handle_ != INVALID_HANDLE_VALUE)
            CloseHandle(handle_);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE get() const { return handle_; }

private:
    HANDLE handle_;
};

const char kLogPrefix[] = "LORVLINK: ";

// "name = value" where the name follows the USB descriptor naming: bLength, wTotalLength,
// idVendor, bcdUSB, iProduct, bmAttributes, MaxPower (the driver pads names with spaces).
bool IsDescriptorField(const std::string& line)
{
    const auto nameEnd = line.find_first_of(" =");
    if (nameEnd == std::string::npos || line.find_first_not_of(' ', nameEnd) != line.find('=', nameEnd))
        return false;
    const std::string name = line.substr(0, nameEnd);
    if (name == "MaxPower")
        return true;
    for (const char* prefix : {"bcd", "bm", "id", "b", "w", "i"}) {
        const std::size_t n = std::strlen(prefix);
        if (name.size() > n && name.compare(0, n, prefix) == 0 && std::isupper(static_cast<unsigned char>(name[n])))
            return true;
    }
    return false;
}

}  // namespace

std::string ReadDeviceId()
{
    Handle device(CreateFileA(LORV_DEVICE_PATH, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    if (device.get() == INVALID_HANDLE_VALUE)
        throw std::runtime_error("cannot open " LORV_DEVICE_PATH ": " + SystemErrorText(GetLastError()) + ".");
    char id[1024];
    DWORD received = 0;
    if (!DeviceIoControl(device.get(), IOCTL_BRIDGE_GET_DEVICE_ID, nullptr, 0, id, sizeof id, &received, nullptr))
        throw std::runtime_error("the driver refused the device identification request: " +
                                 SystemErrorText(GetLastError()) + ".");
    // IEEE 1284: a big-endian length that counts itself, then "KEY:value;" pairs.
    if (received < 2)
        return {};
    std::size_t length = (static_cast<unsigned char>(id[0]) << 8) | static_cast<unsigned char>(id[1]);
    if (length < 2 || length > received)
        length = received;
    return std::string(id + 2, id + length);
}

std::string DescriptorLines(const std::string& driverLog)
{
    std::istringstream lines(driverLog);
    std::string line, result;
    bool inside = false;
    while (std::getline(lines, line)) {
        if (line.rfind(kLogPrefix, 0) == 0)
            line.erase(0, sizeof kLogPrefix - 1);
        if (line.find("enter _Device::ReadDescriptors") != std::string::npos)
            inside = true;
        else if (line.find("leave _Device::ReadDescriptors") != std::string::npos)
            inside = false;
        else if (inside && line.rfind("UsbDeviceDescriptor = ", 0) == 0)
            result += "  device descriptor:\n";
        else if (inside && line.rfind("UsbConfigurationDescriptor = ", 0) == 0)
            result += "  configuration descriptor:\n";
        else if (inside && IsDescriptorField(line))
            result += "    " + line + "\n";
    }
    return result;
}

void PrintInfo(std::ostream& out, const std::string& deviceId, const std::string& driverLog)
{
    out << "Device identification (IEEE 1284):\n";
    if (deviceId.empty())
        out << "  (empty)\n";
    std::istringstream fields(deviceId);
    std::string field;
    while (std::getline(fields, field, ';'))
        if (!field.empty())
            out << "  " << field << "\n";

    const std::string descriptors = DescriptorLines(driverLog);
    out << "USB descriptors, as the driver logged them at start:\n"
        << (descriptors.empty() ? "  (none in the log)\n" : descriptors);

    out << "Video decoder settings (index: value):\n";
    for (int index = 0; index < 18; ++index) {
        char line[32];
        std::snprintf(line, sizeof line, "  %2d: 0x%02X\n", index, static_cast<unsigned>(GetSAA7111Reg(index)));
        out << line;
    }
}

}  // namespace lorvcam
