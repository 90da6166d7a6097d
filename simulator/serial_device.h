// The video decoder on the controller's two-wire serial bus. It watches the clock (bit 0) and
// data (bit 1) lines that register 0x18 drives, answers address 0x3E, and takes a
// (selector, address, value) write at sub-address 0x02 only right after the access code was
// written at sub-address 0x00. Anything else (wrong code, a transaction cut by a new start,
// a stray bit count, a wrong length) changes nothing and locks it again.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "scene.h"

namespace simulator {

class SerialDevice {
public:
    static constexpr std::uint8_t kAddress = 0x3E;

    enum class Event { Start, Stop, Byte };
    using Observer = std::function<void(Event, std::uint8_t, platform::Clock::TimePoint)>;

    SerialDevice(std::string accessCode, Observer observer);

    // A new state of the two lines (bit 0 clock, bit 1 data; other bits ignored) at `at`.
    void Lines(std::uint8_t lines, platform::Clock::TimePoint at);

    std::uint8_t Setting(std::uint8_t selector, std::uint8_t address) const {
        return settings_[selector * 256u + address];
    }
    std::uint64_t writes() const { return writes_; }
    PictureAdjustments Adjustments() const;
    void SetIgnoreWrites(bool on) { ignoreWrites_ = on; }

private:
    void Finish();
    void Abandon();

    std::string accessCode_;
    Observer observer_;
    std::array<std::uint8_t, 256 * 256> settings_{};
    bool clock_ = true, data_ = true;
    bool inTransaction_ = false;
    int bitCount_ = 0;  // bits of the byte now arriving; the 9th clock is the acknowledge
    std::uint8_t shift_ = 0;
    std::vector<std::uint8_t> bytes_;
    bool unlocked_ = false;
    bool ignoreWrites_ = false;
    std::uint64_t writes_ = 0;
};

}  // namespace simulator
