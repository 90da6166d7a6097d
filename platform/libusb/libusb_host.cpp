#include "libusb_host.h"

#include <charconv>
#include <cstdio>
#include <stdexcept>

#include "bridge_ids.h"
#include "libusb_context.h"

namespace platform::libusb {

namespace {

std::string Location(int bus, int address) {
    char text[16];
    std::snprintf(text, sizeof text, "%03d:%03d", bus, address);
    return text;
}

std::string Id(std::uint16_t vendor, std::uint16_t product) {
    char text[16];
    std::snprintf(text, sizeof text, "%04x:%04x", vendor, product);
    return text;
}

template <typename T>
std::optional<T> Number(std::string_view text, int base) {
    T value{};
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

bool Matches(const DeviceChoice& choice, const FoundDevice& device) {
    switch (choice.kind) {
        case DeviceChoice::Kind::FirstBridge: return device.bridge;
        case DeviceChoice::Kind::BusAddress: return device.bus == choice.bus && device.address == choice.address;
        case DeviceChoice::Kind::Id: return device.vendor == choice.vendor && device.product == choice.product;
    }
    return false;
}

std::string Wanted(const DeviceChoice& choice) {
    switch (choice.kind) {
        case DeviceChoice::Kind::FirstBridge: return "no USB-to-parallel bridge was found";
        case DeviceChoice::Kind::BusAddress:
            return "no USB device at " + Location(choice.bus, choice.address);
        case DeviceChoice::Kind::Id: return "no USB device with ID " + Id(choice.vendor, choice.product);
    }
    return {};
}

FoundDevice Found(libusb_device* device, const libusb_device_descriptor& descriptor) {
    FoundDevice found;
    found.bus = libusb_get_bus_number(device);
    found.address = libusb_get_device_address(device);
    found.vendor = descriptor.idVendor;
    found.product = descriptor.idProduct;
    found.bridge = IsBridge(found.vendor, found.product);
    return found;
}

}  // namespace

LibusbHost::Context::Context() {
    if (int error = libusb_init(&context); error != LIBUSB_SUCCESS)
        throw std::runtime_error(std::string("libusb did not start (") + libusb_strerror(error) + ").");
    events = std::thread([this] {
        while (!stopping) {
            timeval tick{0, 100000};
            libusb_handle_events_timeout_completed(context, &tick, nullptr);
        }
    });
}

LibusbHost::Context::~Context() {
    stopping = true;
    libusb_interrupt_event_handler(context);
    events.join();
    libusb_exit(context);
}

std::optional<DeviceChoice> ParseDeviceChoice(std::string_view text) {
    if (text == "usb") return DeviceChoice{};
    if (!text.starts_with("usb:")) return std::nullopt;
    text.remove_prefix(4);
    auto colon = text.find(':');
    if (colon == std::string_view::npos) return std::nullopt;
    std::string_view first = text.substr(0, colon), second = text.substr(colon + 1);
    DeviceChoice choice;
    if (first.size() == 4 && second.size() == 4) {
        auto vendor = Number<std::uint16_t>(first, 16), product = Number<std::uint16_t>(second, 16);
        if (!vendor || !product) return std::nullopt;
        choice.kind = DeviceChoice::Kind::Id;
        choice.vendor = *vendor;
        choice.product = *product;
        return choice;
    }
    if (first.size() > 3 || second.size() > 3) return std::nullopt;
    auto bus = Number<int>(first, 10), address = Number<int>(second, 10);
    if (!bus || !address) return std::nullopt;
    choice.kind = DeviceChoice::Kind::BusAddress;
    choice.bus = *bus;
    choice.address = *address;
    return choice;
}

std::string Describe(const FoundDevice& device) {
    std::string text = Location(device.bus, device.address) + " " + Id(device.vendor, device.product);
    if (!device.productName.empty()) text += " " + device.productName;
    return text;
}

LibusbHost::LibusbHost() : context_(std::make_shared<Context>()) {}

LibusbHost::~LibusbHost() = default;

std::vector<FoundDevice> LibusbHost::List() {
    std::vector<FoundDevice> devices;
    libusb_device** list = nullptr;
    ssize_t count = libusb_get_device_list(context_->context, &list);
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device_descriptor descriptor{};
        if (libusb_get_device_descriptor(list[i], &descriptor) != LIBUSB_SUCCESS) continue;
        FoundDevice found = Found(list[i], descriptor);
        libusb_device_handle* handle = nullptr;
        if (found.bridge && descriptor.iProduct != 0 && libusb_open(list[i], &handle) == LIBUSB_SUCCESS) {
            unsigned char name[128];
            int length = libusb_get_string_descriptor_ascii(handle, descriptor.iProduct, name, sizeof name);
            if (length > 0) found.productName.assign(reinterpret_cast<char*>(name), static_cast<std::size_t>(length));
            libusb_close(handle);
        }
        devices.push_back(found);
    }
    if (count > 0) libusb_free_device_list(list, 1);
    return devices;
}

std::unique_ptr<usb::UsbConnection> LibusbHost::Open(const DeviceChoice& choice, Notice notice, FoundDevice* opened) {
    libusb_device** list = nullptr;
    ssize_t count = libusb_get_device_list(context_->context, &list);
    libusb_device* chosen = nullptr;
    FoundDevice found;
    for (ssize_t i = 0; i < count && chosen == nullptr; ++i) {
        libusb_device_descriptor descriptor{};
        if (libusb_get_device_descriptor(list[i], &descriptor) != LIBUSB_SUCCESS) continue;
        FoundDevice candidate = Found(list[i], descriptor);
        if (!Matches(choice, candidate)) continue;
        found = candidate;
        chosen = list[i];
    }
    std::string failure;
    libusb_device_handle* handle = nullptr;
    if (chosen == nullptr) {
        failure = Wanted(choice) + "; 'lorvcam list' shows what is plugged in.";
    } else if (!found.bridge) {
        failure = "the USB device at " + Location(found.bus, found.address) + " is " + Id(found.vendor, found.product) +
                  ", not a USB-to-parallel bridge this camera works with; 'lorvcam list' shows the bridges found.";
    } else if (int error = libusb_open(chosen, &handle); error != LIBUSB_SUCCESS) {
        std::string where = "the bridge at " + Location(found.bus, found.address);
        if (error == LIBUSB_ERROR_ACCESS)
            failure = "no permission to open " + where +
                      ": install the udev rule (udev/70-lorvcam.rules, see the README) or run as root.";
        else if (error == LIBUSB_ERROR_NO_DEVICE)
            failure = where + " went away while it was being opened; plug it in again.";
        else
            failure = "could not open " + where + " (" + libusb_strerror(error) + ").";
        handle = nullptr;
    }
    if (count > 0) libusb_free_device_list(list, 1);
    if (handle == nullptr) throw std::runtime_error(failure);
    libusb_set_auto_detach_kernel_driver(handle, 1);
    if (opened != nullptr) *opened = found;
    return MakeConnection(context_, handle, std::move(notice));
}

}  // namespace platform::libusb
