// What the bus driver's tests stand on: a tiny function driver that attaches to the PDO and
// passes everything down, URBs sent on IRPs of their own, and a fixture that boots a machine
// with the scripted device plugged in.
#pragma once

#include <gtest/gtest.h>

#include <wdm.h>
#include <usbdi.h>
#include <usbdlib.h>

#include <memory>
#include <optional>
#include <vector>

#include "machine.h"
#include "scripted_usb_device.h"

namespace usb_test {

// The test driver's one device (tests plug one device at a time).
struct TestDriverState {
    PDEVICE_OBJECT fdo = nullptr;
    PDEVICE_OBJECT lower = nullptr;
    NTSTATUS failStart = STATUS_SUCCESS;  // a failure here fails IRP_MN_START_DEVICE
    PKEVENT removeGate = nullptr;         // IRP_MN_REMOVE_DEVICE waits on it when set
    std::vector<UCHAR> pnpMinors;         // every PnP request seen, in order
};
extern TestDriverState testDriver;

NTSTATUS NTAPI TestDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

// One URB on an IRP of its own, sent down at construction.
class Submission {
public:
    Submission(PDEVICE_OBJECT target, void* urb);
    ~Submission();  // waits for the completion, then frees the IRP
    Submission(const Submission&) = delete;
    Submission& operator=(const Submission&) = delete;

    NTSTATUS dispatchStatus() const { return dispatchStatus_; }
    // Waits on the clock; true once completed.
    bool Wait(std::optional<platform::Clock::Duration> timeout = {});
    bool completed() const;
    NTSTATUS status() const { return status_; }
    platform::Clock::TimePoint completedAt() const { return completedAt_; }
    void Cancel();

private:
    static NTSTATUS NTAPI OnComplete(PDEVICE_OBJECT device, PIRP irp, PVOID context);

    PIRP irp_;
    KEVENT done_;
    NTSTATUS dispatchStatus_ = STATUS_PENDING;
    NTSTATUS status_ = STATUS_PENDING;
    platform::Clock::TimePoint completedAt_{};
};

// URB memory of any size, aligned for the structures.
class UrbBuffer {
public:
    explicit UrbBuffer(std::size_t bytes) : words_((bytes + 7) / 8 + 1), size_(bytes) {}
    PURB urb() { return reinterpret_cast<PURB>(words_.data()); }
    std::size_t size() const { return size_; }

private:
    std::vector<std::uint64_t> words_;
    std::size_t size_;
};

PURB BuildBulk(UrbBuffer& buffer, USBD_PIPE_HANDLE pipe, void* data, ULONG length, ULONG flags);
PURB BuildVendor(UrbBuffer& buffer, USHORT function, bool in, UCHAR request, USHORT value, USHORT index, void* data,
                 ULONG length);
PURB BuildAbort(UrbBuffer& buffer, USBD_PIPE_HANDLE pipe);

class BusTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    platform::Clock::TimePoint Now() { return machine->clock().Now(); }
    // Selects interface 0, alternate setting 2 with these largest transfer sizes; returns the
    // completed block (handles filled) and keeps the descriptor it names alive.
    PUSBD_INTERFACE_INFORMATION Configure(std::vector<ULONG> maxTransfer = {153600, 153600, 4});

    std::unique_ptr<platform::Machine> machine;
    std::shared_ptr<test_support::ScriptedUsbDevice> device;
    platform::Machine::DeviceId id = 0;
    std::unique_ptr<UrbBuffer> select;
    test_support::Bytes configuration;
    USBD_PIPE_HANDLE pipeOut = nullptr;
    USBD_PIPE_HANDLE pipeIn = nullptr;
};

}  // namespace usb_test
