#include "emulated_usbfs.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <linux/usbdevice_fs.h>
#include <umockdev.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <vector>

#include "clock.h"          // platform/kernel
#include "simulated_bus.h"  // platform/usb

namespace usbfs_test {

namespace {

using platform::usb::EndpointInfo;
using platform::usb::SetupPacket;
using platform::usb::UsbTransfer;

// The capabilities of a current kernel's usbfs that libusb looks for.
constexpr std::uint32_t kCapabilities =
    USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
    USBDEVFS_CAP_REAP_AFTER_DISCONNECT;


struct Node;

struct Urb : UsbTransfer {
    Node* node = nullptr;
    UMockdevIoctlData* urbData = nullptr;
    UMockdevIoctlData* bufferData = nullptr;
    usbdevfs_urb* view = nullptr;
    gulong clientAddress = 0;
    bool done = false;
};

struct Node {
    EmulatedDeviceOptions options;
    std::shared_ptr<platform::usb::UsbDevice> device;
    std::unique_ptr<platform::usb::UsbConnection> connection;
    std::vector<std::uint8_t> configuration;  // the whole configuration descriptor
    UMockdevIoctlBase* handler = nullptr;
    std::string devnode;
    std::string syspath;

    bool gone = false;
    bool driverBound = false;
    int detaches = 0;
    std::set<unsigned> claimed;
    std::vector<Urb*> pending;    // submitted, not finished
    std::deque<Urb*> finished;    // waiting to be reaped
    bool goneReaped = false;      // a reap has said ENODEV

    // usbfs tells a poller that a URB can be reaped with POLLOUT. The device node is a FIFO
    // that libusb opens and polls: one byte in its one-page buffer makes it full, so not
    // writable; empty, it is writable. Without this the node would always be ready and
    // libusb's event thread would reap without pause, and umockdev's preload, which sends one
    // ioctl at a time, would keep the capture thread's submits waiting behind those reaps.
    int readiness = -1;  // our end of the FIFO
    bool ready = true;   // the FIFO is empty
};

int ErrnoFor(USBD_STATUS usbd) {
    switch (usbd) {
        case USBD_STATUS_SUCCESS: return 0;
        case USBD_STATUS_CANCELED: return ENOENT;
        case USBD_STATUS_STALL_PID: return EPIPE;
        case USBD_STATUS_ERROR_SHORT_TRANSFER: return EREMOTEIO;
        case USBD_STATUS_BABBLE_DETECTED: return EOVERFLOW;
        case USBD_STATUS_DEV_NOT_RESPONDING:
        case USBD_STATUS_DEVICE_GONE: return ENODEV;
        default: return EPROTO;
    }
}

std::vector<EndpointInfo> EndpointsOf(const std::vector<std::uint8_t>& configuration, unsigned interface,
                                      unsigned alternate) {
    std::vector<EndpointInfo> endpoints;
    bool inside = false;
    for (std::size_t at = 0; at + 2 <= configuration.size() && configuration[at] >= 2; at += configuration[at]) {
        const std::uint8_t* d = &configuration[at];
        if (d[1] == 4 && at + 4 <= configuration.size()) inside = d[2] == interface && d[3] == alternate;
        if (d[1] == 5 && inside && at + 7 <= configuration.size())
            endpoints.push_back({d[2], static_cast<USBD_PIPE_TYPE>(d[3] & 3), static_cast<std::uint16_t>(d[4] | d[5] << 8)});
    }
    return endpoints;
}

std::string Hex(const std::vector<std::uint8_t>& bytes) {
    std::string text;
    char pair[3];
    for (std::uint8_t byte : bytes) {
        std::snprintf(pair, sizeof pair, "%02X", byte);
        text += pair;
    }
    return text;
}

}  // namespace

struct EmulatedUsbfs::State {
    explicit State(platform::Clock& c) : clock(c), bus(c) {}
    UMockdevTestbed* testbed = nullptr;
    platform::Clock& clock;
    platform::usb::SimulatedBus bus;
    std::mutex mutex;
    std::map<int, std::unique_ptr<Node>> nodes;

    static gboolean OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self);
    void Handle(Node& node, UMockdevIoctlClient* client);
    void Submit(Node& node, UMockdevIoctlClient* client);
    void Reap(Node& node, UMockdevIoctlClient* client);
    void Discard(Node& node, UMockdevIoctlClient* client);
    void Signal(Node& node);  // lock held
    void MakeFifo(Node& node);
    void Completed(UsbTransfer& transfer);
    USBD_STATUS Run(Node& node, UsbTransfer& transfer);  // synchronous, on the calling thread
    USBD_STATUS Select(Node& node, const SetupPacket& setup, std::vector<EndpointInfo> endpoints);
};

namespace {

void Finish(UMockdevIoctlClient* client, int error) {
    umockdev_ioctl_client_complete(client, error == 0 ? 0 : -1, error);
}

template <typename T>
T* Argument(UMockdevIoctlClient* client, UMockdevIoctlData** data = nullptr) {
    UMockdevIoctlData* resolved =
        umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, sizeof(T), nullptr);
    if (data != nullptr) *data = resolved;
    return resolved == nullptr ? nullptr : reinterpret_cast<T*>(resolved->data);
}

}  // namespace

gboolean EmulatedUsbfs::State::OnIoctl(UMockdevIoctlBase* handler, UMockdevIoctlClient* client, gpointer self) {
    auto* state = static_cast<State*>(self);
    Node* node = nullptr;
    {
        std::lock_guard lock(state->mutex);
        for (auto& [address, candidate] : state->nodes)
            if (candidate->handler == handler) node = candidate.get();
    }
    if (node == nullptr) return FALSE;
    state->Handle(*node, client);
    return TRUE;
}

void EmulatedUsbfs::State::Handle(Node& node, UMockdevIoctlClient* client) {
    const gulong request = umockdev_ioctl_client_get_request(client);
    {
        std::lock_guard lock(mutex);
        if (node.gone && request != USBDEVFS_REAPURBNDELAY && request != USBDEVFS_REAPURB &&
            request != USBDEVFS_DISCARDURB && request != USBDEVFS_RELEASEINTERFACE)
            return Finish(client, ENODEV);
    }
    switch (request) {
        case USBDEVFS_GET_CAPABILITIES: {
            auto* caps = Argument<std::uint32_t>(client);
            *caps = kCapabilities;
            return Finish(client, 0);
        }
        case USBDEVFS_GETDRIVER: {
            auto* query = Argument<usbdevfs_getdriver>(client);
            std::lock_guard lock(mutex);
            if (query->interface != 0 || !node.driverBound) return Finish(client, ENODATA);
            std::snprintf(query->driver, sizeof query->driver, "%s", node.options.kernelDriver.c_str());
            return Finish(client, 0);
        }
        case USBDEVFS_IOCTL: {
            auto* command = Argument<usbdevfs_ioctl>(client);
            std::lock_guard lock(mutex);
            if (command->ifno != 0) return Finish(client, EINVAL);
            if (command->ioctl_code == static_cast<int>(USBDEVFS_DISCONNECT)) {
                if (!node.driverBound) return Finish(client, ENODATA);
                node.driverBound = false;
                ++node.detaches;
                return Finish(client, 0);
            }
            if (command->ioctl_code == static_cast<int>(USBDEVFS_CONNECT)) {
                if (!node.options.kernelDriver.empty() && !node.claimed.contains(0)) node.driverBound = true;
                return Finish(client, 0);
            }
            return Finish(client, ENOTTY);
        }
        case USBDEVFS_DISCONNECT_CLAIM: {
            auto* claim = Argument<usbdevfs_disconnect_claim>(client);
            std::lock_guard lock(mutex);
            if (claim->interface == 0 && node.driverBound) {
                node.driverBound = false;
                ++node.detaches;
            }
            node.claimed.insert(claim->interface);
            return Finish(client, 0);
        }
        case USBDEVFS_CLAIMINTERFACE: {
            auto* interface = Argument<unsigned>(client);
            std::lock_guard lock(mutex);
            if (*interface == 0 && node.driverBound) return Finish(client, EBUSY);
            node.claimed.insert(*interface);
            return Finish(client, 0);
        }
        case USBDEVFS_RELEASEINTERFACE: {
            auto* interface = Argument<unsigned>(client);
            std::lock_guard lock(mutex);
            node.claimed.erase(*interface);
            return Finish(client, 0);
        }
        case USBDEVFS_SETCONFIGURATION: {
            auto* value = Argument<unsigned>(client);
            SetupPacket setup{0x00, 9, static_cast<std::uint16_t>(*value), 0, 0};
            return Finish(client, ErrnoFor(Select(node, setup, EndpointsOf(node.configuration, 0, 0))));
        }
        case USBDEVFS_SETINTERFACE: {
            auto* choice = Argument<usbdevfs_setinterface>(client);
            SetupPacket setup{0x01, 11, static_cast<std::uint16_t>(choice->altsetting),
                              static_cast<std::uint16_t>(choice->interface), 0};
            return Finish(client, ErrnoFor(Select(node, setup,
                                                  EndpointsOf(node.configuration, choice->interface, choice->altsetting))));
        }
        case USBDEVFS_CLEAR_HALT: {
            auto* endpoint = Argument<unsigned>(client);
            UsbTransfer clear;
            clear.steps = {SetupPacket{0x02, 1, 0, static_cast<std::uint16_t>(*endpoint), 0}};
            USBD_STATUS usbd = Run(node, clear);
            if (USBD_SUCCESS(usbd)) usbd = node.connection->ClearStall(static_cast<std::uint8_t>(*endpoint));
            return Finish(client, ErrnoFor(usbd));
        }
        case USBDEVFS_RESET: {
            node.connection->ResetPort();
            // Linux configures a reset device again.
            SetupPacket setup{0x00, 9, 1, 0, 0};
            return Finish(client, ErrnoFor(Select(node, setup, EndpointsOf(node.configuration, 0, 0))));
        }
        case USBDEVFS_SUBMITURB: return Submit(node, client);
        case USBDEVFS_REAPURB:
        case USBDEVFS_REAPURBNDELAY: return Reap(node, client);
        case USBDEVFS_DISCARDURB: return Discard(node, client);
        default: return Finish(client, ENOTTY);
    }
}

USBD_STATUS EmulatedUsbfs::State::Run(Node& node, UsbTransfer& transfer) {
    transfer.onCallerThread = true;
    node.connection->Submit(transfer);
    return transfer.usbd;
}

USBD_STATUS EmulatedUsbfs::State::Select(Node& node, const SetupPacket& setup, std::vector<EndpointInfo> endpoints) {
    UsbTransfer selection;
    selection.kind = UsbTransfer::Kind::Selection;
    selection.steps = {setup};
    selection.endpoints = std::move(endpoints);
    return Run(node, selection);
}

void EmulatedUsbfs::State::Submit(Node& node, UMockdevIoctlClient* client) {
    UMockdevIoctlData* urbData = nullptr;
    auto* view = Argument<usbdevfs_urb>(client, &urbData);
    const bool control = view->type == USBDEVFS_URB_TYPE_CONTROL;
    if ((!control && view->type != USBDEVFS_URB_TYPE_BULK) || view->buffer_length < 0 ||
        (control && view->buffer_length < 8))
        return Finish(client, EINVAL);
    auto urb = std::make_unique<Urb>();
    urb->node = &node;
    urb->urbData = static_cast<UMockdevIoctlData*>(g_object_ref(urbData));
    urb->clientAddress = urbData->client_addr;
    if (view->buffer_length > 0) {
        UMockdevIoctlData* buffer = umockdev_ioctl_data_resolve(urbData, offsetof(usbdevfs_urb, buffer),
                                                                static_cast<gsize>(view->buffer_length), nullptr);
        urb->bufferData = static_cast<UMockdevIoctlData*>(g_object_ref(buffer));
    }
    view = reinterpret_cast<usbdevfs_urb*>(urbData->data);
    // Left as the client wrote them: umockdev writes back only the bytes that differ from what
    // it read, and the client's copy must take the final status at reap.
    urb->view = view;
    std::span<std::uint8_t> bytes;
    if (urb->bufferData != nullptr)
        bytes = std::span<std::uint8_t>(urb->bufferData->data, static_cast<std::size_t>(view->buffer_length));
    if (control) {
        const std::uint8_t* s = bytes.data();
        urb->kind = UsbTransfer::Kind::Control;
        urb->in = (s[0] & 0x80) != 0;
        std::uint16_t length = static_cast<std::uint16_t>(s[6] | s[7] << 8);
        urb->steps = {SetupPacket{s[0], s[1], static_cast<std::uint16_t>(s[2] | s[3] << 8),
                                  static_cast<std::uint16_t>(s[4] | s[5] << 8), length}};
        urb->buffer = bytes.subspan(8, std::min<std::size_t>(length, bytes.size() - 8));
    } else {
        urb->kind = UsbTransfer::Kind::Data;
        urb->endpoint = view->endpoint;
        urb->in = (view->endpoint & 0x80) != 0;
        urb->shortOk = (view->flags & USBDEVFS_URB_SHORT_NOT_OK) == 0;
        urb->buffer = bytes;
    }
    Urb* raw = urb.release();
    {
        std::lock_guard lock(mutex);
        node.pending.push_back(raw);
    }
    node.connection->Submit(*raw);
    Finish(client, 0);
}

void EmulatedUsbfs::State::Completed(UsbTransfer& transfer) {
    if (transfer.onCallerThread) return;  // Run's own
    auto& urb = static_cast<Urb&>(transfer);
    std::lock_guard lock(mutex);
    Node& node = *urb.node;
    urb.view->status = -ErrnoFor(urb.usbd);
    urb.view->actual_length = static_cast<int>(urb.moved);
    urb.done = true;
    std::erase(node.pending, &urb);
    node.finished.push_back(&urb);
    Signal(node);
}

void EmulatedUsbfs::State::Signal(Node& node) {
    const bool reapable = !node.finished.empty() || (node.gone && !node.goneReaped);
    if (reapable == node.ready) return;
    std::uint8_t byte = 0;
    const ssize_t moved = reapable ? ::read(node.readiness, &byte, 1) : ::write(node.readiness, &byte, 1);
    if (moved != 1) throw std::runtime_error("the device node's FIFO did not take its byte");
    node.ready = reapable;
}

// REAPURBNDELAY as usbfs does it: never waits. libusb reaps only after poll() said so.
void EmulatedUsbfs::State::Reap(Node& node, UMockdevIoctlClient* client) {
    std::unique_lock lock(mutex);
    if (node.finished.empty()) {
        int error = EAGAIN;
        if (node.gone) {
            error = ENODEV;
            node.goneReaped = true;
        }
        Signal(node);
        lock.unlock();
        return Finish(client, error);
    }
    Urb* urb = node.finished.front();
    node.finished.pop_front();
    Signal(node);
    lock.unlock();
    UMockdevIoctlData* slot =
        umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, sizeof(void*), nullptr);
    umockdev_ioctl_data_set_ptr(slot, 0, urb->urbData);
    Finish(client, 0);
    if (urb->bufferData != nullptr) g_object_unref(urb->bufferData);
    g_object_unref(urb->urbData);
    delete urb;
}

void EmulatedUsbfs::State::Discard(Node& node, UMockdevIoctlClient* client) {
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    gulong address = 0;
    std::memcpy(&address, arg->data, std::min<std::size_t>(sizeof address, static_cast<std::size_t>(arg->data_len)));
    Urb* found = nullptr;
    {
        std::lock_guard lock(mutex);
        for (Urb* urb : node.pending)
            if (urb->clientAddress == address) found = urb;
    }
    if (found == nullptr) return Finish(client, EINVAL);
    node.connection->Cancel(*found);
    Finish(client, 0);
}

EmulatedUsbfs::EmulatedUsbfs(platform::Clock& clock) : state_(std::make_unique<State>(clock)) {
    const char* preload = std::getenv("LD_PRELOAD");
    if (preload == nullptr || std::strstr(preload, "umockdev") == nullptr)
        throw std::runtime_error("not under umockdev's preload library: run through umockdev-wrapper");
    state_->testbed = umockdev_testbed_new();
}

EmulatedUsbfs::~EmulatedUsbfs() {
    for (auto& [address, node] : state_->nodes) {
        node->connection->Stop(USBD_STATUS_DEVICE_GONE);
        node->connection->Attach({}, {});
        umockdev_testbed_detach_ioctl(state_->testbed, node->devnode.c_str(), nullptr);
        g_object_unref(node->handler);
        node->connection.reset();
        if (node->readiness >= 0) ::close(node->readiness);
        for (Urb* urb : node->finished) {
            if (urb->bufferData != nullptr) g_object_unref(urb->bufferData);
            g_object_unref(urb->urbData);
            delete urb;
        }
    }
    g_object_unref(state_->testbed);
}

void EmulatedUsbfs::State::MakeFifo(Node& node) {
    gchar* root = umockdev_testbed_get_root_dir(testbed);
    const std::string path = std::string(root) + node.devnode;
    g_free(root);
    ::unlink(path.c_str());
    if (::mkfifo(path.c_str(), 0600) != 0 || ::chmod(path.c_str(), 0644) != 0)
        throw std::runtime_error("could not make the device node " + path + " a FIFO");
    node.readiness = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (node.readiness < 0 || ::fcntl(node.readiness, F_SETPIPE_SZ, static_cast<int>(::getpagesize())) < 0)
        throw std::runtime_error("could not open the device node's FIFO " + path);
    std::lock_guard lock(mutex);
    Signal(node);  // nothing to reap yet
}

void EmulatedUsbfs::Add(std::shared_ptr<platform::usb::UsbDevice> device, const EmulatedDeviceOptions& options) {
    auto node = std::make_unique<Node>();
    node->options = options;
    node->device = device;
    node->driverBound = !options.kernelDriver.empty();

    // What the kernel reads at enumeration.
    std::vector<std::uint8_t> descriptors(18);
    device->Control({0x80, 6, 0x0100, 0, 18}, descriptors);
    std::vector<std::uint8_t> header(9);
    device->Control({0x80, 6, 0x0200, 0, 9}, header);
    node->configuration.resize(static_cast<std::size_t>(header[2] | header[3] << 8));
    device->Control({0x80, 6, 0x0200, 0, static_cast<std::uint16_t>(node->configuration.size())}, node->configuration);
    if (options.vendor != 0) {
        descriptors[8] = static_cast<std::uint8_t>(options.vendor);
        descriptors[9] = static_cast<std::uint8_t>(options.vendor >> 8);
        descriptors[10] = static_cast<std::uint8_t>(options.product);
        descriptors[11] = static_cast<std::uint8_t>(options.product >> 8);
    }
    const unsigned vendor = descriptors[8] | descriptors[9] << 8, product = descriptors[10] | descriptors[11] << 8;
    descriptors.insert(descriptors.end(), node->configuration.begin(), node->configuration.end());

    char devname[32], sysname[32], ids[64];
    std::snprintf(devname, sizeof devname, "bus/usb/%03d/%03d", options.bus, options.address);
    std::snprintf(sysname, sizeof sysname, "%d-%d", options.bus, options.address);
    std::snprintf(ids, sizeof ids, "A: idVendor=%04x\nA: idProduct=%04x\n", vendor, product);
    const std::string sys = "/devices/pci0000:00/usb" + std::to_string(options.bus) + "/" + sysname;
    std::string record = "P: " + sys + "\nN: " + devname + "\nE: DEVNAME=/dev/" + devname +
                         "\nE: DEVTYPE=usb_device\nE: SUBSYSTEM=usb\nA: busnum=" + std::to_string(options.bus) +
                         "\nA: devnum=" + std::to_string(options.address) + "\nA: dev=189:" +
                         std::to_string(options.bus * 128 + options.address) + "\n" + ids +
                         "A: speed=12\nA: bConfigurationValue=1\nA: devpath=" + std::to_string(options.address) +
                         "\nH: descriptors=" + Hex(descriptors) + "\n";
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(state_->testbed, record.c_str(), &error))
        throw std::runtime_error(std::string("umockdev refused the device: ") + error->message);
    if (!options.kernelDriver.empty()) {
        std::string interface = "P: " + sys + "/" + sysname + ":1.0\nE: DEVTYPE=usb_interface\nE: SUBSYSTEM=usb\n" +
                                "A: bInterfaceNumber=00\nL: driver=../../../../../bus/usb/drivers/" +
                                options.kernelDriver + "\n";
        umockdev_testbed_add_from_string(state_->testbed, interface.c_str(), nullptr);
    }
    node->devnode = std::string("/dev/") + devname;
    node->syspath = "/sys" + sys;
    state_->MakeFifo(*node);
    node->connection = state_->bus.Connect(device);
    State* state = state_.get();
    node->connection->Attach([state](UsbTransfer& transfer) { state->Completed(transfer); }, {});
    state_->Select(*node, SetupPacket{0x00, 9, 1, 0, 0}, EndpointsOf(node->configuration, 0, 0));

    node->handler = umockdev_ioctl_base_new();
    g_signal_connect(node->handler, "handle-ioctl", G_CALLBACK(State::OnIoctl), state_.get());
    Node* raw = node.get();
    {
        std::lock_guard lock(state_->mutex);
        state_->nodes.emplace(options.address, std::move(node));
    }
    if (!umockdev_testbed_attach_ioctl(state_->testbed, raw->devnode.c_str(), raw->handler, &error))
        throw std::runtime_error(std::string("umockdev did not take the ioctl handler: ") + error->message);
    if (options.ownerOnly) {
        // Everything else of the testbed stays usable by anyone (sysfs, udev's event socket).
        gchar* root = umockdev_testbed_get_root_dir(state_->testbed);
        ::chmod(root, 0777);
        for (const auto& entry : std::filesystem::recursive_directory_iterator(root))
            if (entry.is_socket() || entry.is_directory())
                std::filesystem::permissions(entry.path(), std::filesystem::perms::all);
        ::chmod((std::string(root) + raw->devnode).c_str(), geteuid() == 0 ? 0600 : 0000);
        g_free(root);
    }

}

void EmulatedUsbfs::Unplug(int address) {
    Node* node = nullptr;
    {
        std::lock_guard lock(state_->mutex);
        node = state_->nodes.at(address).get();
        node->gone = true;
    }
    node->connection->Stop(USBD_STATUS_DEV_NOT_RESPONDING);
    {
        std::lock_guard lock(state_->mutex);
        state_->Signal(*node);
    }
    umockdev_testbed_uevent(state_->testbed, node->syspath.c_str(), "remove");
}

int EmulatedUsbfs::detaches(int address) const {
    std::lock_guard lock(state_->mutex);
    return state_->nodes.at(address)->detaches;
}

bool EmulatedUsbfs::kernelDriverBound(int address) const {
    std::lock_guard lock(state_->mutex);
    return state_->nodes.at(address)->driverBound;
}

int EmulatedUsbfs::urbsOutstanding(int address) const {
    std::lock_guard lock(state_->mutex);
    const Node& node = *state_->nodes.at(address);
    return static_cast<int>(node.pending.size() + node.finished.size());
}

}  // namespace usbfs_test
