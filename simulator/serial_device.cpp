#include "serial_device.h"

#include <algorithm>
#include <utility>

namespace simulator {
namespace {

// The chip's power-on values: those the library loads, so the picture starts neutral.
struct DefaultSetting {
    std::uint8_t selector, address, value;
};
constexpr DefaultSetting kDefaults[] = {
    {0x01, 0x02, 0xAB}, {0x00, 0x04, 0x00}, {0x00, 0x05, 0xE8}, {0x00, 0x06, 0x38},
    {0x00, 0x07, 0x26}, {0x02, 0x00, 0x0F}, {0x02, 0x01, 0x43}, {0x02, 0x02, 0x40},
    {0x02, 0x03, 0x62}, {0x02, 0x04, 0x52}, {0x01, 0x08, 0x2C}, {0x01, 0x09, 0x2D},
    {0x01, 0x0A, 0x36}, {0x01, 0x0B, 0x0A}, {0x01, 0x0C, 0x80}, {0x01, 0x0D, 0xE8},
    {0x00, 0x03, 0x16}, {0x00, 0x02, 0x3C},
};

constexpr std::uint8_t kCodeSubAddress = 0x00;
constexpr std::uint8_t kWriteSubAddress = 0x02;

}  // namespace

SerialDevice::SerialDevice(std::string accessCode, Observer observer)
    : accessCode_(std::move(accessCode)), observer_(std::move(observer)) {
    for (const auto& d : kDefaults) settings_[d.selector * 256u + d.address] = d.value;
}

void SerialDevice::Lines(std::uint8_t lines, platform::Clock::TimePoint at) {
    const bool clock = lines & 0x01, data = lines & 0x02;
    if (clock_ && clock && data_ != data) {
        if (!data) {
            // Start (a repeated start cuts the transaction that was open).
            if (inTransaction_) Abandon();
            inTransaction_ = true;
            bitCount_ = 0;
            shift_ = 0;
            bytes_.clear();
            observer_(Event::Start, 0, at);
        } else if (inTransaction_) {
            observer_(Event::Stop, 0, at);
            Finish();
        }
    } else if (!clock_ && clock && inTransaction_) {
        if (bitCount_ < 8) {
            shift_ = static_cast<std::uint8_t>(shift_ << 1 | (data ? 1 : 0));
            if (++bitCount_ == 8) {
                bytes_.push_back(shift_);
                observer_(Event::Byte, shift_, at);
            }
        } else {
            bitCount_ = 0;  // the acknowledge clock
            shift_ = 0;
        }
    }
    clock_ = clock;
    data_ = data;
}

void SerialDevice::Finish() {
    inTransaction_ = false;
    // The clock rise in front of a stop shifts in one bit that the stop then voids; more than
    // that is a byte cut short.
    const bool whole = bitCount_ <= 1;
    if (!whole || bytes_.size() < 2 || bytes_[0] != kAddress) {
        // Another device's business, or a malformed one of ours.
        if (!bytes_.empty() && bytes_[0] == kAddress) unlocked_ = false;
        return;
    }
    const std::uint8_t sub = bytes_[1];
    const std::size_t payload = bytes_.size() - 2;
    if (sub == kCodeSubAddress) {
        unlocked_ = payload == accessCode_.size() &&
                    std::equal(accessCode_.begin(), accessCode_.end(), bytes_.begin() + 2);
        return;
    }
    if (sub == kWriteSubAddress && unlocked_ && payload == 3 && !ignoreWrites_) {
        settings_[bytes_[2] * 256u + bytes_[3]] = bytes_[4];
        ++writes_;
    }
    unlocked_ = false;
}

void SerialDevice::Abandon() {
    inTransaction_ = false;
    unlocked_ = false;
}

PictureAdjustments SerialDevice::Adjustments() const {
    return {Setting(0x01, 0x0A), Setting(0x01, 0x0B), Setting(0x01, 0x0C), Setting(0x01, 0x0D)};
}

}  // namespace simulator
