#include "camera_core.h"

#include <algorithm>

#include "descriptors.h"

namespace simulator {
namespace {

using platform::usb::Reply;
using platform::usb::SetupPacket;
using platform::usb::TransferReply;

// bmRequestType: direction bit 7, type bits 6..5, recipient bits 4..0.
constexpr std::uint8_t kTypeMask = 0x60, kStandard = 0x00, kClass = 0x20, kVendor = 0x40;
constexpr std::uint8_t kDeviceToHost = 0x80;
constexpr std::uint8_t kRecipientMask = 0x1F, kToDevice = 0, kToInterface = 1, kToEndpoint = 2;

enum StandardRequest : std::uint8_t {
    kGetStatus = 0, kClearFeature = 1, kSetFeature = 3, kSetAddress = 5, kGetDescriptor = 6,
    kGetConfiguration = 8, kSetConfiguration = 9, kGetInterface = 10, kSetInterface = 11,
};
constexpr std::uint16_t kEndpointHalt = 0;

constexpr std::uint8_t kVendorGetRegisters = 3, kVendorSetRegister = 4;
constexpr std::uint8_t kClassGetDeviceId = 0, kClassGetPortStatus = 1, kClassSoftReset = 2;
constexpr std::uint8_t kPortStatusReady = 0x18;  // selected, not out of paper, no error

constexpr std::uint8_t kResetControl = 0xC4;

// The wall-clock host controller's lateness that the camera does not feel: two fields, about
// the longest a thread waits for a core on a busy machine.
constexpr Nanoseconds kHostLateness = 2 * timing::kFieldPeriod;

TransferReply Ack(std::size_t bytes = 0) { return {Reply::Ack, bytes}; }
TransferReply Stall() { return {Reply::Stall, 0}; }

TransferReply Give(std::span<std::uint8_t> data, std::span<const std::uint8_t> bytes) {
    const std::size_t n = std::min(data.size(), bytes.size());
    std::copy_n(bytes.begin(), n, data.begin());
    return Ack(n);
}

platform::Clock::TimePoint ToClock(Nanoseconds ns) {
    return platform::Clock::TimePoint((ns + 999) / 1000);
}

}  // namespace

CameraCore::CameraCore(platform::Clock& clock, CameraOptions options)
    : clock_(clock),
      options_(std::move(options)),
      scene_(options_.picture),
      serial_(options_.accessCode,
              [this](SerialDevice::Event event, std::uint8_t value, platform::Clock::TimePoint at) {
                  static constexpr LineEvent::Kind kKinds[] = {LineEvent::Kind::SerialStart,
                                                               LineEvent::Kind::SerialStop,
                                                               LineEvent::Kind::SerialByte};
                  trace_.Add(at, kKinds[static_cast<int>(event)], value);
              }),
      peripheral_(scene_, serial_, trace_) {
    options_.picture.reset();  // the scene holds its own copy
}

Nanoseconds CameraCore::Now() const { return static_cast<Nanoseconds>(clock_.Now().count()) * 1000; }

// ---- time ----------------------------------------------------------------------------------

bool CameraCore::ReverseProducing() const {
    return peripheral_.Producing() && EcpFifoMode() && ReverseDirection();
}

Nanoseconds CameraCore::NextForwardTime() const {
    if (forward_.empty() || !peripheral_.AcceptsForwardBytes() || !EcpFifoMode() || ReverseDirection())
        return kNever;
    return std::max(forward_.front().arrival, forwardBusyUntil_) + timing::kEcpByteTime;
}

Nanoseconds CameraCore::NextReverseTime() const {
    if (!ReverseProducing() || reverse_.size() >= timing::kReverseFifoBytes) return kNever;
    return std::max(peripheral_.NextByteTime(), reverseResumeAt_);
}

void CameraCore::Advance(Nanoseconds now) {
    for (;;) {
        const Nanoseconds forward = NextForwardTime(), reverse = NextReverseTime();
        const Nanoseconds next = std::min(forward, reverse);
        if (next > now) break;
        if (forward <= reverse) {
            const ForwardByte byte = forward_.front();
            forward_.pop_front();
            forwardBusyUntil_ = forward;
            peripheral_.ForwardByte(byte.value, byte.command, forward);
        } else {
            // The forward FIFO is idle while the link runs in reverse, so the bytes due come as a run.
            const std::size_t taken =
                peripheral_.TakeBytes(reverse, now, timing::kReverseFifoBytes - reverse_.size(), reverse_);
            if (reverse_.size() == timing::kReverseFifoBytes)
                reverseFullAt_ = reverse + static_cast<Nanoseconds>(taken) * timing::kEcpByteTime;
        }
    }
    peripheral_.Status(now);
    peripheral_.PrepareNextFrame(now);
}

// ---- registers -----------------------------------------------------------------------------

std::uint8_t CameraCore::ExtendedControlRead() const {
    const std::size_t fifo = ReverseDirection() ? reverse_.size() : forward_.size();
    const std::size_t capacity =
        ReverseDirection() ? timing::kReverseFifoBytes : timing::kForwardFifoBytes;
    return static_cast<std::uint8_t>((extendedControl_ & 0xFC) | (fifo >= capacity ? 0x02 : 0) |
                                     (fifo == 0 ? 0x01 : 0));
}

std::array<std::uint8_t, 7> CameraCore::Snapshot(Nanoseconds now) {
    // Laid out so that RegToMapLookup (4, 0, 1, 5, 5, 4, 2, 3, 6) finds each register.
    return {peripheral_.Status(now), control_, ExtendedControlRead(), bridgeSetup_, data_, epp_,
            further_};
}

bool CameraCore::SetRegister(std::uint8_t index, std::uint8_t value, Nanoseconds now) {
    // Register writes stay in order with the forward FIFO: bytes still queued go out first.
    if (index == 2 || index == 6) {
        while (NextForwardTime() != kNever) {
            const ForwardByte byte = forward_.front();
            forward_.pop_front();
            forwardBusyUntil_ = now;
            peripheral_.ForwardByte(byte.value, byte.command, now);
        }
    }
    switch (index) {
        case 0:
            data_ = value;
            peripheral_.DataLines(value);
            trace_.Add(ToClock(now), LineEvent::Kind::Data, value);
            return true;
        case 1: return true;  // status lines belong to the peripheral
        case 2:
            control_ = value;
            forwardBusyUntil_ = std::max(forwardBusyUntil_, now);
            reverseResumeAt_ = std::max(reverseResumeAt_, now);
            peripheral_.ControlLines(value, now);
            return true;
        case 3:
        case 4: epp_ = value; return true;
        case 5:
            if (forward_.size() < timing::kForwardFifoBytes) forward_.push_back({value, true, now});
            return true;
        case 6:
            if ((value & 0xE0) != (extendedControl_ & 0xE0)) {
                // A change of mode empties the FIFOs, as on a PC port.
                forward_.clear();
                reverse_.clear();
            }
            extendedControl_ = value & 0xFC;
            forwardBusyUntil_ = std::max(forwardBusyUntil_, now);
            reverseResumeAt_ = std::max(reverseResumeAt_, now);
            return true;
        case 7: bridgeSetup_ = value; return true;
        case 8: further_ = value; return true;
        default: return false;
    }
}

void CameraCore::ResetBridge(Nanoseconds now) {
    forward_.clear();
    reverse_.clear();
    extendedControl_ = 0;
    bridgeSetup_ = 0;
    epp_ = 0;
    further_ = 0;
    data_ = 0;
    peripheral_.DataLines(0);
    control_ = kResetControl;
    peripheral_.ControlLines(kResetControl, now);
}

// ---- control transfers ---------------------------------------------------------------------

TransferReply CameraCore::Control(const SetupPacket& setup, std::span<std::uint8_t> data) {
    std::lock_guard lock(mutex_);
    if (gone_) return {Reply::Gone, 0};
    const Nanoseconds now = Now();
    Advance(now);
    switch (setup.bmRequestType & kTypeMask) {
        case kStandard: return Standard(setup, data);
        case kClass: return Class(setup, data, now);
        case kVendor: return Vendor(setup, data, now);
        default: return Stall();
    }
}

TransferReply CameraCore::Standard(const SetupPacket& setup, std::span<std::uint8_t> data) {
    const bool in = setup.bmRequestType & kDeviceToHost;
    const std::uint8_t recipient = setup.bmRequestType & kRecipientMask;
    const std::uint8_t endpoint = static_cast<std::uint8_t>(setup.wIndex & 0xFF);
    switch (setup.bRequest) {
        case kGetDescriptor: {
            if (!in) return Stall();
            const std::uint8_t type = setup.wValue >> 8, index = setup.wValue & 0xFF;
            std::vector<std::uint8_t> bytes;
            if (type == 1 && index == 0) bytes = DeviceDescriptor();
            else if (type == 2 && index == 0) bytes = ConfigurationDescriptor(options_.descriptorFault);
            else if (type == 3) bytes = StringDescriptor(index);
            if (bytes.empty()) return Stall();
            return Give(data, bytes);
        }
        case kSetAddress: return in ? Stall() : Ack();
        case kGetConfiguration: {
            if (!in) return Stall();
            const std::uint8_t value = static_cast<std::uint8_t>(configuration_);
            return Give(data, std::span(&value, 1));
        }
        case kSetConfiguration:
            if (in || setup.wValue > 1) return Stall();
            configuration_ = setup.wValue;
            alternate_ = 0;
            halted_.clear();
            return Ack();
        case kGetInterface: {
            if (!in || configuration_ == 0 || setup.wIndex != 0) return Stall();
            const std::uint8_t value = static_cast<std::uint8_t>(alternate_);
            return Give(data, std::span(&value, 1));
        }
        case kSetInterface:
            if (in || configuration_ == 0 || setup.wIndex != 0 ||
                setup.wValue >= AlternateSettingCount(options_.descriptorFault))
                return Stall();
            alternate_ = setup.wValue;
            halted_.clear();
            return Ack();
        case kGetStatus: {
            if (!in) return Stall();
            std::uint8_t value[2] = {0, 0};
            if (recipient == kToEndpoint) value[0] = halted_.contains(endpoint) ? 1 : 0;
            else if (recipient != kToDevice && recipient != kToInterface) return Stall();
            return Give(data, value);
        }
        case kClearFeature:
        case kSetFeature:
            if (in || recipient != kToEndpoint || setup.wValue != kEndpointHalt) return Stall();
            if (setup.bRequest == kClearFeature) halted_.erase(endpoint);
            else halted_.insert(endpoint);
            return Ack();
        default: return Stall();
    }
}

TransferReply CameraCore::Vendor(const SetupPacket& setup, std::span<std::uint8_t> data,
                                 Nanoseconds now) {
    const bool in = setup.bmRequestType & kDeviceToHost;
    const std::uint8_t index = setup.wValue >> 8;
    if (setup.bRequest == kVendorSetRegister && !in) {
        return SetRegister(index, static_cast<std::uint8_t>(setup.wValue & 0xFF), now) ? Ack() : Stall();
    }
    if (setup.bRequest == kVendorGetRegisters && in) {
        if (index > 8) return Stall();
        const auto snapshot = Snapshot(now);
        const std::size_t length = index == 8 ? 7 : 6;
        return Give(data, std::span(snapshot).first(length));
    }
    return Stall();
}

TransferReply CameraCore::Class(const SetupPacket& setup, std::span<std::uint8_t> data,
                                Nanoseconds now) {
    const bool in = setup.bmRequestType & kDeviceToHost;
    if ((setup.bmRequestType & kRecipientMask) != kToInterface) return Stall();
    switch (setup.bRequest) {
        case kClassGetDeviceId:
            return in ? Give(data, Ieee1284DeviceId()) : Stall();
        case kClassGetPortStatus: {
            if (!in) return Stall();
            const std::uint8_t value = kPortStatusReady;
            return Give(data, std::span(&value, 1));
        }
        case kClassSoftReset:
            if (in || softResetRefused_) return Stall();
            ResetBridge(now);
            return Ack();
        default: return Stall();
    }
}

// ---- bulk pipes ----------------------------------------------------------------------------

bool CameraCore::PipesUsable(std::uint8_t endpoint) const {
    return configuration_ == 1 && alternate_ == 2 && !halted_.contains(endpoint);
}

TransferReply CameraCore::Out(std::uint8_t endpoint, std::span<const std::uint8_t> packet) {
    std::lock_guard lock(mutex_);
    if (gone_) return {Reply::Gone, 0};
    if (endpoint != kBulkOutEndpoint || !PipesUsable(endpoint)) return Stall();
    const Nanoseconds now = Now();
    Advance(now);
    lastOutRequest_ = packet.size();
    if (!EcpFifoMode()) {
        // Outside ECP FIFO mode the bytes go nowhere the camera listens.
        bytesReceived_ += packet.size();
        return Ack(packet.size());
    }
    if (!OutReady()) return {Reply::NotYet, 0};
    // HostAck (nAutoFd) at the time of writing tells a command from a data byte.
    const bool command = control_ & 0x02;
    for (std::uint8_t byte : packet) forward_.push_back({byte, command, now});
    bytesReceived_ += packet.size();
    return Ack(packet.size());
}

TransferReply CameraCore::In(std::uint8_t endpoint, std::span<std::uint8_t> packet) {
    std::lock_guard lock(mutex_);
    if (gone_) return {Reply::Gone, 0};
    if (endpoint == kInterruptInEndpoint && PipesUsable(endpoint)) return {Reply::NotYet, 0};
    if (endpoint != kBulkInEndpoint || !PipesUsable(endpoint)) return Stall();
    const Nanoseconds now = Now();
    Advance(now);
    lastInRequest_ = std::max<std::size_t>(packet.size(), 1);
    if (stopAnswering_) return {Reply::NotYet, 0};
    // Stream faults act on what the host receives next.
    if (dropPending_ > 0) {
        const std::size_t dropped = std::min(dropPending_, reverse_.size());
        TakeReverse(dropped, now);
        dropPending_ -= dropped;
    }
    for (; insertPending_ > 0; --insertPending_) reverse_.push_front(insertValue_);
    if (!InReady()) return {Reply::NotYet, 0};
    const std::size_t n = std::min(packet.size(), reverse_.size());
    std::copy_n(reverse_.begin(), n, packet.begin());
    TakeReverse(n, now);
    bytesSent_ += n;
    return Ack(n);
}

// While more is coming, only whole packets go out: a short one would end the transfer.
bool CameraCore::InReady() const {
    if (reverse_.empty()) return false;
    return reverse_.size() >= lastInRequest_ || !ReverseProducing();
}

bool CameraCore::OutReady() const {
    return timing::kForwardFifoBytes - forward_.size() >= lastOutRequest_;
}

// A full FIFO holds the peripheral back; the byte it holds goes on once there is room. On the
// wall clock the host controller is a thread that a busy machine runs late, where a real one
// reads on time: a read up to kHostLateness late counts as made when the FIFO filled.
void CameraCore::TakeReverse(std::size_t count, Nanoseconds now) {
    const bool wasFull = reverse_.size() >= timing::kReverseFifoBytes;
    reverse_.erase(reverse_.begin(), reverse_.begin() + static_cast<std::ptrdiff_t>(count));
    if (!wasFull || reverse_.size() >= timing::kReverseFifoBytes) return;
    const bool wall = clock_.mode() == platform::Clock::Mode::Wall;
    const Nanoseconds resume = wall ? std::max(reverseFullAt_, now - kHostLateness) : now;
    reverseResumeAt_ = std::max(reverseResumeAt_, resume);
}

std::optional<platform::Clock::TimePoint> CameraCore::NextChance(std::uint8_t endpoint) {
    std::lock_guard lock(mutex_);
    if (gone_ || stopAnswering_) return std::nullopt;
    const Nanoseconds now = Now();
    Advance(now);
    // Time passes between the NotYet and this question (on the wall clock it does): the
    // FIFO may have become ready meanwhile, and "never" would then park the pipe for good.
    if ((endpoint == kBulkInEndpoint && InReady()) || (endpoint == kBulkOutEndpoint && OutReady()))
        return ToClock(now);
    if (endpoint == kBulkInEndpoint) {
        const Nanoseconds next = NextReverseTime();
        if (next == kNever) return std::nullopt;
        const std::size_t have = reverse_.size();
        const std::size_t need = lastInRequest_ > have ? lastInRequest_ - have : 1;
        return ToClock(std::max(next, now) + static_cast<Nanoseconds>(need - 1) * timing::kEcpByteTime);
    }
    if (endpoint == kBulkOutEndpoint) {
        const Nanoseconds next = NextForwardTime();
        if (next == kNever) return std::nullopt;
        const std::size_t space = timing::kForwardFifoBytes - forward_.size();
        const std::size_t need = lastOutRequest_ > space ? lastOutRequest_ - space : 1;
        return ToClock(std::max(next, now) + static_cast<Nanoseconds>(need - 1) * timing::kEcpByteTime);
    }
    return std::nullopt;
}

void CameraCore::Reset() {
    std::lock_guard lock(mutex_);
    if (gone_) return;
    configuration_ = 0;
    alternate_ = 0;
    halted_.clear();
    ResetBridge(Now());
}

void CameraCore::Attach(std::function<void()> askAgain) {
    std::lock_guard lock(mutex_);
    askAgain_ = std::move(askAgain);
}

void CameraCore::AskAgain() {
    std::function<void()> askAgain;
    {
        std::lock_guard lock(mutex_);
        askAgain = askAgain_;
    }
    if (askAgain) askAgain();
}

// ---- probe ---------------------------------------------------------------------------------

BridgeRegisters CameraCore::bridgeRegisters() {
    std::lock_guard lock(mutex_);
    const Nanoseconds now = Now();
    Advance(now);
    const auto s = Snapshot(now);
    return {s[0], s[1], s[2], s[3], s[4], s[5], s[6]};
}

std::array<std::uint8_t, 32> CameraCore::controllerRegisters() {
    std::lock_guard lock(mutex_);
    Advance(Now());
    return peripheral_.registers();
}

LinkPhase CameraCore::linkPhase() {
    std::lock_guard lock(mutex_);
    Advance(Now());
    return peripheral_.phase();
}

bool CameraCore::streaming() {
    std::lock_guard lock(mutex_);
    Advance(Now());
    return peripheral_.Producing();
}

std::vector<LineEvent> CameraCore::lineTrace() {
    std::lock_guard lock(mutex_);
    Advance(Now());
    return trace_.Events();
}

void CameraCore::ClearLineTrace() {
    std::lock_guard lock(mutex_);
    Advance(Now());
    trace_.Clear();
}

std::uint8_t CameraCore::decoderSetting(std::uint8_t selector, std::uint8_t address) {
    std::lock_guard lock(mutex_);
    Advance(Now());
    return serial_.Setting(selector, address);
}

std::uint64_t CameraCore::decoderWrites() {
    std::lock_guard lock(mutex_);
    Advance(Now());
    return serial_.writes();
}

std::uint64_t CameraCore::framesStarted() {
    std::lock_guard lock(mutex_);
    Advance(Now());
    return peripheral_.framesStarted();
}

std::uint64_t CameraCore::bytesSent() {
    std::lock_guard lock(mutex_);
    return bytesSent_;
}

std::uint64_t CameraCore::bytesReceived() {
    std::lock_guard lock(mutex_);
    return bytesReceived_;
}

std::vector<FrameRecord> CameraCore::recentFrames() {
    std::lock_guard lock(mutex_);
    Advance(Now());
    const auto& recent = peripheral_.recentFrames();
    return {recent.begin(), recent.end()};
}

std::vector<std::uint8_t> CameraCore::lastFrameBytes() {
    std::lock_guard lock(mutex_);
    Advance(Now());
    return peripheral_.lastFrame();
}

YcbcrPlanes CameraCore::Truth(const Window& window, std::uint64_t sceneField) {
    std::lock_guard lock(mutex_);
    Advance(Now());
    return scene_.Sample(window, sceneField, serial_.Adjustments());
}

void CameraCore::Unplug() {
    {
        std::lock_guard lock(mutex_);
        gone_ = true;
    }
    AskAgain();
}

void CameraCore::StallEndpoint(std::uint8_t endpoint) {
    {
        std::lock_guard lock(mutex_);
        halted_.insert(endpoint);
    }
    AskAgain();
}

void CameraCore::SetStopAnswering(bool on) {
    {
        std::lock_guard lock(mutex_);
        stopAnswering_ = on;
    }
    AskAgain();
}

void CameraCore::DropStreamBytes(std::size_t count) {
    std::lock_guard lock(mutex_);
    Advance(Now());
    dropPending_ += count;
}

void CameraCore::InsertStreamBytes(std::size_t count, std::uint8_t value) {
    std::lock_guard lock(mutex_);
    Advance(Now());
    insertPending_ += count;
    insertValue_ = value;
}

void CameraCore::CorruptNextTrailer() {
    std::lock_guard lock(mutex_);
    Advance(Now());
    peripheral_.CorruptNextTrailer();
}

void CameraCore::SetNegotiationIgnored(bool on) {
    std::lock_guard lock(mutex_);
    peripheral_.SetNegotiationIgnored(on);
}

void CameraCore::SetSerialWritesIgnored(bool on) {
    std::lock_guard lock(mutex_);
    Advance(Now());
    serial_.SetIgnoreWrites(on);
}

void CameraCore::SetSoftResetRefused(bool on) {
    std::lock_guard lock(mutex_);
    softResetRefused_ = on;
}

void CameraCore::SetDescriptorFault(DescriptorFault fault) {
    std::lock_guard lock(mutex_);
    options_.descriptorFault = fault;
}

}  // namespace simulator
