// Renders the controller's frames (scene sampling and encoding) on a worker thread, one frame
// ahead of the field clock. The work costs no simulated time, but it costs real time: on the
// wall clock, rendering at the field start held the bus still for tens of milliseconds per
// frame. A frame asked for is the same bytes whether it was prepared or not.
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "camera.h"
#include "scene.h"

namespace simulator {

// Everything a frame's bytes depend on.
struct FrameJob {
    FrameFormat format = FrameFormat::Pixels422;
    Window window;
    std::uint64_t sceneField = 0;
    PictureAdjustments adjustments;
    std::size_t frameBytes = 0;
    std::size_t secondLayerOffset = 0;
    std::array<std::uint8_t, 4> trailer{};
};
bool operator==(const FrameJob& a, const FrameJob& b);

class FrameRenderer {
public:
    explicit FrameRenderer(const Scene& scene);
    ~FrameRenderer();
    FrameRenderer(const FrameRenderer&) = delete;
    FrameRenderer& operator=(const FrameRenderer&) = delete;

    // Starts rendering `job` in the background unless it is already prepared or under way.
    void Prepare(const FrameJob& job);
    // The frame's bytes: the prepared ones when `job` was prepared (waiting for them if need
    // be), else rendered now.
    std::vector<std::uint8_t> Render(const FrameJob& job);

private:
    std::vector<std::uint8_t> Assemble(const FrameJob& job) const;
    void Work();

    const Scene& scene_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::optional<FrameJob> job_;  // the job prepared or under way
    bool done_ = false;
    std::vector<std::uint8_t> bytes_;
    bool stopping_ = false;
    std::thread worker_;
};

}  // namespace simulator
