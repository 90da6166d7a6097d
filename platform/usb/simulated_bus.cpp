// The simulated host controller: walks the pipes frame by frame, moves packets between the
// transfers' buffers and the devices, and hands finished transfers back to the bus driver. One
// device call at a time, never with the clock's mutex held; completions run outside it too.
#include "simulated_bus.h"

#include <algorithm>
#include <deque>
#include <map>
#include <optional>
#include <thread>
#include <vector>

#include <usb.h>

namespace platform::usb {

namespace {

constexpr std::int64_t kFrameMicroseconds = 1000;
constexpr int kBulkPacketsPerFrame = 19;
// On the wall clock, the most bus time that a host controller run late makes up for at once.
constexpr std::int64_t kCatchUpFrames = 40;

Clock::TimePoint FrameEnd(Clock::TimePoint now) {
    return Clock::TimePoint((now.count() / kFrameMicroseconds + 1) * kFrameMicroseconds);
}

struct Port;
struct Pipe;

// A transfer on its way through the host controller.
struct Job {
    UsbTransfer* transfer = nullptr;
    Port* port = nullptr;
    Pipe* pipe = nullptr;
    std::size_t step = 0;  // the control step being sent (a selection has several)
    bool runsInline = false;
    bool inFlight = false;  // the host controller is calling the device for it
    bool finished = false;
    std::optional<USBD_STATUS> failWith;  // cancel, abort or unplug arrived while in flight
};

struct Pipe {
    EndpointInfo info;
    std::deque<Job*> queue;
    // After a NotYet: parked until this time, or (nullopt) until the port's change count moves.
    bool parked = false;
    std::optional<Clock::TimePoint> retryAt;
    std::uint64_t parkedAtChange = 0;
};

struct Port {
    std::shared_ptr<UsbDevice> device;
    UsbConnection::Completed completed;
    std::optional<USBD_STATUS> stopped;
    std::uint64_t changes = 0;  // bumped by submissions, aborts, unplug, the device's wake-up

    Pipe control;                                // the default pipe
    std::vector<std::unique_ptr<Pipe>> pipes;    // of the selected configuration
    std::vector<std::unique_ptr<Pipe>> retired;  // of earlier ones, kept while the port lives
};

class SimulatedConnection;

}  // namespace

// Everything here is guarded by the clock's mutex, so that the host controller's clock waits
// and the changes that should wake it cannot cross.
struct SimulatedBus::State {
    explicit State(Clock& c) : clock(c) {}

    Clock& clock;
    Timing timing = Timing::FullSpeed;
    std::vector<Port*> ports;
    std::map<UsbTransfer*, std::unique_ptr<Job>> jobs;  // every transfer not yet handed back
    bool deviceBusy = false;  // a device call is running (one at a time)
    Port* busyPort = nullptr;
    bool frameActive = false;  // the host controller is inside a frame and holds port pointers
    int completing = 0;        // completions being called back
    bool stopping = false;
    // Wall clock: the end of the last frame that left data packets waiting, if it was the last.
    std::optional<Clock::TimePoint> behindSince;
    std::thread hostController;

    enum class StepResult { Progress, Parked, Finished };
    void Run();
    void RunFrame(std::unique_lock<std::mutex>& lock, std::vector<Job*>& done);
    bool Ready(const Port& port, const Pipe& pipe, Clock::TimePoint now) const;
    bool AnyReady(Clock::TimePoint now) const;
    std::optional<Clock::TimePoint> EarliestRetry() const;
    void Enqueue(Job* job);
    void ExecuteInline(std::unique_lock<std::mutex>& lock, Job* job);
    StepResult Step(std::unique_lock<std::mutex>& lock, Job& job, std::vector<Job*>& done);
    StepResult Settle(Job& job, const TransferReply& reply, std::size_t offered,
                      std::optional<Clock::TimePoint> nextChance, std::vector<Job*>& done);
    void Fail(Pipe& pipe, USBD_STATUS usbd, std::vector<Job*>& done);
    void Finish(Job* job, USBD_STATUS usbd, std::vector<Job*>& done);
    void Configure(Job& job, std::vector<Job*>& done);
    void CompleteAll(std::unique_lock<std::mutex>& lock, std::vector<Job*>& done);
};

namespace {

class SimulatedConnection : public UsbConnection {
public:
    SimulatedConnection(SimulatedBus::State& bus, std::shared_ptr<UsbDevice> device);
    ~SimulatedConnection() override;

    void Attach(Completed completed, Unplugged unplugged) override;
    void Submit(UsbTransfer& transfer) override;
    void Cancel(UsbTransfer& transfer) override;
    void Abort(std::uint8_t endpoint) override;
    USBD_STATUS ClearStall(std::uint8_t endpoint) override;
    void ResetPort() override;
    void Stop(USBD_STATUS why) override;

private:
    void Detach();

    SimulatedBus::State& bus_;
    std::unique_ptr<Port> port_;
    bool listed_ = true;
};

}  // namespace

bool SimulatedBus::State::Ready(const Port& port, const Pipe& pipe, Clock::TimePoint now) const {
    if (deviceBusy || pipe.queue.empty()) return false;
    const Job* head = pipe.queue.front();
    if (head->runsInline || head->inFlight) return false;
    if (pipe.parked && port.changes == pipe.parkedAtChange && (!pipe.retryAt || now < *pipe.retryAt)) return false;
    return true;
}

bool SimulatedBus::State::AnyReady(Clock::TimePoint now) const {
    for (const Port* port : ports) {
        if (Ready(*port, port->control, now)) return true;
        for (const auto& pipe : port->pipes)
            if (Ready(*port, *pipe, now)) return true;
    }
    return false;
}

std::optional<Clock::TimePoint> SimulatedBus::State::EarliestRetry() const {
    std::optional<Clock::TimePoint> earliest;
    auto consider = [&](const Pipe& pipe) {
        if (pipe.parked && pipe.retryAt && !pipe.queue.empty() && (!earliest || *pipe.retryAt < *earliest))
            earliest = pipe.retryAt;
    };
    for (const Port* port : ports) {
        consider(port->control);
        for (const auto& pipe : port->pipes) consider(*pipe);
    }
    return earliest;
}

void SimulatedBus::State::Run() {
    std::unique_lock lock(clock.mutex());
    std::vector<Job*> done;
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
void SimulatedBus::State::RunFrame(std::unique_lock<std::mutex>& lock, std::vector<Job*>& done) {
    const bool timed = timing == Timing::FullSpeed;
    const Clock::TimePoint frameEnd = FrameEnd(clock.Now());
    const Clock::TimePoint frameStart = frameEnd - Clock::Duration(kFrameMicroseconds);
    frameActive = true;

    std::vector<Port*> snapshot = ports;
    std::vector<std::pair<Port*, Pipe*>> dataPipes;
    for (Port* port : snapshot)
        for (auto& pipe : port->pipes) dataPipes.emplace_back(port, pipe.get());
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
    // exactly one frame. On the wall clock a thread that a busy machine ran late has missed
    // bus time in which a host controller would have gone on moving data: the packets go on
    // from where the last frame left them, ahead of this frame's.
    const bool paced = clock.mode() == Clock::Mode::Virtual;
    std::int64_t cursor = (clock.Now() - frameStart).count() * kBulkPacketsPerFrame;
    if (timed && !paced && behindSince)
        cursor = std::max<std::int64_t>((*behindSince - frameStart).count(), -kCatchUpFrames * kFrameMicroseconds) *
                 kBulkPacketsPerFrame;
    auto cursorTime = [&] {
        return frameStart + Clock::Duration((cursor + kBulkPacketsPerFrame - 1) / kBulkPacketsPerFrame);
    };
    // On the wall clock a sleep of a packet's 52 us overshoots by tens of microseconds, so the
    // packets of a frame go back to back there (still at most 19 a frame, besides those made up
    // for) and the bus sleeps only for a retry or the frame's end.
    bool awaitRetry = false;
    int budget = kBulkPacketsPerFrame + static_cast<int>(std::max<std::int64_t>(-cursor, 0) / kFrameMicroseconds);
    for (std::size_t next = 0; !dataPipes.empty() && (!timed || (budget > 0 && cursorTime() < frameEnd));) {
        if (timed && (paced || awaitRetry)) {
            clock.WaitUntil(lock, [&] { return stopping; }, cursorTime());
            if (stopping) break;
        }
        awaitRetry = false;
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
            awaitRetry = true;
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

    // Packets left for the next frame: the bus, not the devices, held them back.
    const bool busBound = timed && !dataPipes.empty() && (budget == 0 || cursorTime() >= frameEnd);
    behindSince = busBound && !paced ? std::optional(frameEnd) : std::nullopt;
    if (timed && used) clock.WaitUntil(lock, [&] { return stopping; }, frameEnd);
    frameActive = false;
    clock.NotifyAll(lock);
    CompleteAll(lock, done);
}

void SimulatedBus::State::Enqueue(Job* job) {
    job->pipe->queue.push_back(job);
    ++job->port->changes;  // a new transfer may be what a parked pipe waits for
    clock.NotifyAll();
}

// The submitting thread moves the transfer itself, in its turn on the pipe, so that aborts,
// cancels and unplugs still reach it.
void SimulatedBus::State::ExecuteInline(std::unique_lock<std::mutex>& lock, Job* job) {
    Pipe& pipe = *job->pipe;
    Port& port = *job->port;
    Enqueue(job);
    std::vector<Job*> done;
    while (!job->finished) {
        auto myTurn = [&] {
            if (job->finished) return true;
            if (deviceBusy || pipe.queue.front() != job) return false;
            return !pipe.parked || port.changes != pipe.parkedAtChange ||
                   (pipe.retryAt && clock.Now() >= *pipe.retryAt);
        };
        clock.WaitUntil(lock, myTurn, pipe.parked ? pipe.retryAt : std::nullopt);
        if (job->finished || !myTurn()) continue;
        pipe.parked = false;
        Step(lock, *job, done);
    }
    job->runsInline = false;
    done.push_back(job);
    CompleteAll(lock, done);
}

SimulatedBus::State::StepResult SimulatedBus::State::Step(std::unique_lock<std::mutex>& lock, Job& job,
                                                          std::vector<Job*>& done) {
    UsbTransfer& transfer = *job.transfer;
    std::shared_ptr<UsbDevice> device = job.port->device;
    const bool control = transfer.kind != UsbTransfer::Kind::Data;
    const std::uint8_t endpoint = control ? 0 : job.pipe->info.address;
    SetupPacket setup{};
    std::span<std::uint8_t> data;
    if (control) {
        setup = transfer.steps[job.step];
        if (transfer.kind == UsbTransfer::Kind::Control) data = transfer.buffer;
    } else {
        std::size_t remaining = transfer.buffer.size() - transfer.moved;
        data = transfer.buffer.subspan(transfer.moved, std::min<std::size_t>(job.pipe->info.maxPacket, remaining));
    }

    job.inFlight = true;
    deviceBusy = true;
    busyPort = job.port;
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
    job.inFlight = false;
    deviceBusy = false;
    busyPort = nullptr;
    clock.NotifyAll(lock);
    return Settle(job, reply, data.size(), nextChance, done);
}

SimulatedBus::State::StepResult SimulatedBus::State::Settle(Job& job, const TransferReply& reply,
                                                            std::size_t offered,
                                                            std::optional<Clock::TimePoint> nextChance,
                                                            std::vector<Job*>& done) {
    UsbTransfer& transfer = *job.transfer;
    Port& port = *job.port;
    Pipe& pipe = *job.pipe;
    const bool control = transfer.kind != UsbTransfer::Kind::Data;
    const bool acked = reply.reply == Reply::Ack;
    const bool babble = acked && transfer.in && reply.bytes > offered;
    const std::size_t received = std::min(reply.bytes, offered);
    auto count = [&] {
        if (!acked || transfer.kind == UsbTransfer::Kind::Selection) return;
        std::size_t bytes = transfer.in ? received : offered;
        transfer.moved = control ? bytes : transfer.moved + bytes;
    };
    auto finish = [&](USBD_STATUS usbd) {
        Finish(&job, usbd, done);
        return StepResult::Finished;
    };

    if (port.stopped) {
        count();
        return finish(*port.stopped);
    }
    if (job.failWith) {
        count();
        return finish(*job.failWith);
    }
    switch (reply.reply) {
        case Reply::Gone: return finish(USBD_STATUS_DEV_NOT_RESPONDING);
        case Reply::Stall: return finish(USBD_STATUS_STALL_PID);
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
        if (++job.step < transfer.steps.size()) return StepResult::Progress;
        if (transfer.kind == UsbTransfer::Kind::Selection) Configure(job, done);
        return finish(USBD_STATUS_SUCCESS);
    }
    if (transfer.in && received < offered)
        return finish(transfer.shortOk ? USBD_STATUS_SUCCESS : USBD_STATUS_ERROR_SHORT_TRANSFER);
    if (transfer.moved == transfer.buffer.size()) return finish(USBD_STATUS_SUCCESS);
    return StepResult::Progress;
}

// Ends the pipe's transfers with `usbd`; one the device is busy with ends when its call returns.
void SimulatedBus::State::Fail(Pipe& pipe, USBD_STATUS usbd, std::vector<Job*>& done) {
    for (Job* job : std::vector<Job*>(pipe.queue.begin(), pipe.queue.end())) {
        if (job->inFlight)
            job->failWith = usbd;
        else
            Finish(job, usbd, done);
    }
    clock.NotifyAll();
}

// A transfer run inline is handed back by its own thread (ExecuteInline).
void SimulatedBus::State::Finish(Job* job, USBD_STATUS usbd, std::vector<Job*>& done) {
    job->finished = true;
    job->transfer->usbd = usbd;
    std::erase(job->pipe->queue, job);
    if (!job->runsInline) done.push_back(job);
}

// After the device accepted the configuration: the pipes of the new one replace the old ones.
void SimulatedBus::State::Configure(Job& job, std::vector<Job*>& done) {
    Port& port = *job.port;
    for (auto& pipe : port.pipes) {
        Fail(*pipe, USBD_STATUS_CANCELED, done);
        port.retired.push_back(std::move(pipe));
    }
    port.pipes.clear();
    for (const EndpointInfo& endpoint : job.transfer->endpoints) {
        auto pipe = std::make_unique<Pipe>();
        pipe->info = endpoint;
        port.pipes.push_back(std::move(pipe));
    }
}

void SimulatedBus::State::CompleteAll(std::unique_lock<std::mutex>& lock, std::vector<Job*>& done) {
    std::vector<std::pair<UsbConnection::Completed, UsbTransfer*>> calls;
    for (Job* job : done) {
        calls.emplace_back(job->port->completed, job->transfer);
        jobs.erase(job->transfer);
    }
    done.clear();
    if (calls.empty()) return;
    ++completing;
    lock.unlock();
    for (auto& [completed, transfer] : calls)
        if (completed) completed(*transfer);
    lock.lock();
    --completing;
    clock.NotifyAll();
}

SimulatedConnection::SimulatedConnection(SimulatedBus::State& bus, std::shared_ptr<UsbDevice> device)
    : bus_(bus), port_(std::make_unique<Port>()) {
    port_->device = std::move(device);
    port_->control.info = EndpointInfo{0, UsbdPipeTypeControl, 64};
    Port* port = port_.get();
    {
        std::lock_guard lock(bus_.clock.mutex());
        bus_.ports.push_back(port);
    }
    port->device->Attach([&bus, port] {
        {
            std::lock_guard lock(bus.clock.mutex());
            ++port->changes;
        }
        bus.clock.NotifyAll();
    });
}

SimulatedConnection::~SimulatedConnection() { Detach(); }

void SimulatedConnection::Attach(Completed completed, Unplugged) {
    if (!completed) {
        Detach();
        return;
    }
    std::lock_guard lock(bus_.clock.mutex());
    port_->completed = std::move(completed);
}

// The host controller lets go of the port: no device call, frame or completion refers to it
// any more, and the device is told so.
void SimulatedConnection::Detach() {
    std::unique_lock lock(bus_.clock.mutex());
    if (!listed_) return;
    Port* port = port_.get();
    auto idle = [&] {
        return bus_.busyPort != port && !bus_.frameActive && bus_.completing == 0 &&
               std::none_of(bus_.jobs.begin(), bus_.jobs.end(), [&](const auto& job) { return job.second->port == port; });
    };
    bus_.clock.WaitUntil(lock, idle, std::nullopt);
    std::erase(bus_.ports, port);
    port->completed = {};
    listed_ = false;
    lock.unlock();
    port->device->Attach({});
}

void SimulatedConnection::Submit(UsbTransfer& transfer) {
    std::unique_lock lock(bus_.clock.mutex());
    Port& port = *port_;
    Pipe* pipe = &port.control;
    if (transfer.kind == UsbTransfer::Kind::Data) {
        auto it = std::find_if(port.pipes.begin(), port.pipes.end(),
                               [&](const auto& p) { return p->info.address == transfer.endpoint; });
        pipe = it == port.pipes.end() ? nullptr : it->get();
    }
    auto job = std::make_unique<Job>();
    job->transfer = &transfer;
    job->port = &port;
    job->pipe = pipe;
    job->runsInline = transfer.onCallerThread;
    Job* raw = job.get();
    bus_.jobs.emplace(&transfer, std::move(job));
    std::optional<USBD_STATUS> refusal = port.stopped;
    if (!refusal && pipe == nullptr) refusal = USBD_STATUS_INVALID_PIPE_HANDLE;
    if (refusal) {
        raw->finished = true;
        transfer.usbd = *refusal;
        raw->runsInline = false;
        std::vector<Job*> done{raw};
        bus_.CompleteAll(lock, done);
        return;
    }
    if (raw->runsInline) {
        bus_.ExecuteInline(lock, raw);
        return;
    }
    bus_.Enqueue(raw);
}

void SimulatedConnection::Cancel(UsbTransfer& transfer) {
    std::unique_lock lock(bus_.clock.mutex());
    auto it = bus_.jobs.find(&transfer);
    if (it == bus_.jobs.end() || it->second->finished) return;
    Job* job = it->second.get();
    std::vector<Job*> done;
    if (job->inFlight)
        job->failWith = USBD_STATUS_CANCELED;
    else
        bus_.Finish(job, USBD_STATUS_CANCELED, done);
    bus_.CompleteAll(lock, done);
}

void SimulatedConnection::Abort(std::uint8_t endpoint) {
    std::unique_lock lock(bus_.clock.mutex());
    std::vector<Job*> done;
    for (auto& pipe : port_->pipes)
        if (pipe->info.address == endpoint) bus_.Fail(*pipe, USBD_STATUS_CANCELED, done);
    ++port_->changes;
    bus_.clock.NotifyAll();
    bus_.CompleteAll(lock, done);
}

// CLEAR_FEATURE(ENDPOINT_HALT) to the endpoint, on the default pipe, at once.
USBD_STATUS SimulatedConnection::ClearStall(std::uint8_t endpoint) {
    std::unique_lock lock(bus_.clock.mutex());
    Port& port = *port_;
    bus_.clock.WaitUntil(lock, [&] { return !bus_.deviceBusy; }, std::nullopt);
    bus_.deviceBusy = true;
    bus_.busyPort = &port;
    std::shared_ptr<UsbDevice> device = port.device;
    lock.unlock();
    TransferReply reply = device->Control({0x02, USB_REQUEST_CLEAR_FEATURE, USB_FEATURE_ENDPOINT_STALL, endpoint, 0}, {});
    lock.lock();
    bus_.deviceBusy = false;
    bus_.busyPort = nullptr;
    ++port.changes;
    bus_.clock.NotifyAll();
    switch (reply.reply) {
        case Reply::Ack: return USBD_STATUS_SUCCESS;
        case Reply::Stall: return USBD_STATUS_STALL_PID;
        default: return USBD_STATUS_DEV_NOT_RESPONDING;
    }
}

void SimulatedConnection::ResetPort() {
    std::unique_lock lock(bus_.clock.mutex());
    Port& port = *port_;
    bus_.clock.WaitUntil(lock, [&] { return !bus_.deviceBusy; }, std::nullopt);
    std::vector<Job*> done;
    for (auto& pipe : port.pipes) {
        bus_.Fail(*pipe, USBD_STATUS_CANCELED, done);
        port.retired.push_back(std::move(pipe));
    }
    port.pipes.clear();
    bus_.deviceBusy = true;
    bus_.busyPort = &port;
    std::shared_ptr<UsbDevice> device = port.device;
    lock.unlock();
    device->Reset();
    lock.lock();
    bus_.deviceBusy = false;
    bus_.busyPort = nullptr;
    ++port.changes;
    bus_.clock.NotifyAll();
    bus_.CompleteAll(lock, done);
}

void SimulatedConnection::Stop(USBD_STATUS why) {
    std::unique_lock lock(bus_.clock.mutex());
    Port& port = *port_;
    port.stopped = why;
    ++port.changes;
    std::vector<Job*> done;
    bus_.Fail(port.control, why, done);
    for (auto& pipe : port.pipes) bus_.Fail(*pipe, why, done);
    bus_.clock.NotifyAll();
    bus_.CompleteAll(lock, done);
}

SimulatedBus::SimulatedBus(Clock& clock) : state_(std::make_unique<State>(clock)) {
    State* state = state_.get();
    state_->hostController = clock.StartThread([state] { state->Run(); });
}

SimulatedBus::~SimulatedBus() {
    State& s = *state_;
    {
        std::lock_guard lock(s.clock.mutex());
        s.stopping = true;
    }
    s.clock.NotifyAll();
    Clock::BlockedOutside blocked(s.clock);
    s.hostController.join();
}

std::unique_ptr<UsbConnection> SimulatedBus::Connect(std::shared_ptr<UsbDevice> device) {
    return std::make_unique<SimulatedConnection>(*state_, std::move(device));
}

void SimulatedBus::SetTiming(Timing timing) {
    std::lock_guard lock(state_->clock.mutex());
    state_->timing = timing;
}

}  // namespace platform::usb
