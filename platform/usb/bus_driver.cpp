// The bus driver object and its PDOs: ports, PnP and power on the PDO, and the checks a URB
// passes before the host controller sees it.
#include "bus_driver.h"

#include <stdexcept>
#include <string>

#include <usbdlib.h>

#include "bus_state.h"
#include "kernel.h"

namespace platform::usb {

namespace {

NTSTATUS NTAPI BusDispatch(PDEVICE_OBJECT device, PIRP irp) {
    auto* extension = static_cast<PdoExtension*>(device->DeviceExtension);
    return extension->bus->Dispatch(*extension->port, irp);
}

VOID NTAPI BusUnload(PDRIVER_OBJECT) {}

NTSTATUS NTAPI BusDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (auto& dispatch : driver->MajorFunction) dispatch = BusDispatch;
    driver->DriverUnload = BusUnload;
    return STATUS_SUCCESS;
}

// Maps the transfer buffer of a URB: the MDL when there is one (what the caller locked),
// else the plain pointer. Refuses a buffer shorter than the transfer.
bool MapBuffer(PVOID buffer, PMDL mdl, ULONG length, std::span<std::uint8_t>& out) {
    out = {};
    if (length == 0) return true;
    PVOID address = nullptr;
    if (mdl != nullptr) {
        if (MmGetMdlByteCount(mdl) < length) return false;
        address = MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority);
    } else {
        address = buffer;
    }
    if (address == nullptr) return false;
    out = std::span<std::uint8_t>(static_cast<std::uint8_t*>(address), length);
    return true;
}

// bmRequestType type and recipient bits of the vendor and class URB functions.
std::optional<std::uint8_t> VendorClassRequestType(USHORT function) {
    switch (function) {
        case URB_FUNCTION_VENDOR_DEVICE: return 0x40;
        case URB_FUNCTION_VENDOR_INTERFACE: return 0x41;
        case URB_FUNCTION_VENDOR_ENDPOINT: return 0x42;
        case URB_FUNCTION_VENDOR_OTHER: return 0x43;
        case URB_FUNCTION_CLASS_DEVICE: return 0x20;
        case URB_FUNCTION_CLASS_INTERFACE: return 0x21;
        case URB_FUNCTION_CLASS_ENDPOINT: return 0x22;
        case URB_FUNCTION_CLASS_OTHER: return 0x23;
        default: return std::nullopt;
    }
}

}  // namespace

std::vector<PUSB_ENDPOINT_DESCRIPTOR> EndpointsOf(PUSB_CONFIGURATION_DESCRIPTOR configuration,
                                                  PUSB_INTERFACE_DESCRIPTOR interface) {
    std::vector<PUSB_ENDPOINT_DESCRIPTOR> endpoints;
    auto* end = reinterpret_cast<PUCHAR>(configuration) + configuration->wTotalLength;
    auto* at = reinterpret_cast<PUCHAR>(interface) + interface->bLength;
    while (endpoints.size() < interface->bNumEndpoints && at + sizeof(USB_COMMON_DESCRIPTOR) <= end) {
        auto* common = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(at);
        if (common->bLength < sizeof(USB_COMMON_DESCRIPTOR) || at + common->bLength > end) break;
        if (common->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE) break;
        if (common->bDescriptorType == USB_ENDPOINT_DESCRIPTOR_TYPE && common->bLength >= sizeof(USB_ENDPOINT_DESCRIPTOR))
            endpoints.push_back(reinterpret_cast<PUSB_ENDPOINT_DESCRIPTOR>(at));
        at += common->bLength;
    }
    return endpoints;
}

NTSTATUS Complete(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

namespace {

// Checks a select-configuration block against its descriptor; fills the setup packets.
USBD_STATUS PrepareSelectConfiguration(PURB urb, Transfer& transfer) {
    auto& select = urb->UrbSelectConfiguration;
    if (select.Hdr.Length < kFirstInterface) return USBD_STATUS_INVALID_PARAMETER;
    PUSB_CONFIGURATION_DESCRIPTOR configuration = select.ConfigurationDescriptor;
    if (configuration == nullptr) {
        transfer.steps.push_back({0x00, USB_REQUEST_SET_CONFIGURATION, 0, 0, 0});
        return USBD_STATUS_SUCCESS;
    }
    if (configuration->bLength < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
        configuration->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE ||
        configuration->wTotalLength < sizeof(USB_CONFIGURATION_DESCRIPTOR))
        return USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR;

    transfer.steps.push_back({0x00, USB_REQUEST_SET_CONFIGURATION, configuration->bConfigurationValue, 0, 0});
    std::size_t offset = kFirstInterface;
    for (int i = 0; i < configuration->bNumInterfaces; ++i) {
        if (offset + kInterfaceHeader > select.Hdr.Length) return USBD_STATUS_INVALID_PARAMETER;
        auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<PUCHAR>(urb) + offset);
        PUSB_INTERFACE_DESCRIPTOR interface = USBD_ParseConfigurationDescriptorEx(
            configuration, configuration, info->InterfaceNumber, info->AlternateSetting, -1, -1, -1);
        if (interface == nullptr) return USBD_STATUS_INTERFACE_NOT_FOUND;
        auto endpoints = EndpointsOf(configuration, interface);
        if (endpoints.size() != interface->bNumEndpoints) return USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR;
        for (PUSB_ENDPOINT_DESCRIPTOR endpoint : endpoints) {
            if ((endpoint->wMaxPacketSize & 0x7FF) == 0) return USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR;
            transfer.endpoints.push_back({endpoint->bEndpointAddress,
                                          static_cast<USBD_PIPE_TYPE>(endpoint->bmAttributes & USB_ENDPOINT_TYPE_MASK),
                                          static_cast<std::uint16_t>(endpoint->wMaxPacketSize & 0x7FF)});
        }
        // The bus writes every pipe entry: they must all lie inside the caller's block.
        std::size_t needed = GET_USBD_INTERFACE_SIZE(interface->bNumEndpoints);
        if (interface->bNumEndpoints == 0) needed = kInterfaceHeader;
        if (info->Length < needed || offset + info->Length > select.Hdr.Length ||
            info->Length % alignof(USBD_INTERFACE_INFORMATION) != 0)
            return USBD_STATUS_INVALID_PARAMETER;
        transfer.steps.push_back({0x01, USB_REQUEST_SET_INTERFACE, info->AlternateSetting, info->InterfaceNumber, 0});
        offset += info->Length;
    }
    return USBD_STATUS_SUCCESS;
}

}  // namespace

NTSTATUS NtStatusFromUsbd(USBD_STATUS usbd) {
    if (USBD_SUCCESS(usbd)) return STATUS_SUCCESS;
    switch (usbd) {
        case USBD_STATUS_CANCELED: return STATUS_CANCELLED;
        case USBD_STATUS_DEV_NOT_RESPONDING: return STATUS_DEVICE_NOT_CONNECTED;
        case USBD_STATUS_DEVICE_GONE: return STATUS_NO_SUCH_DEVICE;
        case USBD_STATUS_INVALID_PARAMETER:
        case USBD_STATUS_INVALID_PIPE_HANDLE:
        case USBD_STATUS_INTERFACE_NOT_FOUND:
        case USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR: return STATUS_INVALID_PARAMETER;
        case USBD_STATUS_INVALID_URB_FUNCTION: return STATUS_NOT_SUPPORTED;
        case USBD_STATUS_INSUFFICIENT_RESOURCES: return STATUS_INSUFFICIENT_RESOURCES;
        default: return STATUS_UNSUCCESSFUL;
    }
}

BusDriver::State::State(kernel::Kernel& k) : kernel(k), clock(k.clock()), simulated(k.clock()) {}

BusDriver::BusDriver(kernel::Kernel& kernel) : state_(std::make_unique<State>(kernel)) {
    NTSTATUS status = kernel.LoadDriver(L"usbhub", BusDriverEntry, &state_->driver);
    if (!NT_SUCCESS(status)) throw std::runtime_error("the USB bus driver did not load");
}

BusDriver::~BusDriver() {
    State& s = *state_;
    std::vector<PDEVICE_OBJECT> pdos;
    for (auto& [pdo, port] : s.ports) pdos.push_back(pdo);
    for (PDEVICE_OBJECT pdo : pdos) DeletePdo(pdo);
    s.kernel.UnloadDriver(s.driver);
}

PDEVICE_OBJECT BusDriver::Connect(std::shared_ptr<UsbDevice> device) {
    return state_->AddPort(state_->simulated.Connect(std::move(device)), {});
}

PDEVICE_OBJECT BusDriver::Connect(std::unique_ptr<UsbConnection> connection, std::function<void()> unplugged) {
    return state_->AddPort(std::move(connection), std::move(unplugged));
}

PDEVICE_OBJECT BusDriver::State::AddPort(std::unique_ptr<UsbConnection> connection, UsbConnection::Unplugged unplugged) {
    auto port = std::make_unique<Port>();
    {
        std::lock_guard lock(clock.mutex());
        port->number = nextPort++;
    }
    std::wstring name = L"\\Device\\USBPDO-" + std::to_wstring(port->number);
    UNICODE_STRING unicodeName;
    RtlInitUnicodeString(&unicodeName, name.c_str());
    PDEVICE_OBJECT pdo = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(PdoExtension), &unicodeName, FILE_DEVICE_USB,
                                     FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo);
    if (!NT_SUCCESS(status)) throw std::runtime_error("the USB bus driver could not create a PDO");
    pdo->Flags |= DO_BUS_ENUMERATED_DEVICE | DO_POWER_PAGABLE;
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;

    port->connection = std::move(connection);
    port->pdo = pdo;
    *static_cast<PdoExtension*>(pdo->DeviceExtension) = PdoExtension{this, port.get()};
    Port* raw = port.get();
    {
        std::lock_guard lock(clock.mutex());
        ports.emplace(pdo, std::move(port));
    }
    raw->connection->Attach([this](UsbTransfer& done) { OnCompleted(done); }, std::move(unplugged));
    return pdo;
}

// Every transfer of the port ends with `why`, and every later one.
void BusDriver::State::StopPort(Port& port, USBD_STATUS why) {
    port.connection->Stop(why);
}

void BusDriver::Disconnect(PDEVICE_OBJECT pdo) {
    State& s = *state_;
    Port* port = nullptr;
    {
        std::lock_guard lock(s.clock.mutex());
        auto it = s.ports.find(pdo);
        if (it == s.ports.end() || !it->second->connected) return;
        port = it->second.get();
        port->connected = false;
    }
    s.StopPort(*port, USBD_STATUS_DEV_NOT_RESPONDING);
}

void BusDriver::DeletePdo(PDEVICE_OBJECT pdo) {
    State& s = *state_;
    std::unique_ptr<Port> owned;
    {
        std::lock_guard lock(s.clock.mutex());
        auto it = s.ports.find(pdo);
        if (it == s.ports.end()) return;
        it->second->removed = true;
        owned = std::move(it->second);
        s.ports.erase(it);
    }
    s.StopPort(*owned, USBD_STATUS_DEVICE_GONE);
    // Once detached, no call of the connection refers to the port any more.
    owned->connection->Attach({}, {});
    IoDeleteDevice(pdo);
}

void BusDriver::SetTiming(Timing timing) { state_->simulated.SetTiming(timing); }

std::vector<std::uint8_t> BusDriver::PnpMinorsSeen(PDEVICE_OBJECT pdo) const {
    std::lock_guard lock(state_->clock.mutex());
    auto it = state_->ports.find(pdo);
    return it == state_->ports.end() ? std::vector<std::uint8_t>{} : it->second->pnpMinors;
}

void BusDriver::SetCompletion(Completion completion) {
    std::lock_guard lock(state_->clock.mutex());
    state_->completion = completion;
}

PDRIVER_OBJECT BusDriver::driverObject() const { return state_->driver; }

NTSTATUS BusDriver::State::Dispatch(Port& port, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MajorFunction) {
        case IRP_MJ_INTERNAL_DEVICE_CONTROL:
            switch (stack->Parameters.DeviceIoControl.IoControlCode) {
                case IOCTL_INTERNAL_USB_SUBMIT_URB: {
                    auto* urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
                    if (urb == nullptr) return Complete(irp, STATUS_INVALID_PARAMETER);
                    return SubmitUrb(port, irp, urb);
                }
                case IOCTL_INTERNAL_USB_GET_PORT_STATUS: {
                    auto* portStatus = static_cast<PULONG>(stack->Parameters.Others.Argument1);
                    if (portStatus == nullptr) return Complete(irp, STATUS_INVALID_PARAMETER);
                    {
                        std::lock_guard lock(clock.mutex());
                        *portStatus = port.connected ? (USBD_PORT_ENABLED | USBD_PORT_CONNECTED) : 0;
                    }
                    return Complete(irp, STATUS_SUCCESS);
                }
                case IOCTL_INTERNAL_USB_RESET_PORT: return ResetPort(port, irp);
                default: return Complete(irp, STATUS_NOT_SUPPORTED);
            }
        case IRP_MJ_PNP:
            {
                std::lock_guard lock(clock.mutex());
                port.pnpMinors.push_back(stack->MinorFunction);
            }
            switch (stack->MinorFunction) {
                case IRP_MN_REMOVE_DEVICE: {
                    {
                        std::lock_guard lock(clock.mutex());
                        port.removed = true;
                    }
                    StopPort(port, USBD_STATUS_DEVICE_GONE);
                    return Complete(irp, STATUS_SUCCESS);
                }
                case IRP_MN_START_DEVICE:
                case IRP_MN_STOP_DEVICE:
                case IRP_MN_SURPRISE_REMOVAL:
                case IRP_MN_QUERY_REMOVE_DEVICE:
                case IRP_MN_CANCEL_REMOVE_DEVICE:
                case IRP_MN_QUERY_STOP_DEVICE:
                case IRP_MN_CANCEL_STOP_DEVICE: return Complete(irp, STATUS_SUCCESS);
                default: return Complete(irp, irp->IoStatus.Status);
            }
        case IRP_MJ_POWER:
            if (stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER)
                return Complete(irp, STATUS_SUCCESS);
            return Complete(irp, irp->IoStatus.Status);
        case IRP_MJ_SYSTEM_CONTROL: return Complete(irp, irp->IoStatus.Status);
        default: return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

// The port resets the device to its unconfigured state: the pipes of its configuration close
// and what was queued on them ends as cancelled.
NTSTATUS BusDriver::State::ResetPort(Port& port, PIRP irp) {
    {
        std::unique_lock lock(clock.mutex());
        if (!port.connected || port.removed) {
            lock.unlock();
            return Complete(irp, STATUS_DEVICE_NOT_CONNECTED);
        }
        for (auto& pipe : port.pipes) port.retired.push_back(std::move(pipe));
        port.pipes.clear();
    }
    port.connection->ResetPort();
    return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS BusDriver::State::CompleteNow(PIRP irp, PURB urb, USBD_STATUS usbd) {
    urb->UrbHeader.Status = usbd;
    return Complete(irp, NtStatusFromUsbd(usbd));
}

Pipe* BusDriver::State::FindPipe(Port& port, USBD_PIPE_HANDLE handle) {
    for (auto& pipe : port.pipes)
        if (pipe->handle == handle) return pipe.get();
    return nullptr;
}

NTSTATUS BusDriver::State::SubmitUrb(Port& port, PIRP irp, PURB urb) {
    const USHORT length = urb->UrbHeader.Length;
    const USHORT function = urb->UrbHeader.Function;
    if (length < sizeof(struct _URB_HEADER)) return CompleteNow(irp, urb, USBD_STATUS_INVALID_PARAMETER);
    USBD_STATUS portState = USBD_STATUS_SUCCESS;
    {
        std::lock_guard lock(clock.mutex());
        if (port.removed)
            portState = USBD_STATUS_DEVICE_GONE;
        else if (!port.connected)
            portState = USBD_STATUS_DEV_NOT_RESPONDING;
    }
    if (!USBD_SUCCESS(portState)) return CompleteNow(irp, urb, portState);

    auto transfer = std::make_unique<Transfer>();
    transfer->irp = irp;
    transfer->urb = urb;
    transfer->port = &port;

    if (function == URB_FUNCTION_SELECT_CONFIGURATION) {
        transfer->kind = UsbTransfer::Kind::Selection;
        USBD_STATUS check = PrepareSelectConfiguration(urb, *transfer);
        if (!USBD_SUCCESS(check)) return CompleteNow(irp, urb, check);
    } else if (function == URB_FUNCTION_ABORT_PIPE || function == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL ||
               function == URB_FUNCTION_SYNC_RESET_PIPE || function == URB_FUNCTION_SYNC_CLEAR_STALL) {
        if (length < sizeof(struct _URB_PIPE_REQUEST)) return CompleteNow(irp, urb, USBD_STATUS_INVALID_PARAMETER);
        std::unique_lock lock(clock.mutex());
        Pipe* pipe = FindPipe(port, urb->UrbPipeRequest.PipeHandle);
        if (pipe == nullptr) {
            lock.unlock();
            return CompleteNow(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE);
        }
        if (function == URB_FUNCTION_SYNC_RESET_PIPE || function == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL)
            pipe->halted = false;
        lock.unlock();
        if (function == URB_FUNCTION_ABORT_PIPE) return Abort(port, irp, urb, pipe);
        if (function == URB_FUNCTION_SYNC_RESET_PIPE) return CompleteNow(irp, urb, USBD_STATUS_SUCCESS);
        return ClearStall(port, irp, urb, pipe);
    } else if (function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
        auto& bulk = urb->UrbBulkOrInterruptTransfer;
        if (length < sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER))
            return CompleteNow(irp, urb, USBD_STATUS_INVALID_PARAMETER);
        std::unique_lock lock(clock.mutex());
        Pipe* pipe = FindPipe(port, bulk.PipeHandle);
        if (pipe == nullptr || (pipe->type != UsbdPipeTypeBulk && pipe->type != UsbdPipeTypeInterrupt)) {
            lock.unlock();
            return CompleteNow(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE);
        }
        if (pipe->halted) {
            lock.unlock();
            bulk.TransferBufferLength = 0;
            return CompleteNow(irp, urb, USBD_STATUS_ENDPOINT_HALTED);
        }
        ULONG maxTransfer = pipe->maxTransfer;
        transfer->pipe = pipe;
        transfer->endpoint = pipe->endpoint;
        transfer->in = USB_ENDPOINT_DIRECTION_IN(pipe->endpoint) != 0;
        lock.unlock();
        if (bulk.TransferBufferLength > maxTransfer ||
            !MapBuffer(bulk.TransferBuffer, bulk.TransferBufferMDL, bulk.TransferBufferLength, transfer->buffer)) {
            bulk.TransferBufferLength = 0;
            return CompleteNow(irp, urb, USBD_STATUS_INVALID_PARAMETER);
        }
        transfer->kind = UsbTransfer::Kind::Data;
        transfer->shortOk = (bulk.TransferFlags & USBD_SHORT_TRANSFER_OK) != 0;
        transfer->lengthField = &bulk.TransferBufferLength;
        if (transfer->in && bulk.TransferBufferLength == 0) return CompleteNow(irp, urb, USBD_STATUS_SUCCESS);
    } else if (function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE ||
               function == URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE ||
               function == URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT) {
        auto& request = urb->UrbControlDescriptorRequest;
        if (length < sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST) || request.TransferBufferLength > 0xFFFF ||
            !MapBuffer(request.TransferBuffer, request.TransferBufferMDL, request.TransferBufferLength,
                       transfer->buffer))
            return CompleteNow(irp, urb, USBD_STATUS_INVALID_PARAMETER);
        std::uint8_t recipient = function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE      ? 0
                                 : function == URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE ? 1
                                                                                           : 2;
        transfer->in = true;
        transfer->lengthField = &request.TransferBufferLength;
        transfer->steps.push_back({static_cast<std::uint8_t>(0x80 | recipient), USB_REQUEST_GET_DESCRIPTOR,
                                   static_cast<std::uint16_t>(request.DescriptorType << 8 | request.Index),
                                   request.LanguageId, static_cast<std::uint16_t>(request.TransferBufferLength)});
    } else if (auto requestType = VendorClassRequestType(function)) {
        auto& request = urb->UrbControlVendorClassRequest;
        if (length < sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST) || request.TransferBufferLength > 0xFFFF ||
            !MapBuffer(request.TransferBuffer, request.TransferBufferMDL, request.TransferBufferLength,
                       transfer->buffer))
            return CompleteNow(irp, urb, USBD_STATUS_INVALID_PARAMETER);
        transfer->in = (request.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
        transfer->lengthField = &request.TransferBufferLength;
        std::uint8_t bmRequestType =
            static_cast<std::uint8_t>(*requestType | (transfer->in ? 0x80 : 0) | (request.RequestTypeReservedBits & 0x1C));
        transfer->steps.push_back({bmRequestType, request.Request, request.Value, request.Index,
                                   static_cast<std::uint16_t>(request.TransferBufferLength)});
    } else if (function == URB_FUNCTION_CONTROL_TRANSFER) {
        auto& request = urb->UrbControlTransfer;
        bool defaultPipe = (request.TransferFlags & USBD_DEFAULT_PIPE_TRANSFER) != 0 || request.PipeHandle == nullptr;
        if (length < sizeof(struct _URB_CONTROL_TRANSFER) || !defaultPipe || request.TransferBufferLength > 0xFFFF ||
            !MapBuffer(request.TransferBuffer, request.TransferBufferMDL, request.TransferBufferLength,
                       transfer->buffer))
            return CompleteNow(irp, urb, USBD_STATUS_INVALID_PARAMETER);
        transfer->in = (request.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
        transfer->lengthField = &request.TransferBufferLength;
        const UCHAR* raw = request.SetupPacket;
        // The data stage is the buffer the caller gave, whatever wLength said.
        transfer->steps.push_back({static_cast<std::uint8_t>((raw[0] & 0x7F) | (transfer->in ? 0x80 : 0)), raw[1],
                                   static_cast<std::uint16_t>(raw[2] | raw[3] << 8),
                                   static_cast<std::uint16_t>(raw[4] | raw[5] << 8),
                                   static_cast<std::uint16_t>(request.TransferBufferLength)});
    } else if (function == URB_FUNCTION_GET_CURRENT_FRAME_NUMBER) {
        if (length < sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER))
            return CompleteNow(irp, urb, USBD_STATUS_INVALID_PARAMETER);
        urb->UrbGetCurrentFrameNumber.FrameNumber = static_cast<ULONG>(clock.Now().count() / 1000);
        return CompleteNow(irp, urb, USBD_STATUS_SUCCESS);
    } else {
        return CompleteNow(irp, urb, USBD_STATUS_INVALID_URB_FUNCTION);
    }

    urb->UrbHeader.Status = USBD_STATUS_PENDING;
    Transfer* raw = transfer.get();
    std::unique_lock lock(clock.mutex());
    transfers.emplace(irp, std::move(transfer));
    if (completion == Completion::Synchronous) {
        raw->onCallerThread = true;
        lock.unlock();
        port.connection->Submit(*raw);  // returns after OnCompleted has settled it
        lock.lock();
        NTSTATUS status = irp->IoStatus.Status;
        CompleteTransfer(lock, raw);
        return status;
    }
    IoMarkIrpPending(irp);
    raw->cancelArmed = true;
    IoSetCancelRoutine(irp, BusCancel);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        // Cancelled before it reached the connection: the cancel routine will not run.
        raw->cancelRoutineRan = true;
        raw->usbd = USBD_STATUS_CANCELED;
        Settle(*raw);
        CompleteTransfer(lock, raw);
        return STATUS_PENDING;
    }
    lock.unlock();
    port.connection->Submit(*raw);
    return STATUS_PENDING;
}

// The abort waits for the transfers it finds on the pipe, not for later ones; those it can end
// at once end inside the connection's Abort, so that it mostly completes without pending.
NTSTATUS BusDriver::State::Abort(Port& port, PIRP irp, PURB urb, Pipe* pipe) {
    urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
    auto abort = std::make_shared<PendingAbort>();
    abort->irp = irp;
    abort->remaining = 1;  // the dispatch's own hold
    std::unique_lock lock(clock.mutex());
    for (auto& [pending, transfer] : transfers) {
        if (transfer->port != &port || transfer->pipe != pipe) continue;
        transfer->aborts.push_back(abort);
        ++abort->remaining;
    }
    lock.unlock();
    port.connection->Abort(pipe->endpoint);
    lock.lock();
    if (--abort->remaining > 0) {
        IoMarkIrpPending(irp);  // under the lock: the last transfer cannot complete it before
        return STATUS_PENDING;
    }
    lock.unlock();
    return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS BusDriver::State::ClearStall(Port& port, PIRP irp, PURB urb, Pipe* pipe) {
    return CompleteNow(irp, urb, port.connection->ClearStall(pipe->endpoint));
}

// The connection is called without the lock; until it returns the transfer stays ours, so a
// completion that arrives meanwhile is left for this routine to finish.
void BusDriver::State::Cancel(PIRP irp) {
    std::unique_lock lock(clock.mutex());
    auto it = transfers.find(irp);
    if (it == transfers.end()) return;
    Transfer* transfer = it->second.get();
    transfer->cancelRoutineRan = true;
    if (!transfer->awaitingCancelRoutine) {
        transfer->cancelling = true;
        lock.unlock();
        transfer->port->connection->Cancel(*transfer);
        lock.lock();
        transfer->cancelling = false;
    }
    if (transfer->awaitingCancelRoutine) CompleteTransfer(lock, transfer);
}

VOID NTAPI BusCancel(PDEVICE_OBJECT device, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    auto* extension = static_cast<PdoExtension*>(device->DeviceExtension);
    extension->bus->Cancel(irp);
}

}  // namespace platform::usb
