#include "camera_backend.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <stdexcept>

#include <wdm.h>

#include "camera.h"     // simulator
#include "capture_api.h"
#include "debug_log.h"  // platform/kernel
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

}  // namespace

struct CameraBackend::Parts {
    explicit Parts(const PlatformOptions& options)
        : machine(platform::MachineOptions{
              options.realtime ? platform::Clock::Mode::Wall : platform::Clock::Mode::Virtual, options.showLog}),
          camera(machine.clock(), MakeCameraOptions(options))
    {
    }
    // The library is unloaded before the machine checks for leaks, as the loader would; the
    // camera goes only after the bus has let go of it.
    ~Parts()
    {
        DllMain(nullptr, DLL_PROCESS_DETACH, nullptr);
        machine.Shutdown();
    }

    platform::Machine machine;
    simulator::Camera camera;
};

CameraBackend::CameraBackend(const PlatformOptions& options) : parts_(std::make_unique<Parts>(options))
{
    platform::Machine& machine = parts_->machine;
    if (const NTSTATUS status = machine.LoadDriver(L"lorvusb", DriverEntry); !NT_SUCCESS(status))
        throw std::runtime_error("the lorvusb driver did not load (DriverEntry returned " + Hex(status) + ").");
    const auto device = machine.Plug(parts_->camera.usbDevice());
    if (const NTSTATUS status = machine.StartStatus(device); !NT_SUCCESS(status))
        throw std::runtime_error("the driver could not start the camera's bridge (start status " + Hex(status) +
                                 "); --log shows the driver's reasons.");
}

CameraBackend::~CameraBackend() = default;

std::chrono::microseconds CameraBackend::Now() const { return parts_->machine.clock().Now(); }

void CameraBackend::StopAnswering() { parts_->camera.probe().SetStopAnswering(true); }

std::string CameraBackend::DriverLog() const
{
    return parts_->machine.log().Text(platform::kernel::DebugLog::Source::Kernel);
}

std::string CameraBackend::ReasonsHint() const { return "--log shows the driver's and the library's reasons."; }

}  // namespace lorvcam
