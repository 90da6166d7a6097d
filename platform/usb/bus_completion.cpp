// Transfers handed back by a port's connection: the outcome goes into the URB and the IRP,
// a selection opens its pipes, and the IRP completes unless its cancel routine or its
// submitter is the one to complete it.
#include <usbdlib.h>

#include "bus_state.h"

namespace platform::usb {

void BusDriver::State::OnCompleted(UsbTransfer& done) {
    auto& transfer = static_cast<Transfer&>(done);
    std::unique_lock lock(clock.mutex());
    if (Settle(transfer)) CompleteTransfer(lock, &transfer);
}

bool BusDriver::State::Settle(Transfer& transfer) {
    transfer.ended = true;
    if (transfer.pipe != nullptr && transfer.usbd == USBD_STATUS_STALL_PID) transfer.pipe->halted = true;
    if (transfer.kind == UsbTransfer::Kind::Selection && USBD_SUCCESS(transfer.usbd)) Configure(transfer);
    transfer.urb->UrbHeader.Status = transfer.usbd;
    if (transfer.lengthField != nullptr) *transfer.lengthField = static_cast<ULONG>(transfer.moved);
    transfer.irp->IoStatus.Status = NtStatusFromUsbd(transfer.usbd);
    transfer.irp->IoStatus.Information = 0;
    if (transfer.onCallerThread) return false;
    if (transfer.cancelling) {
        transfer.awaitingCancelRoutine = true;
        return false;
    }
    // IoCancelIrp has taken the cancel routine: the routine completes the IRP.
    if (transfer.cancelArmed && !transfer.cancelRoutineRan && IoSetCancelRoutine(transfer.irp, nullptr) == nullptr) {
        transfer.awaitingCancelRoutine = true;
        return false;
    }
    return true;
}

// Called with the lock held; returns with it released.
void BusDriver::State::CompleteTransfer(std::unique_lock<std::mutex>& lock, Transfer* transfer) {
    std::vector<PIRP> aborts;
    for (auto& abort : transfer->aborts)
        if (--abort->remaining == 0) aborts.push_back(abort->irp);
    auto it = transfers.find(transfer->irp);
    std::unique_ptr<Transfer> owned = std::move(it->second);
    transfers.erase(it);
    lock.unlock();
    IoCompleteRequest(owned->irp, IO_NO_INCREMENT);
    for (PIRP abort : aborts) Complete(abort, STATUS_SUCCESS);
}

// The pipes of the new configuration replace the old ones and the caller's block learns their
// handles.
void BusDriver::State::Configure(Transfer& transfer) {
    Port& port = *transfer.port;
    for (auto& pipe : port.pipes) port.retired.push_back(std::move(pipe));
    port.pipes.clear();

    auto& select = transfer.urb->UrbSelectConfiguration;
    PUSB_CONFIGURATION_DESCRIPTOR configuration = select.ConfigurationDescriptor;
    if (configuration == nullptr) {
        select.ConfigurationHandle = nullptr;
        return;
    }
    select.ConfigurationHandle = reinterpret_cast<USBD_CONFIGURATION_HANDLE>(++nextHandle);
    std::size_t offset = kFirstInterface;
    for (int i = 0; i < configuration->bNumInterfaces; ++i) {
        auto* info =
            reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<PUCHAR>(transfer.urb) + offset);
        PUSB_INTERFACE_DESCRIPTOR interface = USBD_ParseConfigurationDescriptorEx(
            configuration, configuration, info->InterfaceNumber, info->AlternateSetting, -1, -1, -1);
        info->Class = interface->bInterfaceClass;
        info->SubClass = interface->bInterfaceSubClass;
        info->Protocol = interface->bInterfaceProtocol;
        info->Reserved = 0;
        info->InterfaceHandle = reinterpret_cast<USBD_INTERFACE_HANDLE>(++nextHandle);
        auto endpoints = EndpointsOf(configuration, interface);
        info->NumberOfPipes = static_cast<ULONG>(endpoints.size());
        for (std::size_t j = 0; j < endpoints.size(); ++j) {
            PUSB_ENDPOINT_DESCRIPTOR descriptor = endpoints[j];
            USBD_PIPE_INFORMATION& entry = info->Pipes[j];
            entry.MaximumPacketSize = descriptor->wMaxPacketSize;
            entry.EndpointAddress = descriptor->bEndpointAddress;
            entry.Interval = descriptor->bInterval;
            entry.PipeType = static_cast<USBD_PIPE_TYPE>(descriptor->bmAttributes & USB_ENDPOINT_TYPE_MASK);
            entry.PipeHandle = reinterpret_cast<USBD_PIPE_HANDLE>(++nextHandle);

            auto pipe = std::make_unique<Pipe>();
            pipe->handle = entry.PipeHandle;
            pipe->endpoint = entry.EndpointAddress;
            pipe->type = entry.PipeType;
            pipe->maxTransfer = entry.MaximumTransferSize;
            port.pipes.push_back(std::move(pipe));
        }
        offset += info->Length;
    }
}

}  // namespace platform::usb
