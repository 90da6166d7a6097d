// Renders the controller's frames (scene sampling and encoding) on a worker thread, ahead of
// the field clock. The work costs no simulated time, but it costs real time: on the wall
// clock, rendering at the field start held the bus still for milliseconds per frame. The
// peripheral foresees the field a frame will start on, and the next one when the frame may
// slip to it; a finished render is kept until it is asked for or crowded out. A frame asked for
// is the same bytes whether it was prepared or not.
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <mutex>
#include <span>
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
    using RenderFunction = std::function<std::vector<std::uint8_t>(const FrameJob&)>;

    explicit FrameRenderer(const Scene& scene);
    // Tests watch and pace the rendering through `render`; it runs on either thread.
    explicit FrameRenderer(RenderFunction render);
    ~FrameRenderer();
    FrameRenderer(const FrameRenderer&) = delete;
    FrameRenderer& operator=(const FrameRenderer&) = delete;

    // Has `jobs` rendered in the background, in that order, unless they are already prepared.
    // A job left out that has not started is dropped; one under way or finished is kept.
    void Prepare(std::span<const FrameJob> jobs);
    // The frame's bytes: the prepared ones when the worker has them or is at them (waiting for
    // it then), else rendered on the calling thread. Prepare and Render come from one thread.
    std::vector<std::uint8_t> Render(const FrameJob& job);

private:
    enum class State { Queued, Running, Done };
    struct Entry {
        FrameJob job;
        State state = State::Queued;
        std::vector<std::uint8_t> bytes;
    };
    // The foreseen field, the next one, and one under way or finished for an earlier guess.
    static constexpr std::size_t kKept = 3;

    std::list<Entry>::iterator Find(const FrameJob& job);
    void Work();

    RenderFunction render_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::list<Entry> entries_;  // in the order they were asked for
    bool stopping_ = false;
    std::thread worker_;
};

}  // namespace simulator
