// The bridge: a USB device that shows the registers of a parallel port through vendor
// requests and moves the port's ECP data through two bulk pipes, with the peripheral on the
// other end of its cable. One lock guards everything; each entry first brings the hardware up
// to the clock's present.
#pragma once

#include <deque>
#include <functional>
#include <mutex>
#include <set>

#include "camera.h"
#include "peripheral.h"
#include "scene.h"
#include "serial_device.h"
#include "trace.h"

namespace simulator {

class CameraCore : public platform::usb::UsbDevice {
public:
    CameraCore(platform::Clock& clock, CameraOptions options);

    platform::usb::TransferReply Control(const platform::usb::SetupPacket& setup,
                                         std::span<std::uint8_t> data) override;
    platform::usb::TransferReply Out(std::uint8_t endpoint,
                                     std::span<const std::uint8_t> packet) override;
    platform::usb::TransferReply In(std::uint8_t endpoint, std::span<std::uint8_t> packet) override;
    std::optional<platform::Clock::TimePoint> NextChance(std::uint8_t endpoint) override;
    void Reset() override;
    void Attach(std::function<void()> askAgain) override;

    // For the probe; each takes the lock.
    BridgeRegisters bridgeRegisters();
    std::array<std::uint8_t, 32> controllerRegisters();
    LinkPhase linkPhase();
    bool streaming();
    std::vector<LineEvent> lineTrace();
    void ClearLineTrace();
    std::uint8_t decoderSetting(std::uint8_t selector, std::uint8_t address);
    std::uint64_t decoderWrites();
    std::uint64_t framesStarted();
    std::uint64_t bytesSent();
    std::uint64_t bytesReceived();
    std::vector<FrameRecord> recentFrames();
    std::vector<std::uint8_t> lastFrameBytes();
    YcbcrPlanes Truth(const Window& window, std::uint64_t sceneField);

    void Unplug();
    void StallEndpoint(std::uint8_t endpoint);
    void SetStopAnswering(bool on);
    void DropStreamBytes(std::size_t count);
    void InsertStreamBytes(std::size_t count, std::uint8_t value);
    void CorruptNextTrailer();
    void SetNegotiationIgnored(bool on);
    void SetSerialWritesIgnored(bool on);
    void SetSoftResetRefused(bool on);
    void SetDescriptorFault(DescriptorFault fault);

private:
    struct ForwardByte {
        std::uint8_t value;
        bool command;
        Nanoseconds arrival;
    };

    Nanoseconds Now() const;
    void Advance(Nanoseconds now);
    Nanoseconds NextForwardTime() const;
    Nanoseconds NextReverseTime() const;
    bool ReverseProducing() const;
    bool EcpFifoMode() const { return (extendedControl_ & 0xE0) == 0x60; }
    bool ReverseDirection() const { return control_ & 0x20; }
    std::uint8_t ExtendedControlRead() const;
    std::array<std::uint8_t, 7> Snapshot(Nanoseconds now);
    void ResetBridge(Nanoseconds now);

    platform::usb::TransferReply Standard(const platform::usb::SetupPacket& setup,
                                          std::span<std::uint8_t> data);
    platform::usb::TransferReply Vendor(const platform::usb::SetupPacket& setup,
                                        std::span<std::uint8_t> data, Nanoseconds now);
    platform::usb::TransferReply Class(const platform::usb::SetupPacket& setup,
                                       std::span<std::uint8_t> data, Nanoseconds now);
    bool SetRegister(std::uint8_t index, std::uint8_t value, Nanoseconds now);
    bool PipesUsable(std::uint8_t endpoint) const;
    // Whether a bulk packet of the last size asked for could move now.
    bool InReady() const;
    bool OutReady() const;
    void TakeReverse(std::size_t count, Nanoseconds now);
    // Lets the bus retry a pipe that a fault change may have unblocked; call without the lock.
    void AskAgain();

    std::mutex mutex_;
    platform::Clock& clock_;
    std::function<void()> askAgain_;
    CameraOptions options_;
    Trace trace_;
    Scene scene_;
    SerialDevice serial_;
    Peripheral peripheral_;

    // USB state.
    bool gone_ = false;
    int configuration_ = 0;
    int alternate_ = 0;
    std::set<std::uint8_t> halted_;
    bool stopAnswering_ = false;
    bool softResetRefused_ = false;
    std::size_t lastInRequest_ = 64, lastOutRequest_ = 64;

    // Port registers.
    std::uint8_t data_ = 0;
    std::uint8_t control_ = 0xC4;
    std::uint8_t extendedControl_ = 0x00;  // bits 7..2 as written; bits 1..0 are FIFO state
    std::uint8_t bridgeSetup_ = 0;
    std::uint8_t epp_ = 0;
    std::uint8_t further_ = 0;

    // The FIFOs between the pipes and the cable.
    std::deque<ForwardByte> forward_;
    Nanoseconds forwardBusyUntil_ = 0;
    std::deque<std::uint8_t> reverse_;
    Nanoseconds reverseResumeAt_ = 0;
    Nanoseconds reverseFullAt_ = 0;  // when the peripheral last found the FIFO full
    std::size_t dropPending_ = 0;
    std::size_t insertPending_ = 0;
    std::uint8_t insertValue_ = 0;

    std::uint64_t bytesSent_ = 0, bytesReceived_ = 0;
};

}  // namespace simulator
