// A host for the simulated camera that talks straight to its UsbDevice, charging a 1-ms bus
// frame per control transfer, and drives the parallel port the way the capture library does
// (the same control values and status waits), so tests read like the wire protocol.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "camera.h"
#include "clock.h"

namespace simtest {

using platform::usb::Reply;
using platform::usb::TransferReply;

inline constexpr std::uint8_t kBulkOut = 0x01, kBulkIn = 0x82;
inline constexpr std::uint8_t kStatus = 1, kControl = 2, kData = 0, kExtendedControl = 6;

class UsbHost {
public:
    UsbHost(platform::Clock& clock, platform::usb::UsbDevice& device)
        : clock_(clock), device_(device) {}

    TransferReply Control(std::uint8_t requestType, std::uint8_t request, std::uint16_t value,
                          std::uint16_t index, std::span<std::uint8_t> data);
    TransferReply ControlOut(std::uint8_t requestType, std::uint8_t request, std::uint16_t value,
                             std::uint16_t index = 0) {
        return Control(requestType, request, value, index, {});
    }
    std::vector<std::uint8_t> ControlIn(std::uint8_t requestType, std::uint8_t request,
                                        std::uint16_t value, std::uint16_t index,
                                        std::uint16_t length, Reply* reply = nullptr);

    // SET_CONFIGURATION 1 and SET_INTERFACE 0 / alternate 2.
    bool Configure();

    bool SetReg(std::uint8_t index, std::uint8_t value);
    // Reads the snapshot and picks the register's byte the way the driver does.
    std::optional<std::uint8_t> GetReg(std::uint8_t index);

    // Bulk transfers in packets of up to 64 bytes; a NotYet waits for the device's NextChance.
    // Both give up (false) at a NotYet without one or after `limit` of clock time.
    bool BulkWrite(std::span<const std::uint8_t> bytes,
                   platform::Clock::Duration limit = std::chrono::seconds(5));
    bool BulkRead(std::span<std::uint8_t> bytes,
                  platform::Clock::Duration limit = std::chrono::seconds(5));

    // The library's link operations: 0 done, 8 a status wait ran out (100 ms).
    int WaitStatus(std::uint8_t mask, std::uint8_t value);
    int NegotiateEcp();
    int TerminateEcp();
    void EcpCommand(std::uint8_t command);
    void EcpData(std::uint8_t data);
    void WriteControllerReg(std::uint8_t reg, std::uint8_t value) {
        EcpCommand(static_cast<std::uint8_t>(0xC0 | reg));
        EcpData(value);
    }
    int EnterReverse();
    int LeaveReverse();  // with the FIFO drain
    // The library's stream start after its registers went out: reset pulse, stream on,
    // image command and reverse turnaround.
    int StartStream(std::uint8_t mode1Register);

    platform::Clock& clock() { return clock_; }
    std::size_t drained = 0;  // bytes the last LeaveReverse drained

private:
    platform::Clock& clock_;
    platform::usb::UsbDevice& device_;
};

// The register image the library builds, for a picture of w x h from a window at (x, y).
struct Geometry {
    int mode = 0;
    int startX = 2, startY = 10, endX = 462, endY = 250;
    int scaleX = 32, scaleY = 64;  // 64ths
    int frameWidth = 230, frameHeight = 240;
};
std::size_t FrameBytes(const Geometry& g);
void WriteGeometry(UsbHost& host, const Geometry& g);
// Serial-bus line states for one decoder write, the way the library queues them.
std::vector<std::uint8_t> SerialWrite(const std::string& code, std::uint8_t selector,
                                      std::uint8_t address, std::uint8_t value);

}  // namespace simtest
