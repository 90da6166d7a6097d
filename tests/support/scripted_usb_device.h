// A test USB device that answers from a script and records every call the bus makes.
//
// Script: canned steps, consumed in order.
// - Control: steps are matched by (bmRequestType, bRequest). Unscripted standard requests are
//   answered from the descriptors (GET_DESCRIPTOR of the device and configuration,
//   SET_CONFIGURATION, SET_INTERFACE, GET_STATUS); any other unscripted request is taken when
//   it goes host to device (like an OUT endpoint) and stalls when it asks for data.
// - IN endpoint: each step is one run of data served in packets of the size the bus asks for;
//   a run that ends inside a packet gives a short packet. A step of no data is a zero-length
//   packet. With nothing scripted the endpoint answers NotYet without a next chance.
// - OUT endpoint: each step answers one packet. With nothing scripted every packet is taken.
// A step may stall, fail (Gone for that one call), answer late (NotYet until `readyAt`), or
// never answer; `Vanish()` makes the whole device answer Gone from then on.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "clock.h"
#include "usb_device.h"

namespace test_support {

using Bytes = std::vector<std::uint8_t>;

struct Step {
    platform::usb::Reply reply = platform::usb::Reply::Ack;
    Bytes data{};                                        // IN: what the device sends
    std::optional<platform::Clock::TimePoint> readyAt{}; // NotYet before this time
    bool never = false;                                  // NotYet forever, no next chance
};

// Step builders, for scripts that read like the protocol.
Step Answer(Bytes data = {});                                        // Ack with data
Step Stall();
Step Fail();                                                         // Gone, once
Step Late(platform::Clock::TimePoint readyAt, Bytes data = {});      // NAK until readyAt
Step NeverAnswer();

// Descriptor set of a device: the 18-byte device descriptor and the whole configuration.
struct Descriptors {
    Bytes device;
    Bytes configuration;
};

struct EndpointSpec {
    std::uint8_t address;         // 0x01..0x0F OUT, 0x81..0x8F IN
    std::uint8_t attributes;      // USB_ENDPOINT_TYPE_BULK, _INTERRUPT
    std::uint16_t maxPacketSize;
    std::uint8_t interval = 0;
};

struct InterfaceSpec {
    std::uint8_t number = 0;
    std::uint8_t alternateSetting = 0;
    std::uint8_t interfaceClass = 0xFF;
    std::uint8_t subClass = 0;
    std::uint8_t protocol = 0;
    std::vector<EndpointSpec> endpoints{};
};

// Builds a descriptor set; interfaces appear in the configuration in the order given.
Descriptors MakeDescriptors(std::uint16_t idVendor, std::uint16_t idProduct, std::vector<InterfaceSpec> interfaces);

// The bridge's shape: interface 0 in alternate setting 2 with bulk OUT 0x01, bulk IN 0x82
// (64-byte packets) and interrupt IN 0x83; wTotalLength 39.
Descriptors BridgeDescriptors();

class ScriptedUsbDevice : public platform::usb::UsbDevice {
public:
    struct Record {
        enum class Kind { Control, Out, In, Reset };
        Kind kind;
        platform::usb::SetupPacket setup{};  // Control
        std::uint8_t endpoint = 0;           // Out, In (0 for Control)
        Bytes data{};                        // what moved: OUT/IN payload, control data stage
        platform::usb::Reply reply = platform::usb::Reply::Ack;
        platform::Clock::TimePoint at{};
    };

    explicit ScriptedUsbDevice(platform::Clock& clock, Descriptors descriptors = BridgeDescriptors());

    // Script (any thread). Scripting wakes a bus that waits on this device.
    void OnControl(std::uint8_t bmRequestType, std::uint8_t bRequest, Step step);
    void OnIn(std::uint8_t endpoint, Step step);
    void OnOut(std::uint8_t endpoint, Step step);
    void Vanish();

    // Records (any thread). NotYet answers are recorded too.
    std::vector<Record> Records() const;
    std::vector<platform::usb::SetupPacket> SetupPackets() const;  // Control calls that were answered
    Bytes OutData(std::uint8_t endpoint) const;                     // every byte taken on it
    std::size_t Count(Record::Kind kind, platform::usb::Reply reply = platform::usb::Reply::Ack) const;
    void ClearRecords();

    std::uint8_t configuration() const;                       // last SET_CONFIGURATION value
    std::optional<std::uint8_t> alternateSetting(std::uint8_t interface) const;

    // UsbDevice
    platform::usb::TransferReply Control(const platform::usb::SetupPacket& setup, std::span<std::uint8_t> data) override;
    platform::usb::TransferReply Out(std::uint8_t endpoint, std::span<const std::uint8_t> packet) override;
    platform::usb::TransferReply In(std::uint8_t endpoint, std::span<std::uint8_t> packet) override;
    std::optional<platform::Clock::TimePoint> NextChance(std::uint8_t endpoint) override;
    void Reset() override;
    void Attach(std::function<void()> askAgain) override;

private:
    struct InRun {
        Step step;
        std::size_t offset = 0;
    };

    platform::usb::TransferReply StandardRequest(const platform::usb::SetupPacket& setup, std::span<std::uint8_t> data);
    std::optional<platform::usb::TransferReply> NotReady(const Step& step, std::uint8_t endpoint);
    void Wake();
    void Add(Record record);

    platform::Clock& clock_;
    const Descriptors descriptors_;
    mutable std::mutex mutex_;
    std::map<std::pair<std::uint8_t, std::uint8_t>, std::deque<Step>> control_;
    std::map<std::uint8_t, std::deque<InRun>> in_;
    std::map<std::uint8_t, std::deque<Step>> out_;
    std::map<std::uint8_t, std::optional<platform::Clock::TimePoint>> nextChance_;
    std::vector<Record> records_;
    std::uint8_t configuration_ = 0;
    std::map<std::uint8_t, std::uint8_t> alternateSettings_;
    bool vanished_ = false;
    std::function<void()> askAgain_;
};

}  // namespace test_support
