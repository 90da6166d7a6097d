// A bridge on a real host controller: each transfer of the bus driver becomes one libusb
// transfer, submitted at once so that several are in flight the way the driver issues them;
// the host controller keeps each endpoint's transfers in order.
#include <libusb.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include <usb.h>

#include "libusb_context.h"

namespace platform::libusb {

namespace {

using usb::UsbTransfer;

constexpr std::uint8_t kSetConfiguration = 9;
constexpr std::uint8_t kSetInterface = 11;

USBD_STATUS FromError(int error) {
    switch (error) {
        case LIBUSB_SUCCESS: return USBD_STATUS_SUCCESS;
        case LIBUSB_ERROR_NO_DEVICE: return USBD_STATUS_DEV_NOT_RESPONDING;
        case LIBUSB_ERROR_PIPE: return USBD_STATUS_STALL_PID;
        case LIBUSB_ERROR_NOT_FOUND: return USBD_STATUS_INTERFACE_NOT_FOUND;
        case LIBUSB_ERROR_BUSY: return USBD_STATUS_ERROR_BUSY;
        case LIBUSB_ERROR_TIMEOUT: return USBD_STATUS_TIMEOUT;
        case LIBUSB_ERROR_OVERFLOW: return USBD_STATUS_BABBLE_DETECTED;
        case LIBUSB_ERROR_NO_MEM: return USBD_STATUS_INSUFFICIENT_RESOURCES;
        case LIBUSB_ERROR_INVALID_PARAM: return USBD_STATUS_INVALID_PARAMETER;
        default: return USBD_STATUS_XACT_ERROR;
    }
}

USBD_STATUS FromTransferStatus(libusb_transfer_status status) {
    switch (status) {
        case LIBUSB_TRANSFER_COMPLETED: return USBD_STATUS_SUCCESS;
        case LIBUSB_TRANSFER_CANCELLED: return USBD_STATUS_CANCELED;
        case LIBUSB_TRANSFER_STALL: return USBD_STATUS_STALL_PID;
        case LIBUSB_TRANSFER_NO_DEVICE: return USBD_STATUS_DEV_NOT_RESPONDING;
        case LIBUSB_TRANSFER_OVERFLOW: return USBD_STATUS_BABBLE_DETECTED;
        case LIBUSB_TRANSFER_TIMED_OUT: return USBD_STATUS_TIMEOUT;
        default: return USBD_STATUS_XACT_ERROR;
    }
}

// The kernel driver bound to an interface, named from sysfs ("usblp"); empty when unknown.
std::string KernelDriverName(libusb_device* device, int configuration, int interface) {
    std::uint8_t ports[8];
    int count = libusb_get_port_numbers(device, ports, sizeof ports);
    if (count <= 0) return {};
    std::string path = "/sys/bus/usb/devices/" + std::to_string(libusb_get_bus_number(device)) + "-";
    for (int i = 0; i < count; ++i) path += (i ? "." : "") + std::to_string(ports[i]);
    path += ":" + std::to_string(configuration) + "." + std::to_string(interface) + "/driver";
    std::error_code error;
    std::filesystem::path target = std::filesystem::read_symlink(path, error);
    return error ? std::string() : target.filename().string();
}

class LibusbConnection : public usb::UsbConnection {
public:
    LibusbConnection(std::shared_ptr<LibusbHost::Context> context, libusb_device_handle* handle, Notice notice);
    ~LibusbConnection() override;

    void Attach(Completed completed, Unplugged unplugged) override;
    void Submit(UsbTransfer& transfer) override;
    void Cancel(UsbTransfer& transfer) override;
    void Abort(std::uint8_t endpoint) override;
    USBD_STATUS ClearStall(std::uint8_t endpoint) override;
    void ResetPort() override;
    void Stop(USBD_STATUS why) override;

private:
    // A transfer handed to libusb and not yet called back.
    struct Flight {
        LibusbConnection* connection = nullptr;
        UsbTransfer* owner = nullptr;
        libusb_transfer* transfer = nullptr;
        std::vector<std::uint8_t> control;  // setup packet and data stage
        bool cancelled = false;
        bool done = false;  // onCallerThread: settled, its submitter hands it back
    };

    static void LIBUSB_CALL OnTransfer(libusb_transfer* transfer);
    static int LIBUSB_CALL OnLeft(libusb_context*, libusb_device* device, libusb_hotplug_event, void* self);
    void ReportUnplug();
    void CancelLocked(Flight& flight);
    // Hands the transfer back unless it runs on its submitter's thread; reports an unplug.
    void Hand(UsbTransfer& transfer);
    void Select(UsbTransfer& transfer);
    USBD_STATUS Standard(const usb::SetupPacket& setup);
    USBD_STATUS Claim(int interface);
    void ReleaseAll();
    void Detach();

    std::shared_ptr<LibusbHost::Context> context_;
    libusb_device_handle* handle_;
    Notice notice_;

    std::mutex mutex_;
    std::condition_variable changed_;
    Completed completed_;
    Unplugged unplugged_;
    std::map<UsbTransfer*, std::unique_ptr<Flight>> flights_;
    std::optional<USBD_STATUS> stopped_;
    int callbacks_ = 0;
    bool unplugReported_ = false;
    bool detached_ = false;
    std::vector<int> claimed_;
    std::optional<libusb_hotplug_callback_handle> hotplug_;
};

// A transfer's status alone does not always tell an unplug: libusb reports one that was split
// into several URBs and lost the device between them as LIBUSB_TRANSFER_ERROR, and with nothing
// in flight there is no transfer to tell it at all. The hotplug event always comes.
LibusbConnection::LibusbConnection(std::shared_ptr<LibusbHost::Context> context, libusb_device_handle* handle,
                                   Notice notice)
    : context_(std::move(context)), handle_(handle), notice_(std::move(notice)) {
    libusb_hotplug_callback_handle hotplug = 0;
    if (libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG) &&
        libusb_hotplug_register_callback(context_->context, LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT, 0, LIBUSB_HOTPLUG_MATCH_ANY,
                                         LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY, OnLeft, this,
                                         &hotplug) == LIBUSB_SUCCESS)
        hotplug_ = hotplug;
}

LibusbConnection::~LibusbConnection() {
    if (hotplug_) libusb_hotplug_deregister_callback(context_->context, *hotplug_);
    Stop(USBD_STATUS_DEVICE_GONE);
    Detach();
    ReleaseAll();  // auto-detach gives the interfaces back to their kernel driver here
    libusb_close(handle_);
}

void LibusbConnection::Attach(Completed completed, Unplugged unplugged) {
    if (!completed) {
        Detach();
        return;
    }
    std::lock_guard lock(mutex_);
    completed_ = std::move(completed);
    unplugged_ = std::move(unplugged);
}

void LibusbConnection::Detach() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return flights_.empty() && callbacks_ == 0; });
    completed_ = {};
    unplugged_ = {};
    detached_ = true;
}

void LibusbConnection::Hand(UsbTransfer& transfer) {
    std::unique_lock lock(mutex_);
    Completed completed = completed_;
    const bool gone = transfer.usbd == USBD_STATUS_DEV_NOT_RESPONDING;
    ++callbacks_;
    lock.unlock();
    if (completed) completed(transfer);
    if (gone) ReportUnplug();
    lock.lock();
    --callbacks_;
    changed_.notify_all();
}

// Once, and not after the bus stopped the port itself.
void LibusbConnection::ReportUnplug() {
    std::unique_lock lock(mutex_);
    if (unplugReported_ || stopped_ || !unplugged_) return;
    unplugReported_ = true;
    Unplugged unplugged = unplugged_;
    ++callbacks_;
    lock.unlock();
    if (unplugged) unplugged();
    lock.lock();
    --callbacks_;
    changed_.notify_all();
}

// On the event thread.
int LIBUSB_CALL LibusbConnection::OnLeft(libusb_context*, libusb_device* device, libusb_hotplug_event, void* self) {
    auto& connection = *static_cast<LibusbConnection*>(self);
    if (device == libusb_get_device(connection.handle_)) connection.ReportUnplug();
    return 0;
}

void LibusbConnection::Submit(UsbTransfer& transfer) {
    std::unique_lock lock(mutex_);
    if (stopped_) {
        transfer.usbd = *stopped_;
        lock.unlock();
        Hand(transfer);
        return;
    }
    const usb::SetupPacket& setup = transfer.steps.empty() ? usb::SetupPacket{} : transfer.steps[0];
    if (transfer.kind == UsbTransfer::Kind::Selection ||
        (transfer.kind == UsbTransfer::Kind::Control && (setup.bmRequestType & 0x7F) <= 1 &&
         (setup.bRequest == kSetConfiguration || setup.bRequest == kSetInterface))) {
        // usbfs keeps configuration and interfaces to itself: they go through libusb's calls.
        lock.unlock();
        Select(transfer);
        Hand(transfer);
        return;
    }

    auto owned = std::make_unique<Flight>();
    Flight& flight = *owned;
    flight.connection = this;
    flight.owner = &transfer;
    flight.transfer = libusb_alloc_transfer(0);
    if (transfer.kind == UsbTransfer::Kind::Control) {
        flight.control.resize(LIBUSB_CONTROL_SETUP_SIZE + transfer.buffer.size());
        libusb_fill_control_setup(flight.control.data(), setup.bmRequestType, setup.bRequest, setup.wValue,
                                  setup.wIndex, static_cast<std::uint16_t>(transfer.buffer.size()));
        if (!transfer.in && !transfer.buffer.empty())
            std::memcpy(flight.control.data() + LIBUSB_CONTROL_SETUP_SIZE, transfer.buffer.data(), transfer.buffer.size());
        libusb_fill_control_transfer(flight.transfer, handle_, flight.control.data(), OnTransfer, &flight, 0);
    } else {
        libusb_fill_bulk_transfer(flight.transfer, handle_, transfer.endpoint, transfer.buffer.data(),
                                  static_cast<int>(transfer.buffer.size()), OnTransfer, &flight, 0);
    }
    int error = libusb_submit_transfer(flight.transfer);
    if (error != LIBUSB_SUCCESS) {
        libusb_free_transfer(flight.transfer);
        transfer.usbd = FromError(error);
        lock.unlock();
        Hand(transfer);
        return;
    }
    flights_.emplace(&transfer, std::move(owned));
    if (!transfer.onCallerThread) return;
    changed_.wait(lock, [&] { return flight.done; });
    flights_.erase(&transfer);
    changed_.notify_all();
    lock.unlock();
    Hand(transfer);
}

// On the event thread.
void LIBUSB_CALL LibusbConnection::OnTransfer(libusb_transfer* done) {
    auto* flight = static_cast<Flight*>(done->user_data);
    LibusbConnection& self = *flight->connection;
    UsbTransfer& transfer = *flight->owner;
    std::unique_lock lock(self.mutex_);
    std::size_t actual = static_cast<std::size_t>(done->actual_length);
    USBD_STATUS usbd = FromTransferStatus(done->status);
    if (transfer.kind == UsbTransfer::Kind::Control) {
        actual = std::min(actual, transfer.buffer.size());
        if (transfer.in && actual > 0)
            std::memcpy(transfer.buffer.data(), flight->control.data() + LIBUSB_CONTROL_SETUP_SIZE, actual);
    }
    if (usbd == USBD_STATUS_SUCCESS && transfer.in && actual < transfer.buffer.size() && !transfer.shortOk &&
        transfer.kind == UsbTransfer::Kind::Data)
        usbd = USBD_STATUS_ERROR_SHORT_TRANSFER;
    if (self.stopped_ && usbd != USBD_STATUS_SUCCESS) usbd = *self.stopped_;
    transfer.moved = actual;
    transfer.usbd = usbd;
    libusb_free_transfer(done);
    flight->transfer = nullptr;
    if (transfer.onCallerThread) {
        flight->done = true;
        self.changed_.notify_all();
        return;
    }
    self.flights_.erase(&transfer);
    ++self.callbacks_;  // Detach must not pass before this transfer is handed back
    lock.unlock();
    self.Hand(transfer);
    lock.lock();
    --self.callbacks_;
    self.changed_.notify_all();
}

void LibusbConnection::CancelLocked(Flight& flight) {
    if (flight.transfer == nullptr || flight.cancelled) return;
    flight.cancelled = true;
    libusb_cancel_transfer(flight.transfer);  // the callback comes later, on the event thread
}

void LibusbConnection::Cancel(UsbTransfer& transfer) {
    std::lock_guard lock(mutex_);
    auto it = flights_.find(&transfer);
    if (it != flights_.end()) CancelLocked(*it->second);
}

void LibusbConnection::Abort(std::uint8_t endpoint) {
    std::lock_guard lock(mutex_);
    for (auto& [transfer, flight] : flights_)
        if (transfer->kind == UsbTransfer::Kind::Data && transfer->endpoint == endpoint) CancelLocked(*flight);
}

USBD_STATUS LibusbConnection::ClearStall(std::uint8_t endpoint) {
    return FromError(libusb_clear_halt(handle_, endpoint));
}

// Linux configures the device again after a reset; the driver's next selection finds it so.
void LibusbConnection::ResetPort() {
    {
        std::lock_guard lock(mutex_);
        for (auto& [transfer, flight] : flights_)
            if (transfer->kind == UsbTransfer::Kind::Data) CancelLocked(*flight);
    }
    int error = libusb_reset_device(handle_);
    if (error == LIBUSB_ERROR_NOT_FOUND || error == LIBUSB_ERROR_NO_DEVICE) ReportUnplug();
}

void LibusbConnection::Stop(USBD_STATUS why) {
    std::lock_guard lock(mutex_);
    if (!stopped_ || why == USBD_STATUS_DEVICE_GONE) stopped_ = why;
    for (auto& [transfer, flight] : flights_) CancelLocked(*flight);
}

USBD_STATUS LibusbConnection::Claim(int interface) {
    const bool held = libusb_kernel_driver_active(handle_, interface) == 1;
    std::string driver;
    if (held) {
        int configuration = 0;
        libusb_get_configuration(handle_, &configuration);
        driver = KernelDriverName(libusb_get_device(handle_), configuration, interface);
    }
    int error = libusb_claim_interface(handle_, interface);
    if (error != LIBUSB_SUCCESS) {
        if (error == LIBUSB_ERROR_BUSY && notice_)
            notice_("interface " + std::to_string(interface) +
                    " of the bridge is held by another program; close it and try again.");
        return FromError(error);
    }
    claimed_.push_back(interface);
    if (held && notice_)
        notice_("the kernel driver " + (driver.empty() ? std::string() : "'" + driver + "' ") + "held interface " +
                std::to_string(interface) + " of the bridge; it was detached and is given back when the bridge is closed.");
    return USBD_STATUS_SUCCESS;
}

void LibusbConnection::ReleaseAll() {
    for (int interface : claimed_) libusb_release_interface(handle_, interface);
    claimed_.clear();
}

USBD_STATUS LibusbConnection::Standard(const usb::SetupPacket& setup) {
    if (setup.bRequest == kSetConfiguration) {
        int current = -1;
        // Setting the configuration in use again would reset the device's interfaces.
        if (libusb_get_configuration(handle_, &current) == LIBUSB_SUCCESS && current == setup.wValue)
            return USBD_STATUS_SUCCESS;
        ReleaseAll();
        return FromError(libusb_set_configuration(handle_, setup.wValue == 0 ? -1 : setup.wValue));
    }
    const int interface = setup.wIndex;
    if (std::find(claimed_.begin(), claimed_.end(), interface) == claimed_.end()) {
        USBD_STATUS claimed = Claim(interface);
        if (!USBD_SUCCESS(claimed)) return claimed;
    }
    return FromError(libusb_set_interface_alt_setting(handle_, interface, setup.wValue));
}

// A selection ends the earlier configuration's transfers; its requests go one by one.
void LibusbConnection::Select(UsbTransfer& transfer) {
    if (transfer.kind == UsbTransfer::Kind::Selection) {
        std::unique_lock lock(mutex_);
        for (auto& [other, flight] : flights_)
            if (other->kind == UsbTransfer::Kind::Data) CancelLocked(*flight);
        changed_.wait(lock, [&] {
            return std::none_of(flights_.begin(), flights_.end(),
                                [](const auto& f) { return f.first->kind == UsbTransfer::Kind::Data; });
        });
    }
    transfer.moved = 0;
    transfer.usbd = USBD_STATUS_SUCCESS;
    for (const usb::SetupPacket& step : transfer.steps) {
        transfer.usbd = Standard(step);
        if (!USBD_SUCCESS(transfer.usbd)) return;
    }
}

}  // namespace

std::unique_ptr<usb::UsbConnection> MakeConnection(std::shared_ptr<LibusbHost::Context> context,
                                                   libusb_device_handle* handle, Notice notice) {
    return std::make_unique<LibusbConnection>(std::move(context), handle, std::move(notice));
}

}  // namespace platform::libusb
