#include "camera_backend.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <iostream>
#include <optional>
#include <stdexcept>

#include <wdm.h>

#include "camera.h"     // simulator
#include "capture_api.h"
#include "debug_log.h"  // platform/kernel
#include "libusb_host.h"  // platform/libusb
#include "machine.h"    // platform/machine
#include "png_file.h"

extern "C" DRIVER_INITIALIZE DriverEntry;  // lorvusb

namespace lorvcam {

void AddPlatformOptions(CLI::App& command, PlatformOptions& options)
{
    command
        .add_option("--scene", options.scene, "Film this PNG picture instead of the simulated camera's test pattern")
        ->check(CLI::ExistingFile);
    command.add_flag("--realtime", options.realtime, "Pace the simulated camera like the real hardware");
    command.add_flag("--log", options.showLog, "Echo the driver's and the library's debug output to stderr");
    command.add_option("--stall-after", options.stallAfter,
                       "The simulated camera stops answering after this many pictures (to see how a stall ends)")
        ->check(CLI::Range(1, 1000000));
    command
        .add_option("--device", options.device,
                    "sim (the simulated camera, the default), usb (the first bridge found), usb:BUS:ADDR or "
                    "usb:VID:PID; 'lorvcam list' shows them")
        ->check([](const std::string& text) {
            return text == "sim" || platform::libusb::ParseDeviceChoice(text)
                       ? std::string()
                       : "wants sim, usb, usb:BUS:ADDR (such as usb:1:4) or usb:VID:PID (such as "
                         "usb:047e:1001), not '" + text + "'";
        });
}

int ListCameras(std::ostream& out)
{
    out << "sim          the simulated camera\n";
    try {
        platform::libusb::LibusbHost host;
        int others = 0;
        for (const auto& device : host.List()) {
            if (!device.bridge) {
                ++others;
                continue;
            }
            char name[32];
            std::snprintf(name, sizeof name, "usb:%03d:%03d", device.bus, device.address);
            out << name << "  USB-to-parallel bridge " << platform::libusb::Describe(device) << "\n";
        }
        out << "(" << others << " other USB device" << (others == 1 ? "" : "s") << " present)\n";
    } catch (const std::exception& error) {
        out << "(no USB devices: " << error.what() << ")\n";
    }
    return 0;
}

namespace {

std::string Hex(NTSTATUS status)
{
    char text[16];
    std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(status));
    return text;
}

simulator::CameraOptions MakeCameraOptions(const PlatformOptions& options)
{
    simulator::CameraOptions camera;
    if (!options.scene.empty()) {
        RgbImage scene = ReadPng(options.scene);
        camera.picture = simulator::RgbImage{scene.width, scene.height, std::move(scene.pixels)};
    }
    return camera;
}


// A real bridge runs on the wall clock: it does not wait for virtual time.
platform::Clock::Mode ClockMode(const PlatformOptions& options)
{
    return options.realtime || options.device != "sim" ? platform::Clock::Mode::Wall : platform::Clock::Mode::Virtual;
}

}  // namespace

struct CameraBackend::Parts {
    explicit Parts(const PlatformOptions& options)
        : machine(platform::MachineOptions{ClockMode(options), options.showLog})
    {
        if (options.device == "sim")
            camera.emplace(machine.clock(), MakeCameraOptions(options));
        stallAfter = options.stallAfter;
    }
    // The library is unloaded before the machine checks for leaks, as the loader would; the
    // camera goes only after the bus has let go of it.
    ~Parts()
    {
        DllMain(nullptr, DLL_PROCESS_DETACH, nullptr);
        machine.Shutdown();
    }

    std::optional<platform::libusb::LibusbHost> usb;  // outlives the machine's connection to it
    platform::Machine machine;
    std::optional<simulator::Camera> camera;
    platform::Machine::DeviceId device = 0;
    int stallAfter = 0;

    platform::Machine::DeviceId PlugUsbBridge(const PlatformOptions& options)
    {
        if (!options.scene.empty())
            throw std::runtime_error("--scene films a picture with the simulated camera only; leave it out with "
                                     "--device " + options.device + ".");
        usb.emplace();
        platform::libusb::FoundDevice found;
        auto connection = usb->Open(
            *platform::libusb::ParseDeviceChoice(options.device),
            [](const std::string& notice) { std::cerr << "lorvcam: " << notice << "\n"; }, &found);
        std::cerr << "lorvcam: using the bridge " << platform::libusb::Describe(found) << "\n";
        return machine.Plug(std::move(connection));
    }
};

CameraBackend::CameraBackend(const PlatformOptions& options) : parts_(std::make_unique<Parts>(options))
{
    platform::Machine& machine = parts_->machine;
    if (const NTSTATUS status = machine.LoadDriver(L"lorvusb", DriverEntry); !NT_SUCCESS(status))
        throw std::runtime_error("the lorvusb driver did not load (DriverEntry returned " + Hex(status) + ").");
    const auto device = parts_->device = parts_->camera ? machine.Plug(parts_->camera->usbDevice()) : parts_->PlugUsbBridge(options);
    if (const NTSTATUS status = machine.StartStatus(device); !NT_SUCCESS(status))
        throw std::runtime_error("the driver could not start the camera's bridge (start status " + Hex(status) +
                                 "); --log shows the driver's reasons.");
}

CameraBackend::~CameraBackend() = default;

std::chrono::microseconds CameraBackend::Now() const { return parts_->machine.clock().Now(); }

// A real bridge cannot be told to go silent; unplugging it does that.
void CameraBackend::PictureTaken(long pictures)
{
    if (parts_->camera && pictures == parts_->stallAfter)
        parts_->camera->probe().SetStopAnswering(true);
}

std::string CameraBackend::DriverLog() const
{
    return parts_->machine.log().Text(platform::kernel::DebugLog::Source::Kernel);
}

bool CameraBackend::CameraGone() const { return parts_->machine.Unplugged(parts_->device); }

std::string CameraBackend::ReasonsHint() const { return "--log shows the driver's and the library's reasons."; }

}  // namespace lorvcam
