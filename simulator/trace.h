// The bounded line-state trace that the probe hands out.
#pragma once

#include <cstddef>
#include <deque>
#include <vector>

#include "camera.h"

namespace simulator {

class Trace {
public:
    // The serial bus alone writes some 15,000 line states per flush; keep the recent past.
    static constexpr std::size_t kCapacity = 1 << 18;

    void Add(platform::Clock::TimePoint time, LineEvent::Kind kind, std::uint8_t value) {
        if (events_.size() == kCapacity) events_.pop_front();
        events_.push_back(LineEvent{time, kind, value});
    }
    std::vector<LineEvent> Events() const { return {events_.begin(), events_.end()}; }
    void Clear() { events_.clear(); }

private:
    std::deque<LineEvent> events_;
};

}  // namespace simulator
