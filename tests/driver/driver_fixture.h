// The driver on the stand-in: the bus driver's PDO for a scripted bridge, the PnP manager's
// add-device and start, user-mode requests through the I/O manager, and at the end removal,
// unload and the verifier's pool checks. Every test is a verifier run.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "kernel.h"
#include "machine.h"
#include "scripted_usb_device.h"
#include "user_io.h"

#include "driver.h"

namespace driver_test {

using test_support::Bytes;
using platform::kernel::FileObject;

// The bridge's endpoints as the scripted device has them.
constexpr std::uint8_t kBulkOut = 0x01;
constexpr std::uint8_t kBulkIn = 0x82;

// One user-mode request: what dispatch returned, then how it completed.
struct IoResult {
    NTSTATUS returned = 0;
    NTSTATUS status = 0;
    ULONG_PTR information = 0;
    bool completed = false;
};

// A request still in flight; Wait() blocks on the clock until it completes.
class PendingIo {
public:
    PendingIo();
    platform::kernel::IoCompletion Done();
    bool IsDone() const;
    IoResult Wait(LONGLONG timeoutMs = 60000);
    NTSTATUS returned = 0;

private:
    struct State;
    std::shared_ptr<State> state_;
};

Bytes SetupBytes(const platform::usb::SetupPacket& setup);

class DriverTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    platform::kernel::Kernel& kernel() { return machine_->kernel(); }
    platform::kernel::Verifier& verifier() { return kernel().verifier(); }

    // Connects `descriptors` as the bridge and lets PnP add and start the driver.
    NTSTATUS Plug(test_support::Descriptors descriptors = test_support::BridgeDescriptors());
    // Connects the bridge and calls the driver's add-device only (no start).
    NTSTATUS Connect(test_support::Descriptors descriptors = test_support::BridgeDescriptors());
    NTSTATUS Start();
    // PnP removal of the driver's device; waits for it.
    void Remove();
    // Removal, then the bus deletes the PDO; the next Plug or Connect starts afresh.
    void Unplug();
    bool Attached();
    PDEVICE_OBJECT DriverDevice();
    // The driver's hold count once it has come to `expected`, waiting on the clock up to a
    // bound; a count that never gets there fails with the value it kept.
    ::testing::AssertionResult IrpCountSettlesAt(LONG expected);
    void Settle();

    FileObject* Open();
    void Close(FileObject* file);
    IoResult Ioctl(ULONG code, const Bytes& in, ULONG outLength, Bytes* out = nullptr);
    PendingIo StartRead(std::span<std::uint8_t> buffer);
    IoResult Read(std::span<std::uint8_t> buffer);
    IoResult Write(std::span<const std::uint8_t> buffer);

    // The driver's log since the last ClearLog, one entry per line, without the "LORVLINK: "
    // prefixes; lines of threads that logged at the same time come back whole.
    std::vector<std::string> LogLines();
    bool Logged(const std::string& line);
    void ClearLog();
    // Control transfers the bridge answered since the last ClearTraffic, as wire bytes.
    std::vector<Bytes> ControlTraffic();
    void ClearTraffic();

    std::unique_ptr<platform::Machine> machine_;
    PDRIVER_OBJECT driverObject_ = nullptr;
    std::shared_ptr<test_support::ScriptedUsbDevice> device_;
    PDEVICE_OBJECT pdo_ = nullptr;
    FileObject* file_ = nullptr;  // opened by Plug when the start succeeded
    std::vector<FileObject*> openFiles_;
};

}  // namespace driver_test
