// The host controller: walks the pipes frame by frame, moves packets between the URBs'
// buffers and the devices, and completes the URBs. One device call at a time, never with the
// clock's mutex held; completions run outside it too.
#include <algorithm>

#include "bus_state.h"

namespace platform::usb {

namespace {

constexpr std::int64_t kFrameMicroseconds = 1000;
constexpr int kBulkPacketsPerFrame = 19;

Clock::TimePoint FrameEnd(Clock::TimePoint now) {
    return Clock::TimePoint((now.count() / kFrameMicroseconds + 1) * kFrameMicroseconds);
}

}  // namespace

bool BusDriver::State::Ready(const Port& port, const Pipe& pipe, Clock::TimePoint now) const {
    if (deviceBusy || pipe.queue.empty()) return false;
    const Transfer* head = pipe.queue.front();
    if (head->runsInline || head->inFlight) return false;
    if (pipe.parked && port.changes == pipe.parkedAtChange && (!pipe.retryAt || now < *pipe.retryAt)) return false;
    return true;
}

bool BusDriver::State::AnyReady(Clock::TimePoint now) const {
    for (const auto& [pdo, port] : ports) {
        if (Ready(*port, port->control, now)) return true;
        for (const auto& pipe : port->pipes)
            if (Ready(*port, *pipe, now)) return true;
    }
    return false;
}

std::optional<Clock::TimePoint> BusDriver::State::EarliestRetry() const {
    std::optional<Clock::TimePoint> earliest;
    auto consider = [&](const Pipe& pipe) {
        if (pipe.parked && pipe.retryAt && !pipe.queue.empty() && (!earliest || *pipe.retryAt < *earliest))
            earliest = pipe.retryAt;
    };
    for (const auto& [pdo, port] : ports) {
        consider(port->control);
        for (const auto& pipe : port->pipes) consider(*pipe);
    }
    return earliest;
}

void BusDriver::State::Run() {
    std::unique_lock lock(clock.mutex());
    std::vector<Transfer*> done;
    for (;;) {
        clock.WaitUntil(lock, [&] { return stopping || AnyReady(clock.Now()); }, EarliestRetry());
        if (stopping) break;
        if (AnyReady(clock.Now())) RunFrame(lock, done);
    }
}

// One 1-ms frame: a control step per port (all its stages fit one frame), then bulk and
// interrupt packets round-robin over the pipes. Each data packet takes 1/19 of the frame, so a
// frame carries at most 19, and each goes at its own time: a device that answered NotYet is
// asked again at its NextChance within the same frame, as a host controller retries a NAKed
// transaction. The transfers that ended complete when the frame is over. Timing::Instant has
// no packet times: it moves packets until every pipe is empty or waits for its device.
void BusDriver::State::RunFrame(std::unique_lock<std::mutex>& lock, std::vector<Transfer*>& done) {
    const bool timed = timing == Timing::FullSpeed;
    const Clock::TimePoint frameEnd = FrameEnd(clock.Now());
    const Clock::TimePoint frameStart = frameEnd - Clock::Duration(kFrameMicroseconds);
    frameActive = true;

    std::vector<Port*> snapshot;
    std::vector<std::pair<Port*, Pipe*>> dataPipes;
    for (auto& [pdo, port] : ports) {
        snapshot.push_back(port.get());
        for (auto& pipe : port->pipes) dataPipes.emplace_back(port.get(), pipe.get());
    }
    auto waitForDevice = [&] { clock.WaitUntil(lock, [&] { return !deviceBusy; }, std::nullopt); };

    bool used = false;
    for (Port* port : snapshot) {
        Pipe& control = port->control;
        for (;;) {
            waitForDevice();
            if (!Ready(*port, control, clock.Now())) break;
            control.parked = false;
            used = true;
            if (Step(lock, *control.queue.front(), done) == StepResult::Parked || timed) break;
        }
    }

    // The bus time of the next data packet, in 1/19 microseconds so that 19 packets fill
    // exactly one frame.
    std::int64_t cursor = (clock.Now() - frameStart).count() * kBulkPacketsPerFrame;
    auto cursorTime = [&] {
        return frameStart + Clock::Duration((cursor + kBulkPacketsPerFrame - 1) / kBulkPacketsPerFrame);
    };
    int budget = kBulkPacketsPerFrame;
    for (std::size_t next = 0; !dataPipes.empty() && (!timed || (budget > 0 && cursorTime() < frameEnd));) {
        if (timed) {
            clock.WaitUntil(lock, [&] { return stopping; }, cursorTime());
            if (stopping) break;
        }
        waitForDevice();
        const Clock::TimePoint at = clock.Now();
        std::optional<std::size_t> chosen;
        for (std::size_t i = 0; i < dataPipes.size() && !chosen; ++i) {
            std::size_t candidate = (next + i) % dataPipes.size();
            if (Ready(*dataPipes[candidate].first, *dataPipes[candidate].second, at)) chosen = candidate;
        }
        if (!chosen) {
            // Nothing to move now: go on at the earliest retry if it falls in this frame.
            std::optional<Clock::TimePoint> retry = EarliestRetry();
            if (!timed || !retry || *retry >= frameEnd) break;
            cursor = std::max(cursor, (*retry - frameStart).count() * kBulkPacketsPerFrame);
            continue;
        }
        Pipe& pipe = *dataPipes[*chosen].second;
        pipe.parked = false;
        used = true;
        next = *chosen + 1;
        if (Step(lock, *pipe.queue.front(), done) != StepResult::Parked || !timed) {
            cursor += kFrameMicroseconds;  // one packet's share of the frame
            --budget;
        }
    }

    if (timed && used) clock.WaitUntil(lock, [&] { return stopping; }, frameEnd);
    frameActive = false;
    clock.NotifyAll();
    CompleteAll(lock, done);
}

void BusDriver::State::Enqueue(Transfer* transfer) {
    transfer->pipe->queue.push_back(transfer);
    ++transfer->port->changes;  // a new transfer may be what a parked pipe waits for
    clock.NotifyAll();
}

// Completion::Synchronous: the submitting thread moves the transfer itself, in its turn on the
// pipe, so that aborts, cancels and unplugs still reach it.
NTSTATUS BusDriver::State::ExecuteInline(std::unique_lock<std::mutex>& lock, Transfer* transfer) {
    Pipe& pipe = *transfer->pipe;
    Port& port = *transfer->port;
    Enqueue(transfer);
    std::vector<Transfer*> done;
    while (!transfer->finished) {
        auto myTurn = [&] {
            if (transfer->finished) return true;
            if (deviceBusy || pipe.queue.front() != transfer) return false;
            return !pipe.parked || port.changes != pipe.parkedAtChange ||
                   (pipe.retryAt && clock.Now() >= *pipe.retryAt);
        };
        clock.WaitUntil(lock, myTurn, pipe.parked ? pipe.retryAt : std::nullopt);
        if (transfer->finished || !myTurn()) continue;
        pipe.parked = false;
        Step(lock, *transfer, done);
    }
    NTSTATUS status = transfer->irp->IoStatus.Status;
    done.push_back(transfer);
    CompleteAll(lock, done);
    return status;
}

BusDriver::State::StepResult BusDriver::State::Step(std::unique_lock<std::mutex>& lock, Transfer& transfer,
                                                    std::vector<Transfer*>& done) {
    Port& port = *transfer.port;
    Pipe& pipe = *transfer.pipe;
    std::shared_ptr<UsbDevice> device = port.device;
    const bool control = transfer.kind != Transfer::Kind::Data;
    const std::uint8_t endpoint = control ? 0 : pipe.endpoint;
    SetupPacket setup{};
    std::span<std::uint8_t> data;
    if (control) {
        setup = transfer.steps[transfer.step];
        if (transfer.kind == Transfer::Kind::Control) data = transfer.buffer;
    } else {
        std::size_t remaining = transfer.buffer.size() - transfer.moved;
        data = transfer.buffer.subspan(transfer.moved, std::min<std::size_t>(pipe.maxPacket, remaining));
    }

    transfer.inFlight = true;
    deviceBusy = true;
    busyPort = &port;
    lock.unlock();
    TransferReply reply;
    if (control)
        reply = device->Control(setup, data);
    else if (transfer.in)
        reply = device->In(endpoint, data);
    else
        reply = device->Out(endpoint, data);
    std::optional<Clock::TimePoint> nextChance;
    if (reply.reply == Reply::NotYet) nextChance = device->NextChance(endpoint);
    lock.lock();
    transfer.inFlight = false;
    deviceBusy = false;
    busyPort = nullptr;
    clock.NotifyAll();

    StepResult result = Settle(transfer, reply, data.size(), nextChance, done);
    if (!pipe.waitingAborts.empty() && std::none_of(pipe.queue.begin(), pipe.queue.end(),
                                                    [](const Transfer* t) { return t->inFlight; })) {
        readyAborts.insert(readyAborts.end(), pipe.waitingAborts.begin(), pipe.waitingAborts.end());
        pipe.waitingAborts.clear();
    }
    return result;
}

BusDriver::State::StepResult BusDriver::State::Settle(Transfer& transfer, const TransferReply& reply,
                                                      std::size_t offered, std::optional<Clock::TimePoint> nextChance,
                                                      std::vector<Transfer*>& done) {
    Port& port = *transfer.port;
    Pipe& pipe = *transfer.pipe;
    const bool control = transfer.kind != Transfer::Kind::Data;
    const bool acked = reply.reply == Reply::Ack;
    const bool babble = acked && transfer.in && reply.bytes > offered;
    const std::size_t received = std::min(reply.bytes, offered);
    auto count = [&] {
        if (!acked || transfer.kind == Transfer::Kind::SelectConfiguration) return;
        std::size_t bytes = transfer.in ? received : offered;
        transfer.moved = control ? bytes : transfer.moved + bytes;
    };
    auto finish = [&](USBD_STATUS usbd) {
        transfer.usbd = usbd;
        Finish(&transfer, done);
        return StepResult::Finished;
    };

    if (!port.connected || port.removed) {
        count();
        return finish(port.removed ? USBD_STATUS_DEVICE_GONE : USBD_STATUS_DEV_NOT_RESPONDING);
    }
    if (transfer.failWith) {
        count();
        return finish(*transfer.failWith);
    }
    switch (reply.reply) {
        case Reply::Gone: return finish(USBD_STATUS_DEV_NOT_RESPONDING);
        case Reply::Stall:
            if (!control) {
                // The endpoint halts: what is queued behind fails until the pipe is reset.
                pipe.halted = true;
                finish(USBD_STATUS_STALL_PID);
                Fail(pipe, USBD_STATUS_ENDPOINT_HALTED, done);
                return StepResult::Finished;
            }
            return finish(USBD_STATUS_STALL_PID);
        case Reply::NotYet: {
            // Never ask again at the same instant: a device that keeps saying "now" must not
            // stop the clock.
            Clock::TimePoint earliest = clock.Now() + Clock::Duration(1);
            pipe.parked = true;
            pipe.retryAt = nextChance ? std::optional(std::max(*nextChance, earliest)) : std::nullopt;
            pipe.parkedAtChange = port.changes;
            return StepResult::Parked;
        }
        case Reply::Ack: break;
    }

    count();
    if (babble) return finish(USBD_STATUS_BABBLE_DETECTED);
    if (control) {
        if (++transfer.step < transfer.steps.size()) return StepResult::Progress;
        if (transfer.kind == Transfer::Kind::SelectConfiguration) Configure(transfer, done);
        return finish(USBD_STATUS_SUCCESS);
    }
    if (transfer.in && received < offered)
        return finish(transfer.shortOk ? USBD_STATUS_SUCCESS : USBD_STATUS_ERROR_SHORT_TRANSFER);
    if (transfer.moved == transfer.buffer.size()) return finish(USBD_STATUS_SUCCESS);
    return StepResult::Progress;
}

// Ends the pipe's transfers with `usbd`; one the device is busy with ends when its call returns.
void BusDriver::State::Fail(Pipe& pipe, USBD_STATUS usbd, std::vector<Transfer*>& done) {
    for (Transfer* transfer : std::vector<Transfer*>(pipe.queue.begin(), pipe.queue.end())) {
        if (transfer->inFlight) {
            transfer->failWith = usbd;
        } else {
            transfer->usbd = usbd;
            Finish(transfer, done);
        }
    }
    clock.NotifyAll();
}

// Writes the outcome into the URB and the IRP. The IRP completes later, outside the lock; if a
// cancel routine has been taken by IoCancelIrp meanwhile, that routine completes it instead.
void BusDriver::State::Finish(Transfer* transfer, std::vector<Transfer*>& done) {
    transfer->finished = true;
    std::erase(transfer->pipe->queue, transfer);
    transfer->urb->UrbHeader.Status = transfer->usbd;
    if (transfer->lengthField != nullptr) *transfer->lengthField = static_cast<ULONG>(transfer->moved);
    transfer->irp->IoStatus.Status = NtStatusFromUsbd(transfer->usbd);
    transfer->irp->IoStatus.Information = 0;
    if (transfer->runsInline) return;  // its own thread completes it (ExecuteInline)
    if (transfer->cancelArmed && !transfer->cancelRoutineRan && IoSetCancelRoutine(transfer->irp, nullptr) == nullptr) {
        transfer->awaitingCancelRoutine = true;
        return;
    }
    done.push_back(transfer);
}

// After the device accepted the configuration: the pipes of the new one replace the old ones
// and the caller's block learns their handles.
void BusDriver::State::Configure(Transfer& transfer, std::vector<Transfer*>& done) {
    Port& port = *transfer.port;
    for (auto& pipe : port.pipes) {
        Fail(*pipe, USBD_STATUS_CANCELED, done);
        port.retired.push_back(std::move(pipe));
    }
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
            pipe->maxPacket = static_cast<std::uint16_t>(entry.MaximumPacketSize & 0x7FF);
            pipe->interval = entry.Interval;
            pipe->maxTransfer = entry.MaximumTransferSize;
            port.pipes.push_back(std::move(pipe));
        }
        offset += info->Length;
    }
}

void BusDriver::State::CompleteAll(std::unique_lock<std::mutex>& lock, std::vector<Transfer*>& done) {
    std::vector<std::unique_ptr<Transfer>> owned;
    for (Transfer* transfer : done) {
        auto it = transfers.find(transfer->irp);
        owned.push_back(std::move(it->second));
        transfers.erase(it);
    }
    done.clear();
    std::vector<PIRP> aborts = std::move(readyAborts);
    readyAborts.clear();
    if (owned.empty() && aborts.empty()) return;
    lock.unlock();
    for (auto& transfer : owned) IoCompleteRequest(transfer->irp, IO_NO_INCREMENT);
    for (PIRP abort : aborts) {
        abort->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(abort, IO_NO_INCREMENT);
    }
    lock.lock();
}

}  // namespace platform::usb
