#include "scripted_usb_device.h"

#include <algorithm>

namespace test_support {

using platform::usb::Reply;
using platform::usb::SetupPacket;
using platform::usb::TransferReply;

Step Answer(Bytes data) { return Step{.reply = Reply::Ack, .data = std::move(data)}; }
Step Stall() { return Step{.reply = Reply::Stall}; }
Step Fail() { return Step{.reply = Reply::Gone}; }
Step Late(platform::Clock::TimePoint readyAt, Bytes data) {
    return Step{.reply = Reply::Ack, .data = std::move(data), .readyAt = readyAt};
}
Step NeverAnswer() { return Step{.reply = Reply::NotYet, .never = true}; }

namespace {

void PutWord(Bytes& bytes, std::uint16_t value) {
    bytes.push_back(static_cast<std::uint8_t>(value & 0xFF));
    bytes.push_back(static_cast<std::uint8_t>(value >> 8));
}

}  // namespace

Descriptors MakeDescriptors(std::uint16_t idVendor, std::uint16_t idProduct, std::vector<InterfaceSpec> interfaces) {
    Descriptors d;
    d.device = {18, 0x01};
    PutWord(d.device, 0x0110);                      // bcdUSB: full-speed USB 1.1
    d.device.insert(d.device.end(), {0, 0, 0, 8});  // class, subclass, protocol, bMaxPacketSize0
    PutWord(d.device, idVendor);
    PutWord(d.device, idProduct);
    PutWord(d.device, 0x0100);                      // bcdDevice
    d.device.insert(d.device.end(), {0, 0, 0, 1});  // no strings, one configuration

    std::vector<std::uint8_t> numbers;
    Bytes body;
    for (const InterfaceSpec& interface : interfaces) {
        if (std::find(numbers.begin(), numbers.end(), interface.number) == numbers.end())
            numbers.push_back(interface.number);
        body.insert(body.end(), {9, 0x04, interface.number, interface.alternateSetting,
                                 static_cast<std::uint8_t>(interface.endpoints.size()), interface.interfaceClass,
                                 interface.subClass, interface.protocol, 0});
        for (const EndpointSpec& endpoint : interface.endpoints) {
            body.insert(body.end(), {7, 0x05, endpoint.address, endpoint.attributes});
            PutWord(body, endpoint.maxPacketSize);
            body.push_back(endpoint.interval);
        }
    }
    d.configuration = {9, 0x02};
    PutWord(d.configuration, static_cast<std::uint16_t>(9 + body.size()));
    d.configuration.insert(d.configuration.end(),
                           {static_cast<std::uint8_t>(numbers.size()), 1, 0, 0x80, 50});  // 100 mA, bus powered
    d.configuration.insert(d.configuration.end(), body.begin(), body.end());
    return d;
}

Descriptors BridgeDescriptors() {
    InterfaceSpec bridge{0, 2, 0x07, 0x01, 0x02, {{0x01, 0x02, 64}, {0x82, 0x02, 64}, {0x83, 0x03, 1, 1}}};
    return MakeDescriptors(0x1209, 0x0720, {bridge});
}

ScriptedUsbDevice::ScriptedUsbDevice(platform::Clock& clock, Descriptors descriptors)
    : clock_(clock), descriptors_(std::move(descriptors)) {}

void ScriptedUsbDevice::OnControl(std::uint8_t bmRequestType, std::uint8_t bRequest, Step step) {
    std::lock_guard lock(mutex_);
    control_[{bmRequestType, bRequest}].push_back(std::move(step));
    Wake();
}

void ScriptedUsbDevice::OnIn(std::uint8_t endpoint, Step step) {
    std::lock_guard lock(mutex_);
    in_[endpoint].push_back(InRun{.step = std::move(step)});
    Wake();
}

void ScriptedUsbDevice::OnOut(std::uint8_t endpoint, Step step) {
    std::lock_guard lock(mutex_);
    out_[endpoint].push_back(std::move(step));
    Wake();
}

void ScriptedUsbDevice::Vanish() {
    std::lock_guard lock(mutex_);
    vanished_ = true;
    Wake();
}

// Called with mutex_ held, so that a bus detaching with Attach({}) never sees a late call.
void ScriptedUsbDevice::Wake() {
    if (askAgain_) askAgain_();
}

void ScriptedUsbDevice::Attach(std::function<void()> askAgain) {
    std::lock_guard lock(mutex_);
    askAgain_ = std::move(askAgain);
}

void ScriptedUsbDevice::Add(Record record) {
    record.at = clock_.Now();
    records_.push_back(std::move(record));
}

std::optional<TransferReply> ScriptedUsbDevice::NotReady(const Step& step, std::uint8_t endpoint) {
    if (step.never) {
        nextChance_[endpoint] = std::nullopt;
        return TransferReply{Reply::NotYet};
    }
    if (step.readyAt && clock_.Now() < *step.readyAt) {
        nextChance_[endpoint] = step.readyAt;
        return TransferReply{Reply::NotYet};
    }
    return std::nullopt;
}

TransferReply ScriptedUsbDevice::Control(const SetupPacket& setup, std::span<std::uint8_t> data) {
    std::lock_guard lock(mutex_);
    Record record{.kind = Record::Kind::Control, .setup = setup};
    const bool in = (setup.bmRequestType & 0x80) != 0;
    TransferReply reply{Reply::Gone};
    auto script = control_.find({setup.bmRequestType, setup.bRequest});
    if (vanished_) {
        reply = {Reply::Gone};
    } else if (script != control_.end() && !script->second.empty()) {
        Step& step = script->second.front();
        if (auto notReady = NotReady(step, 0)) {
            reply = *notReady;
        } else {
            reply = {step.reply};
            if (step.reply == Reply::Ack) {
                std::size_t n = in ? std::min(data.size(), step.data.size()) : data.size();
                if (in) std::copy_n(step.data.begin(), n, data.begin());
                reply.bytes = n;
            }
            script->second.pop_front();
        }
    } else {
        reply = StandardRequest(setup, data);
    }
    if (reply.reply == Reply::Ack) record.data.assign(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(reply.bytes));
    record.reply = reply.reply;
    Add(std::move(record));
    return reply;
}

// With mutex_ held: the standard requests a bus driver sends on its own.
TransferReply ScriptedUsbDevice::StandardRequest(const SetupPacket& setup, std::span<std::uint8_t> data) {
    auto give = [&](const Bytes& bytes) {
        std::size_t n = std::min({data.size(), bytes.size(), static_cast<std::size_t>(setup.wLength)});
        std::copy_n(bytes.begin(), n, data.begin());
        return TransferReply{Reply::Ack, n};
    };
    const std::uint8_t type = static_cast<std::uint8_t>(setup.wValue >> 8);
    const std::uint8_t index = static_cast<std::uint8_t>(setup.wValue & 0xFF);
    switch (setup.bmRequestType << 8 | setup.bRequest) {
        case 0x8006:  // GET_DESCRIPTOR
            if (type == 0x01) return give(descriptors_.device);
            if (type == 0x02 && index == 0) return give(descriptors_.configuration);
            return {Reply::Stall};
        case 0x0009:  // SET_CONFIGURATION
            if (index != 0 && (descriptors_.configuration.size() < 9 || index != descriptors_.configuration[5]))
                return {Reply::Stall};
            configuration_ = index;
            alternateSettings_.clear();
            return {Reply::Ack};
        case 0x010B: {  // SET_INTERFACE: the alternate setting must exist
            const Bytes& c = descriptors_.configuration;
            for (std::size_t at = 0; at + 4 <= c.size() && c[at] != 0; at += c[at]) {
                if (c[at + 1] == 0x04 && c[at + 2] == (setup.wIndex & 0xFF) && c[at + 3] == setup.wValue) {
                    alternateSettings_[static_cast<std::uint8_t>(setup.wIndex)] = static_cast<std::uint8_t>(setup.wValue);
                    return {Reply::Ack};
                }
            }
            return {Reply::Stall};
        }
        case 0x0201:  // CLEAR_FEATURE(ENDPOINT_HALT)
            return {setup.wValue == 0 ? Reply::Ack : Reply::Stall};
        case 0x8000:  // GET_STATUS
            return give(Bytes{0, 0});
        case 0x8008:  // GET_CONFIGURATION
            return give(Bytes{configuration_});
        default:
            if ((setup.bmRequestType & 0x80) == 0 && (setup.bmRequestType & 0x60) != 0) return {Reply::Ack, data.size()};
            return {Reply::Stall};
    }
}

TransferReply ScriptedUsbDevice::Out(std::uint8_t endpoint, std::span<const std::uint8_t> packet) {
    std::lock_guard lock(mutex_);
    Record record{.kind = Record::Kind::Out, .endpoint = endpoint};
    TransferReply reply{Reply::Ack, packet.size()};
    auto& script = out_[endpoint];
    if (vanished_) {
        reply = {Reply::Gone};
    } else if (!script.empty()) {
        if (auto notReady = NotReady(script.front(), endpoint)) {
            reply = *notReady;
        } else {
            if (script.front().reply != Reply::Ack) reply = {script.front().reply};
            script.pop_front();
        }
    }
    if (reply.reply == Reply::Ack) record.data.assign(packet.begin(), packet.end());
    record.reply = reply.reply;
    Add(std::move(record));
    return reply;
}

TransferReply ScriptedUsbDevice::In(std::uint8_t endpoint, std::span<std::uint8_t> packet) {
    std::lock_guard lock(mutex_);
    Record record{.kind = Record::Kind::In, .endpoint = endpoint};
    TransferReply reply{Reply::NotYet};
    auto& script = in_[endpoint];
    if (vanished_) {
        reply = {Reply::Gone};
    } else if (script.empty()) {
        nextChance_[endpoint] = std::nullopt;  // nothing to give: only a new script helps
    } else if (auto notReady = NotReady(script.front().step, endpoint)) {
        reply = *notReady;
    } else {
        InRun& run = script.front();
        if (run.step.reply != Reply::Ack) {
            reply = {run.step.reply};
            script.pop_front();
        } else {
            std::size_t n = std::min(packet.size(), run.step.data.size() - run.offset);
            std::copy_n(run.step.data.begin() + static_cast<std::ptrdiff_t>(run.offset), n, packet.begin());
            run.offset += n;
            reply = {Reply::Ack, n};
            record.data.assign(packet.begin(), packet.begin() + static_cast<std::ptrdiff_t>(n));
            if (run.offset == run.step.data.size()) script.pop_front();
        }
    }
    record.reply = reply.reply;
    Add(std::move(record));
    return reply;
}

std::optional<platform::Clock::TimePoint> ScriptedUsbDevice::NextChance(std::uint8_t endpoint) {
    std::lock_guard lock(mutex_);
    auto it = nextChance_.find(endpoint);
    return it == nextChance_.end() ? std::nullopt : it->second;
}

void ScriptedUsbDevice::Reset() {
    std::lock_guard lock(mutex_);
    configuration_ = 0;
    alternateSettings_.clear();
    Add(Record{.kind = Record::Kind::Reset});
}

std::vector<ScriptedUsbDevice::Record> ScriptedUsbDevice::Records() const {
    std::lock_guard lock(mutex_);
    return records_;
}

std::vector<SetupPacket> ScriptedUsbDevice::SetupPackets() const {
    std::lock_guard lock(mutex_);
    std::vector<SetupPacket> setups;
    for (const Record& record : records_)
        if (record.kind == Record::Kind::Control && record.reply != Reply::NotYet) setups.push_back(record.setup);
    return setups;
}

Bytes ScriptedUsbDevice::OutData(std::uint8_t endpoint) const {
    std::lock_guard lock(mutex_);
    Bytes bytes;
    for (const Record& record : records_)
        if (record.kind == Record::Kind::Out && record.endpoint == endpoint && record.reply == Reply::Ack)
            bytes.insert(bytes.end(), record.data.begin(), record.data.end());
    return bytes;
}

std::size_t ScriptedUsbDevice::Count(Record::Kind kind, Reply reply) const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(std::count_if(records_.begin(), records_.end(), [&](const Record& record) {
        return record.kind == kind && record.reply == reply;
    }));
}

void ScriptedUsbDevice::ClearRecords() {
    std::lock_guard lock(mutex_);
    records_.clear();
}

std::uint8_t ScriptedUsbDevice::configuration() const {
    std::lock_guard lock(mutex_);
    return configuration_;
}

std::optional<std::uint8_t> ScriptedUsbDevice::alternateSetting(std::uint8_t interface) const {
    std::lock_guard lock(mutex_);
    auto it = alternateSettings_.find(interface);
    return it == alternateSettings_.end() ? std::nullopt : std::optional(it->second);
}

}  // namespace test_support
