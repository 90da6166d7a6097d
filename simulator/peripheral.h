// The far end of the parallel cable: the camera controller as an IEEE 1284 peripheral. It
// answers the host's control lines with status lines (negotiation into ECP mode, reverse
// request and its end, termination), takes forward command and data bytes into its
// registers, passes register 0x18 to the serial bus, and while image output runs in the
// reverse direction produces frames byte by byte at the ECP rate, each starting on the field
// clock.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <limits>
#include <vector>

#include "camera.h"
#include "frame_renderer.h"
#include "scene.h"
#include "serial_device.h"
#include "timing.h"
#include "trace.h"

namespace simulator {

using timing::Nanoseconds;
inline constexpr Nanoseconds kNever = std::numeric_limits<Nanoseconds>::max();

// Status register values the peripheral presents (bit 7 reads 1 while Busy is low).
namespace status {
inline constexpr std::uint8_t kCompatibilityIdle = 0xD8;  // Busy low, nAck, Select, nFault high
inline constexpr std::uint8_t kNegotiationAck = 0xB8;     // nAck low, PError, Select, nFault high
inline constexpr std::uint8_t kModeAccepted = 0xD8;       // nAck high, PError low, Select high
inline constexpr std::uint8_t kModeRefused = 0xC8;        // ... and Select low
inline constexpr std::uint8_t kEcpForwardIdle = 0xF8;     // PError (nAckReverse) high
inline constexpr std::uint8_t kEcpReverse = 0x90;         // nAck, PError, nFault low, Select high
inline constexpr std::uint8_t kTerminationAck = 0xB8;     // nAck low, nFault high
}  // namespace status

class Peripheral {
public:
    Peripheral(const Scene& scene, SerialDevice& serial, Trace& trace);

    // Host side of the cable.
    void ControlLines(std::uint8_t control, Nanoseconds now);
    void DataLines(std::uint8_t data) { data_ = data; }
    void ForwardByte(std::uint8_t byte, bool command, Nanoseconds at);

    // Status lines as the host sees them at `now` (the answer to a change lags a little).
    std::uint8_t Status(Nanoseconds now);
    LinkPhase phase() const { return phase_; }
    bool AcceptsForwardBytes() const { return phase_ == LinkPhase::EcpForward; }

    // Reverse data: whether image output runs, when its next byte is due, and the bytes due
    // by `until`, the first at `first` and the rest at the ECP rate: at most `most`, and never
    // past the end of a frame (the next one waits for its field).
    bool Producing() const;
    Nanoseconds NextByteTime() const;
    std::size_t TakeBytes(Nanoseconds first, Nanoseconds until, std::size_t most,
                          std::deque<std::uint8_t>& into);
    // Has the next frame rendered ahead once its field is near, for the field it will most
    // likely start on.
    void PrepareNextFrame(Nanoseconds now);

    const std::array<std::uint8_t, 32>& registers() const { return registers_; }
    std::uint64_t framesStarted() const { return framesStarted_; }
    const std::deque<FrameRecord>& recentFrames() const { return recent_; }
    const std::vector<std::uint8_t>& lastFrame() const { return frame_; }

    void SetNegotiationIgnored(bool on) { negotiationIgnored_ = on; }
    void CorruptNextTrailer() { corruptNextTrailer_ = true; }

private:
    enum class NegotiationStep { AwaitStrobe, StrobeSeen, AwaitSetup };

    void SetStatus(std::uint8_t value, Nanoseconds now);
    void StopImage();
    void WriteRegister(std::uint8_t index, std::uint8_t value, Nanoseconds at);
    void BeginFrame(Nanoseconds captureTime);
    FrameJob JobFor(Nanoseconds captureTime) const;
    Nanoseconds NextFieldStart() const;

    const Scene& scene_;
    SerialDevice& serial_;
    Trace& trace_;

    LinkPhase phase_ = LinkPhase::Compatibility;
    NegotiationStep negotiation_ = NegotiationStep::AwaitStrobe;
    bool modeAccepted_ = false;
    bool terminationAnswered_ = false;
    std::uint8_t control_ = 0xC4;
    std::uint8_t data_ = 0;
    std::uint8_t extensibility_ = 0;
    std::uint8_t status_ = status::kCompatibilityIdle;
    std::deque<std::pair<Nanoseconds, std::uint8_t>> pendingStatus_;
    bool negotiationIgnored_ = false;

    std::array<std::uint8_t, 32> registers_{};
    int selected_ = -1;  // register that data bytes go to; none until a command selects one
    bool imageArmed_ = false;

    bool frameActive_ = false;
    Nanoseconds readyAt_ = 0;  // the next frame may not be captured before this
    Nanoseconds nextByteAt_ = 0;
    std::vector<std::uint8_t> frame_;
    std::size_t position_ = 0;
    std::uint64_t framesStarted_ = 0;
    bool corruptNextTrailer_ = false;
    std::deque<FrameRecord> recent_;
    FrameRenderer renderer_{scene_};
};

}  // namespace simulator
