// The simulated camera: a USB-to-parallel bridge, the IEEE 1284 cable, the camera controller,
// the serial-bus video decoder behind it, and the scene in front of the lens. It is reached
// only through usbDevice(), as real hardware would be; tests watch and disturb it through
// probe().
//
// Input field: the controller sees a 720 x 288 field (one PAL field), comfortably larger than
// the 460 x 240 source the library crops from, so windows that reach past the source (a
// 241-line window from line 9, 464 + 16 columns in modes 2 to 4) are still served.
//
// Frame size rule: a frame is (end value + 1) bytes, end value = registers 0x10..0x12. The
// picture is the register window (0x04..0x0B, end exclusive) scaled by registers 0x03 and
// 0x02 (64ths; 0 = 1:1): ceil(span x scale / 64) pixels each way; in the compressed formats
// that is the padded plane, and the second layer starts at the start value (0x0D..0x0F).
// The last 4 bytes of every frame are the trailer (kTrailer unless a fault corrupts it).
//
// Serial bus: the decoder answers address 0x3E and wants the access code (default "LORV") at
// sub-address 0x00 before each (selector, address, value) write at sub-address 0x02.
// Selector 0x01, addresses 0x0A to 0x0D are brightness, contrast, saturation and hue
// (scene.h); their defaults leave the picture as the scene is.
// Timing figures: timing.h.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "clock.h"       // platform/kernel
#include "usb_device.h"  // platform/usb

namespace simulator {

// An RGB picture, 3 bytes per pixel (red, green, blue), rows top to bottom without padding.
struct RgbImage {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> pixels;
};

// The controller's input field.
inline constexpr int kFieldWidth = 720;
inline constexpr int kFieldHeight = 288;

// The 4 bytes that end every frame of a stream.
inline constexpr std::array<std::uint8_t, 4> kTrailer = {0xFF, 0x00, 0xFF, 0x57};

// USB identity of the simulated bridge (our own numbers).
inline constexpr std::uint16_t kVendorId = 0x4C56;
inline constexpr std::uint16_t kProductId = 0x0720;

// Descriptor faults are read when the host asks for the descriptors (set them before Plug).
enum class DescriptorFault {
    None,
    ConfigurationShort,    // the configuration descriptor is cut 9 bytes short of wTotalLength
    TotalLengthBelow9,     // wTotalLength = 7
    TooManyEndpoints,      // alternate setting 2 has six endpoints
    NoAlternateSetting2,   // interface 0 has alternate settings 0 and 1 only
};

struct CameraOptions {
    // Empty: the built-in animated test pattern. Otherwise a still picture, stretched over the
    // whole input field.
    std::optional<RgbImage> picture;
    // The four capital letters the serial device wants before every write.
    std::string accessCode = "LORV";
    DescriptorFault descriptorFault = DescriptorFault::None;
};

// A capture window in input-field pixels and the controller's scale factors (64ths, 64 = 1:1).
// The picture is ceil(width x scaleX / 64) by ceil(height x scaleY / 64) pixels.
struct Window {
    int startX = 0;
    int startY = 0;
    int width = 0;
    int height = 0;
    int scaleX = 64;
    int scaleY = 64;
    int PictureWidth() const;
    int PictureHeight() const;
};

// The picture as YCbCr 4:2:2, pairs stored Y0 Cr Y1 Cb (the library's work-image layout).
struct Ycbcr422Image {
    int width = 0;  // even
    int height = 0;
    std::vector<std::uint8_t> bytes;
};

enum class FrameFormat { Pixels422, Rows12, Compressed6, Compressed4, Compressed3 };

// One frame as the controller produced it.
struct FrameRecord {
    std::uint64_t number = 0;      // frames since the camera was made, from 0
    std::uint64_t sceneField = 0;  // the field clock count whose scene it shows
    platform::Clock::TimePoint startTime{};
    FrameFormat format = FrameFormat::Pixels422;
    Window window;                 // as the registers gave it
    int pictureWidth = 0;          // the window's picture; the padded planes in modes 2 to 4
    int pictureHeight = 0;
    int imageOffsetX = 0;          // where the decoded image lies in that picture (4, 2 when
    int imageOffsetY = 0;          // compressed, else 0, 0)
    int imageWidth = 0;            // the decoded image size
    int imageHeight = 0;
    std::size_t bytes = 0;         // end value + 1
    std::array<std::uint8_t, 4> trailer{};
};

// One change on the cable or one byte through the ECP link, for the line-state trace.
struct LineEvent {
    enum class Kind {
        Control,       // host wrote the control lines: value = control register
        Status,        // peripheral changed the status lines: value = status register
        Data,          // host wrote the data latch
        EcpCommand,    // a forward command byte reached the controller
        EcpData,       // a forward data byte reached the controller
        SerialStart,   // the serial device saw a start condition
        SerialStop,    // ... a stop condition
        SerialByte,    // ... a whole byte (value)
        FrameStart,    // the controller began a frame (value = low byte of its number)
    };
    platform::Clock::TimePoint time{};
    Kind kind = Kind::Control;
    std::uint8_t value = 0;
};

enum class LinkPhase {
    Compatibility,
    Negotiating,
    EcpForward,
    EcpReverse,
    Terminating,
};

// The bridge's registers as the snapshot reports them.
struct BridgeRegisters {
    std::uint8_t status = 0;
    std::uint8_t control = 0;
    std::uint8_t extendedControl = 0;
    std::uint8_t bridgeSetup = 0;
    std::uint8_t data = 0;
    std::uint8_t epp = 0;
    std::uint8_t further = 0;  // index 8
};

class CameraCore;

// Watches and disturbs the camera. Thread-safe; every reading first brings the simulated
// hardware up to the clock's present.
class Probe {
public:
    explicit Probe(CameraCore& core) : core_(core) {}

    BridgeRegisters bridgeRegisters() const;
    std::array<std::uint8_t, 32> controllerRegisters() const;
    LinkPhase linkPhase() const;
    bool streaming() const;  // image output running (command 0xA0 and register 0x01 bit 7)
    std::vector<LineEvent> lineTrace() const;
    void ClearLineTrace();

    // Video decoder settings by (selector, address); writes counted as accepted.
    std::uint8_t decoderSetting(std::uint8_t selector, std::uint8_t address) const;
    std::uint64_t decoderWrites() const;

    std::uint64_t framesStarted() const;
    std::uint64_t bytesSent() const;      // bytes that left through the bulk IN pipe
    std::uint64_t bytesReceived() const;  // bytes that arrived through the bulk OUT pipe
    std::vector<FrameRecord> recentFrames() const;  // the last 32, oldest first
    std::vector<std::uint8_t> lastFrameBytes() const;  // the last frame as produced

    // Ground truth: the scene of field `sceneField` as the controller sees it through `window`
    // (the current decoder settings applied), with the same area sampling as the frames.
    RgbImage TruthRgb(const Window& window, std::uint64_t sceneField) const;
    Ycbcr422Image TruthYcbcr(const Window& window, std::uint64_t sceneField) const;

    // Faults. Each holds until cleared (Set...(false)), except the one-shot stream faults.
    void Unplug();                                    // every request answers Gone
    void StallEndpoint(std::uint8_t endpoint);        // until CLEAR_FEATURE(ENDPOINT_HALT)
    void SetStopAnswering(bool on);                   // bulk IN never delivers
    // The next `count` bytes due to the host vanish, or `count` bytes of `value` come first.
    void DropStreamBytes(std::size_t count);
    void InsertStreamBytes(std::size_t count, std::uint8_t value);
    void CorruptNextTrailer();                        // next frame's trailer has a bit flipped
    void SetNegotiationIgnored(bool on);              // peripheral does not answer negotiation
    void SetSerialWritesIgnored(bool on);             // decoder drops every write
    void SetSoftResetRefused(bool on);                // SOFT_RESET stalls
    void SetDescriptorFault(DescriptorFault fault);

private:
    CameraCore& core_;
};

class Camera {
public:
    explicit Camera(platform::Clock& clock, CameraOptions options = {});
    ~Camera();
    Camera(const Camera&) = delete;
    Camera& operator=(const Camera&) = delete;

    // The bridge end of the USB cable; shares ownership of the hardware with the Camera.
    std::shared_ptr<platform::usb::UsbDevice> usbDevice();
    Probe& probe() { return probe_; }

private:
    std::shared_ptr<CameraCore> core_;
    Probe probe_;
};

}  // namespace simulator
