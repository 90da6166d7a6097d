// The machine an application boots: one clock, the kernel, the USB bus driver with its root
// hub, the function driver loaded for the devices plugged in, and a clean shutdown that
// checks that the application gave back its memory and handles, removes every device, unloads
// the drivers and checks them for leaks.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

#include <ntdef.h>

#include "bus_driver.h"
#include "clock.h"

struct _DRIVER_OBJECT;
struct _UNICODE_STRING;

namespace platform {

namespace kernel {
class Kernel;
class DebugLog;
}  // namespace kernel

struct MachineOptions {
    Clock::Mode clockMode = Clock::Mode::Virtual;
    bool echoLog = false;  // copy the debug log to stderr
};

class Machine {
public:
    using DriverEntry = NTSTATUS (*)(_DRIVER_OBJECT*, _UNICODE_STRING*);  // PDRIVER_INITIALIZE
    using DeviceId = int;

    // Boots the clock, the kernel and the bus driver; the calling thread takes part in the
    // clock from now until the machine is gone.
    explicit Machine(MachineOptions options = {});
    ~Machine();  // Shutdown() unless already done
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    Clock& clock() { return *clock_; }
    kernel::Kernel& kernel() { return *kernel_; }
    kernel::DebugLog& log();
    usb::BusDriver& bus() { return *bus_; }

    // DriverEntry runs now; the driver becomes the function driver of devices plugged later.
    NTSTATUS LoadDriver(std::wstring_view name, DriverEntry entry);

    // The bus creates the device's PDO and the PnP manager adds and starts the function
    // driver; returns after the start. A device whose start failed is removed again before
    // Plug returns (StartStatus tells). Without a loaded driver the device stays unserved.
    DeviceId Plug(std::shared_ptr<usb::UsbDevice> device);
    // The same for a device behind a connection of its own (a real one through libusb). When
    // the device goes away by itself, its removal runs as after Unplug.
    DeviceId Plug(std::unique_ptr<usb::UsbConnection> connection);
    // STATUS_NO_SUCH_DEVICE for an unknown id or a device plugged with no driver loaded.
    NTSTATUS StartStatus(DeviceId id) const;

    // The cable is pulled: transfers fail from now on and removal runs on the PnP thread;
    // returns at once.
    void Unplug(DeviceId id);
    // Waits on the clock for the removal after Unplug; true when it has finished.
    bool WaitRemoved(DeviceId id, std::optional<Clock::Duration> timeout = {});

    // Removes every device still plugged, unloads the drivers (the verifier checks that
    // none leaked pool) and stops the bus. Idempotent.
    void Shutdown();

private:
    struct Plugged;
    DeviceId Start(std::unique_ptr<Plugged> plugged);
    void Left(Plugged& plugged);  // any thread

    std::unique_ptr<Clock> clock_;
    std::unique_ptr<Clock::Participant> participant_;
    std::unique_ptr<kernel::Kernel> kernel_;
    std::unique_ptr<usb::BusDriver> bus_;
    std::vector<_DRIVER_OBJECT*> drivers_;
    std::map<DeviceId, std::unique_ptr<Plugged>> devices_;
    DeviceId nextId_ = 1;
    std::mutex unplugMutex_;  // a device may leave on a thread of its connection
    bool shutDown_ = false;
};

}  // namespace platform
