// A USB device behind the kernel's usbfs as umockdev emulates it: libusb, unmodified, opens
// /dev/bus/usb/BBB/DDD and its ioctls (claim, set interface, submit, reap, discard URBs...)
// reach this object, which carries the URBs to a packet-level `UsbDevice` over a simulated
// full-speed bus on the wall clock. The process runs under umockdev's preload library
// (umockdev-wrapper); processes it starts reach the same device.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "clock.h"       // platform/kernel
#include "usb_device.h"  // platform/usb

namespace usbfs_test {

struct EmulatedDeviceOptions {
    int bus = 1;
    int address = 2;
    // The IDs the device descriptor shows: by default one of a bridge cable (0: the device's own).
    std::uint16_t vendor = 0x047E;
    std::uint16_t product = 0x1001;
    std::string kernelDriver;  // bound to interface 0 until detached ("usblp"); empty: none
    bool ownerOnly = false;    // the device node is readable by root only
};

class EmulatedUsbfs {
public:
    // The testbed; the process must run under umockdev's preload. The devices' bus runs on
    // `clock` (wall mode), the clock their simulated hardware runs on.
    explicit EmulatedUsbfs(platform::Clock& clock);
    ~EmulatedUsbfs();
    EmulatedUsbfs(const EmulatedUsbfs&) = delete;
    EmulatedUsbfs& operator=(const EmulatedUsbfs&) = delete;

    // Adds a device node and its sysfs entry; the device is configured (configuration 1), as
    // the kernel does at enumeration.
    void Add(std::shared_ptr<platform::usb::UsbDevice> device, const EmulatedDeviceOptions& options);

    // The cable of the device at `address` is pulled: its URBs end with ENODEV, and so does
    // every later ioctl, and udev announces its removal.
    void Unplug(int address);

    // Interface 0's kernel driver: how often it was detached, whether it is bound now.
    int detaches(int address) const;
    bool kernelDriverBound(int address) const;
    int urbsOutstanding(int address) const;  // submitted and not yet reaped

    struct State;

private:
    std::unique_ptr<State> state_;
};

}  // namespace usbfs_test
