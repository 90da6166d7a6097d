#include "peripheral.h"

#include <algorithm>

#include "frame_encoder.h"

namespace simulator {
namespace {

constexpr std::uint8_t kEcpExtensibility = 0x10;
constexpr std::uint8_t kImageCommand = 0xA0;
constexpr std::uint8_t kRegisterCommand = 0xC0;  // OR the register number
constexpr std::uint8_t kResetRegister = 0x00, kModeRegister = 0x01, kSerialRegister = 0x18;
constexpr std::uint8_t kResetBit = 0x02, kStreamBit = 0x80;
constexpr std::size_t kRecentFrames = 32;
// A frame is rendered ahead from this long before its field starts: several renders' time on
// a busy machine.
constexpr Nanoseconds kRenderLead = 40'000'000;
// A frame foreseen to end closer than this to its field boundary may well start a field later.
constexpr Nanoseconds kSlipMargin = 2'000'000;

platform::Clock::TimePoint At(Nanoseconds ns) { return platform::Clock::TimePoint(ns / 1000); }

struct Lines {
    bool strobeLow, autoFdLow, initHigh, selectInLow;
    explicit Lines(std::uint8_t control)
        : strobeLow(control & 0x01), autoFdLow(control & 0x02), initHigh(control & 0x04),
          selectInLow(control & 0x08) {}
    // IEEE 1284 event 1: the host asks to negotiate (1284 active, HostBusy low).
    bool NegotiationRequest() const { return !selectInLow && autoFdLow; }
};

int Word16(const std::array<std::uint8_t, 32>& r, int at) { return r[at] | r[at + 1] << 8; }
std::size_t Word24(const std::array<std::uint8_t, 32>& r, int at) {
    return r[at] | r[at + 1] << 8 | static_cast<std::size_t>(r[at + 2]) << 16;
}
int Scale(std::uint8_t value) {
    // Bit 7 enables the scaler with the factor in 64ths below it; 0 keeps every pixel.
    const int factor = value & 0x7F;
    return (value & 0x80) && factor != 0 ? factor : 64;
}

}  // namespace

Peripheral::Peripheral(const Scene& scene, SerialDevice& serial, Trace& trace)
    : scene_(scene), serial_(serial), trace_(trace) {}

void Peripheral::SetStatus(std::uint8_t value, Nanoseconds now) {
    pendingStatus_.emplace_back(now + timing::kHandshakeDelay, value);
}

std::uint8_t Peripheral::Status(Nanoseconds now) {
    while (!pendingStatus_.empty() && pendingStatus_.front().first <= now) {
        const auto [at, value] = pendingStatus_.front();
        pendingStatus_.pop_front();
        if (value != status_) trace_.Add(At(at), LineEvent::Kind::Status, value);
        status_ = value;
    }
    return status_;
}

void Peripheral::ControlLines(std::uint8_t control, Nanoseconds now) {
    const Lines was(control_), is(control);
    control_ = control;
    trace_.Add(At(now), LineEvent::Kind::Control, control);

    // nInit low while 1284 is inactive resets the interface, whatever the mode.
    if (is.selectInLow && !is.initHigh) {
        if (phase_ != LinkPhase::Compatibility) {
            StopImage();
            phase_ = LinkPhase::Compatibility;
            SetStatus(status::kCompatibilityIdle, now);
        }
        return;
    }
    switch (phase_) {
        case LinkPhase::Compatibility:
            if (is.NegotiationRequest() && !was.NegotiationRequest() && !negotiationIgnored_) {
                phase_ = LinkPhase::Negotiating;
                negotiation_ = NegotiationStep::AwaitStrobe;
                extensibility_ = data_;
                SetStatus(status::kNegotiationAck, now);
            }
            break;
        case LinkPhase::Negotiating:
            if (is.selectInLow) {  // the host gave up
                phase_ = LinkPhase::Compatibility;
                SetStatus(status::kCompatibilityIdle, now);
            } else if (negotiation_ == NegotiationStep::AwaitStrobe && is.strobeLow) {
                extensibility_ = data_;
                negotiation_ = NegotiationStep::StrobeSeen;
            } else if (negotiation_ == NegotiationStep::StrobeSeen && !is.strobeLow && !is.autoFdLow) {
                modeAccepted_ = extensibility_ == kEcpExtensibility;
                SetStatus(modeAccepted_ ? status::kModeAccepted : status::kModeRefused, now);
                negotiation_ = NegotiationStep::AwaitSetup;
            } else if (negotiation_ == NegotiationStep::AwaitSetup && is.autoFdLow) {
                phase_ = modeAccepted_ ? LinkPhase::EcpForward : LinkPhase::Compatibility;
                SetStatus(modeAccepted_ ? status::kEcpForwardIdle : status::kCompatibilityIdle, now);
            }
            break;
        case LinkPhase::EcpForward:
            if (is.selectInLow) {
                phase_ = LinkPhase::Terminating;
                terminationAnswered_ = false;
                SetStatus(status::kTerminationAck, now);
            } else if (!is.initHigh) {
                phase_ = LinkPhase::EcpReverse;
                readyAt_ = std::max(readyAt_, now);
                SetStatus(status::kEcpReverse, now);
            }
            break;
        case LinkPhase::EcpReverse:
            if (is.selectInLow) {
                StopImage();
                phase_ = LinkPhase::Terminating;
                terminationAnswered_ = false;
                SetStatus(status::kTerminationAck, now);
            } else if (is.initHigh) {
                // End of the reverse request: the frame in progress is abandoned.
                StopImage();
                phase_ = LinkPhase::EcpForward;
                SetStatus(status::kEcpForwardIdle, now);
            }
            break;
        case LinkPhase::Terminating:
            if (!terminationAnswered_ && is.autoFdLow) {
                terminationAnswered_ = true;
                SetStatus(status::kCompatibilityIdle, now);
            } else if (terminationAnswered_ && !is.autoFdLow) {
                phase_ = LinkPhase::Compatibility;
            }
            break;
    }
}

void Peripheral::ForwardByte(std::uint8_t byte, bool command, Nanoseconds at) {
    trace_.Add(At(at), command ? LineEvent::Kind::EcpCommand : LineEvent::Kind::EcpData, byte);
    if (!command) {
        if (selected_ >= 0) WriteRegister(static_cast<std::uint8_t>(selected_), byte, at);
        return;
    }
    if ((byte & 0xE0) == kRegisterCommand) {
        selected_ = byte & 0x1F;
    } else if (byte == kImageCommand) {
        imageArmed_ = true;
        readyAt_ = std::max(readyAt_, at);
    }
}

void Peripheral::WriteRegister(std::uint8_t index, std::uint8_t value, Nanoseconds at) {
    const std::uint8_t old = registers_[index];
    registers_[index] = value;
    if (index == kResetRegister && (value & kResetBit)) StopImage();
    if (index == kModeRegister) {
        if ((value & kStreamBit) && !(old & kStreamBit)) readyAt_ = std::max(readyAt_, at);
        if (!(value & kStreamBit)) frameActive_ = false;
    }
    if (index == kSerialRegister) serial_.Lines(value, At(at));
}

void Peripheral::StopImage() {
    imageArmed_ = false;
    frameActive_ = false;
}

bool Peripheral::Producing() const {
    return phase_ == LinkPhase::EcpReverse && imageArmed_ && (registers_[kModeRegister] & kStreamBit);
}

static Nanoseconds FieldStartFrom(Nanoseconds ready) {
    const Nanoseconds period = timing::kFieldPeriod;
    return (ready + period - 1) / period * period;
}

Nanoseconds Peripheral::NextFieldStart() const { return FieldStartFrom(readyAt_); }

Nanoseconds Peripheral::NextByteTime() const {
    if (!Producing()) return kNever;
    return frameActive_ ? nextByteAt_ : NextFieldStart();
}

std::size_t Peripheral::TakeBytes(Nanoseconds first, Nanoseconds until, std::size_t most,
                                  std::deque<std::uint8_t>& into) {
    if (!frameActive_) BeginFrame(NextFieldStart());
    const auto due = static_cast<std::size_t>((until - first) / timing::kEcpByteTime) + 1;
    const std::size_t count = std::min({most, due, frame_.size() - position_});
    const auto start = frame_.begin() + static_cast<std::ptrdiff_t>(position_);
    into.insert(into.end(), start, start + static_cast<std::ptrdiff_t>(count));
    position_ += count;
    nextByteAt_ = first + static_cast<Nanoseconds>(count) * timing::kEcpByteTime;
    if (position_ == frame_.size()) {
        frameActive_ = false;
        readyAt_ = nextByteAt_;
    }
    return count;
}

// A frame under way ends at the ECP rate at the earliest, and later when the host holds it
// back, so a guess made long before the field start is likely to move on and its render be
// wasted. Near a field boundary the frame may slip to the next field, which is foreseen too.
void Peripheral::PrepareNextFrame(Nanoseconds now) {
    if (!Producing()) return;
    const Nanoseconds ready =
        frameActive_ ? nextByteAt_ + static_cast<Nanoseconds>(frame_.size() - position_) * timing::kEcpByteTime
                     : readyAt_;
    const Nanoseconds field = FieldStartFrom(ready);
    if (field - now > kRenderLead) return;
    const FrameJob jobs[] = {JobFor(field), JobFor(field + timing::kFieldPeriod)};
    renderer_.Prepare(std::span(jobs, field - ready < kSlipMargin ? 2 : 1));
}

FrameJob Peripheral::JobFor(Nanoseconds captureTime) const {
    const auto& r = registers_;
    FrameJob job;
    job.format = FormatFromByte(r[0x13]);
    const int startX = Word16(r, 0x04), startY = Word16(r, 0x06);
    job.window = Window{startX, startY, Word16(r, 0x08) - startX, Word16(r, 0x0A) - startY,
                        Scale(r[0x03]), Scale(r[0x02])};
    job.sceneField = static_cast<std::uint64_t>(captureTime / timing::kFieldPeriod);
    job.adjustments = serial_.Adjustments();
    job.frameBytes = Word24(r, 0x10) + 1;
    job.secondLayerOffset = Word24(r, 0x0D);
    job.trailer = kTrailer;
    if (corruptNextTrailer_) job.trailer[1] ^= 0x01;
    return job;
}

void Peripheral::BeginFrame(Nanoseconds captureTime) {
    const FrameJob job = JobFor(captureTime);
    corruptNextTrailer_ = false;
    FrameRecord record;
    record.number = framesStarted_++;
    record.sceneField = job.sceneField;
    record.startTime = At(captureTime);
    record.format = job.format;
    record.window = job.window;
    record.pictureWidth = record.window.PictureWidth();
    record.pictureHeight = record.window.PictureHeight();
    if (IsCompressed(record.format)) {
        record.imageOffsetX = 4;
        record.imageOffsetY = 2;
        record.imageWidth = std::max((record.pictureWidth & ~7) - 8, 0);
        record.imageHeight = std::max((record.pictureHeight & ~3) - 4, 0);
    } else {
        record.imageWidth = record.pictureWidth;
        record.imageHeight = record.pictureHeight;
    }
    record.trailer = job.trailer;

    frame_ = renderer_.Render(job);
    record.bytes = frame_.size();
    position_ = 0;
    frameActive_ = true;
    nextByteAt_ = captureTime;
    trace_.Add(record.startTime, LineEvent::Kind::FrameStart, static_cast<std::uint8_t>(record.number));
    recent_.push_back(record);
    if (recent_.size() > kRecentFrames) recent_.pop_front();
}

}  // namespace simulator
