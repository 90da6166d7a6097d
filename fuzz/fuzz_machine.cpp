#include "fuzz_machine.h"

#include <cstdio>
#include <cstdlib>

#include <wdm.h>

#include "camera.h"  // simulator
#include "capture_api.h"
#include "engine/capture_context.h"

extern "C" DRIVER_INITIALIZE DriverEntry;

namespace fuzz {

void Fail(std::string_view what)
{
    std::fprintf(stderr, "FUZZ: %.*s\n", static_cast<int>(what.size()), what.data());
    std::abort();
}

FuzzMachine::FuzzMachine()
{
    Boot([this](platform::Clock& clock) {
        camera_ = std::make_unique<simulator::Camera>(clock);
        return camera_->usbDevice();
    });
}

FuzzMachine::FuzzMachine(const MakeDevice& makeDevice) { Boot(makeDevice); }

void FuzzMachine::Boot(const MakeDevice& makeDevice)
{
    ResetLibraryState();
    machine_ = std::make_unique<platform::Machine>();
    if (!NT_SUCCESS(machine_->LoadDriver(L"lorvusb", DriverEntry)))
        Fail("lorvusb did not load");
    device_ = makeDevice(machine_->clock());
    deviceId_ = machine_->Plug(device_);
}

// The device outlives the bus's hold on it.
FuzzMachine::~FuzzMachine()
{
    machine_.reset();
    device_.reset();
    camera_.reset();
}

bool FuzzMachine::started() const { return NT_SUCCESS(machine_->StartStatus(deviceId_)); }

void FuzzMachine::Finish()
{
    // The library is unloaded as the loader would: what it keeps for the process goes back.
    DllMain(nullptr, DLL_PROCESS_DETACH, nullptr);
    machine_->Shutdown();  // stops on a handle or heap block left behind, or pool in the driver
}

}  // namespace fuzz
