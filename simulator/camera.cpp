#include "camera.h"

#include "camera_core.h"

namespace simulator {

Camera::Camera(platform::Clock& clock, CameraOptions options)
    : core_(std::make_shared<CameraCore>(clock, std::move(options))), probe_(*core_) {}

Camera::~Camera() = default;

std::shared_ptr<platform::usb::UsbDevice> Camera::usbDevice() { return core_; }

BridgeRegisters Probe::bridgeRegisters() const { return core_.bridgeRegisters(); }
std::array<std::uint8_t, 32> Probe::controllerRegisters() const { return core_.controllerRegisters(); }
LinkPhase Probe::linkPhase() const { return core_.linkPhase(); }
bool Probe::streaming() const { return core_.streaming(); }
std::vector<LineEvent> Probe::lineTrace() const { return core_.lineTrace(); }
void Probe::ClearLineTrace() { core_.ClearLineTrace(); }

std::uint8_t Probe::decoderSetting(std::uint8_t selector, std::uint8_t address) const {
    return core_.decoderSetting(selector, address);
}
std::uint64_t Probe::decoderWrites() const { return core_.decoderWrites(); }

std::uint64_t Probe::framesStarted() const { return core_.framesStarted(); }
std::uint64_t Probe::bytesSent() const { return core_.bytesSent(); }
std::uint64_t Probe::bytesReceived() const { return core_.bytesReceived(); }
std::vector<FrameRecord> Probe::recentFrames() const { return core_.recentFrames(); }
std::vector<std::uint8_t> Probe::lastFrameBytes() const { return core_.lastFrameBytes(); }

RgbImage Probe::TruthRgb(const Window& window, std::uint64_t sceneField) const {
    return ToRgb(core_.Truth(window, sceneField));
}
Ycbcr422Image Probe::TruthYcbcr(const Window& window, std::uint64_t sceneField) const {
    return ToYcbcr422(core_.Truth(window, sceneField));
}

void Probe::Unplug() { core_.Unplug(); }
void Probe::StallEndpoint(std::uint8_t endpoint) { core_.StallEndpoint(endpoint); }
void Probe::SetStopAnswering(bool on) { core_.SetStopAnswering(on); }
void Probe::DropStreamBytes(std::size_t count) { core_.DropStreamBytes(count); }
void Probe::InsertStreamBytes(std::size_t count, std::uint8_t value) {
    core_.InsertStreamBytes(count, value);
}
void Probe::CorruptNextTrailer() { core_.CorruptNextTrailer(); }
void Probe::SetNegotiationIgnored(bool on) { core_.SetNegotiationIgnored(on); }
void Probe::SetSerialWritesIgnored(bool on) { core_.SetSerialWritesIgnored(on); }
void Probe::SetSoftResetRefused(bool on) { core_.SetSoftResetRefused(on); }
void Probe::SetDescriptorFault(DescriptorFault fault) { core_.SetDescriptorFault(fault); }

}  // namespace simulator
