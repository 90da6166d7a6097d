#include "frame_renderer.h"

#include <utility>

#include "frame_encoder.h"

namespace simulator {

bool operator==(const FrameJob& a, const FrameJob& b) {
    const Window &u = a.window, &v = b.window;
    const PictureAdjustments &p = a.adjustments, &q = b.adjustments;
    return a.format == b.format && u.startX == v.startX && u.startY == v.startY &&
           u.width == v.width && u.height == v.height && u.scaleX == v.scaleX &&
           u.scaleY == v.scaleY && a.sceneField == b.sceneField && p.brightness == q.brightness &&
           p.contrast == q.contrast && p.saturation == q.saturation && p.hue == q.hue &&
           a.frameBytes == b.frameBytes && a.secondLayerOffset == b.secondLayerOffset &&
           a.trailer == b.trailer;
}

// The worker starts last, once every member it reads exists.
FrameRenderer::FrameRenderer(const Scene& scene) : scene_(scene), worker_([this] { Work(); }) {}

FrameRenderer::~FrameRenderer() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    worker_.join();
}

std::vector<std::uint8_t> FrameRenderer::Assemble(const FrameJob& job) const {
    // Kept from frame to frame on each thread: a fresh picture every frame costs page faults.
    thread_local YcbcrPlanes picture;
    scene_.Sample(job.window, job.sceneField, job.adjustments, picture);
    return AssembleFrame(job.format, picture, job.frameBytes, job.secondLayerOffset, job.trailer);
}

void FrameRenderer::Prepare(const FrameJob& job) {
    {
        std::lock_guard lock(mutex_);
        if (job_ && *job_ == job) return;
        job_ = job;
        done_ = false;
        bytes_.clear();
    }
    changed_.notify_all();
}

std::vector<std::uint8_t> FrameRenderer::Render(const FrameJob& job) {
    {
        std::unique_lock lock(mutex_);
        if (job_ && *job_ == job) {
            changed_.wait(lock, [&] { return done_; });
            std::vector<std::uint8_t> bytes = std::move(bytes_);
            job_.reset();
            done_ = false;
            bytes_.clear();
            return bytes;
        }
    }
    return Assemble(job);
}

void FrameRenderer::Work() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return stopping_ || (job_ && !done_); });
        if (stopping_) return;
        const FrameJob job = *job_;
        lock.unlock();
        std::vector<std::uint8_t> bytes = Assemble(job);
        lock.lock();
        // A job replaced meanwhile is rendered again on the next turn.
        if (job_ && *job_ == job) {
            bytes_ = std::move(bytes);
            done_ = true;
            changed_.notify_all();
        }
    }
}

}  // namespace simulator
