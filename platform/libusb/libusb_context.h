// The libusb context shared by the host and its connections, with the one thread that runs
// libusb's event handling (and so every transfer callback).
#pragma once

#include <libusb.h>

#include <atomic>
#include <memory>
#include <thread>

#include "libusb_host.h"

namespace platform::libusb {

struct LibusbHost::Context {
    Context();  // throws std::runtime_error
    ~Context();
    libusb_context* context = nullptr;
    std::atomic<bool> stopping{false};
    std::thread events;
};

// Takes over an opened handle; the connection closes it.
std::unique_ptr<usb::UsbConnection> MakeConnection(std::shared_ptr<LibusbHost::Context> context,
                                                   libusb_device_handle* handle, Notice notice);

}  // namespace platform::libusb
