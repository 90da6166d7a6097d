// One machine per fuzz input, booted on the virtual clock: lorvusb loaded, a device plugged,
// the library back in its state at load. Finish() is the clean exit every input must reach:
// nothing left open, nothing left allocated, every device removable. A failed check aborts,
// which libFuzzer reports as a crash with the input that caused it.
#pragma once

#include <functional>
#include <memory>
#include <string_view>

#include "machine.h"
#include "usb_device.h"

namespace simulator {
class Camera;
}

namespace fuzz {

[[noreturn]] void Fail(std::string_view what);

class FuzzMachine {
public:
    using MakeDevice = std::function<std::shared_ptr<platform::usb::UsbDevice>(platform::Clock&)>;

    FuzzMachine();  // the simulated camera
    explicit FuzzMachine(const MakeDevice& makeDevice);
    ~FuzzMachine();
    FuzzMachine(const FuzzMachine&) = delete;
    FuzzMachine& operator=(const FuzzMachine&) = delete;

    platform::Machine& machine() { return *machine_; }
    platform::Machine::DeviceId deviceId() const { return deviceId_; }
    simulator::Camera* camera() { return camera_.get(); }  // null with a device of the caller's
    bool started() const;

    // The application has released everything it holds: no handle and no heap block may be
    // left, and shutdown must remove the device and find no pool (the verifiers check).
    void Finish();

private:
    void Boot(const MakeDevice& makeDevice);

    std::unique_ptr<platform::Machine> machine_;
    std::unique_ptr<simulator::Camera> camera_;
    std::shared_ptr<platform::usb::UsbDevice> device_;
    platform::Machine::DeviceId deviceId_ = 0;
};

}  // namespace fuzz
