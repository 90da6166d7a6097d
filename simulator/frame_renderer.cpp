#include "frame_renderer.h"

#include <algorithm>
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

FrameRenderer::FrameRenderer(const Scene& scene)
    : FrameRenderer([&scene](const FrameJob& job) {
          // Kept from frame to frame on each thread: a fresh picture every frame costs page faults.
          thread_local YcbcrPlanes picture;
          scene.Sample(job.window, job.sceneField, job.adjustments, picture);
          return AssembleFrame(job.format, picture, job.frameBytes, job.secondLayerOffset, job.trailer);
      }) {}

// The worker starts last, once every member it reads exists.
FrameRenderer::FrameRenderer(RenderFunction render)
    : render_(std::move(render)), worker_([this] { Work(); }) {}

FrameRenderer::~FrameRenderer() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    worker_.join();
}

std::list<FrameRenderer::Entry>::iterator FrameRenderer::Find(const FrameJob& job) {
    return std::ranges::find(entries_, job, &Entry::job);
}

void FrameRenderer::Prepare(std::span<const FrameJob> jobs) {
    auto wanted = [&](const Entry& e) { return std::ranges::find(jobs, e.job) != jobs.end(); };
    bool queued = false;
    {
        std::lock_guard lock(mutex_);
        std::erase_if(entries_, [&](const Entry& e) { return e.state == State::Queued && !wanted(e); });
        for (const FrameJob& job : jobs) {
            if (Find(job) != entries_.end()) continue;
            entries_.push_back(Entry{job, State::Queued, {}});
            queued = true;
        }
        // Crowd out the oldest finished guesses; one under way stays until it is done.
        for (auto it = entries_.begin(); entries_.size() > kKept && it != entries_.end();)
            it = it->state == State::Done && !wanted(*it) ? entries_.erase(it) : std::next(it);
    }
    if (queued) changed_.notify_all();
}

std::vector<std::uint8_t> FrameRenderer::Render(const FrameJob& job) {
    {
        std::unique_lock lock(mutex_);
        const auto it = Find(job);
        if (it != entries_.end() && it->state == State::Queued) {
            // The worker is still at another job: rendering here is over sooner than waiting.
            entries_.erase(it);
        } else if (it != entries_.end()) {
            changed_.wait(lock, [&] { return it->state == State::Done; });
            std::vector<std::uint8_t> bytes = std::move(it->bytes);
            entries_.erase(it);
            return bytes;
        }
    }
    return render_(job);
}

void FrameRenderer::Work() {
    std::unique_lock lock(mutex_);
    for (;;) {
        auto next = entries_.end();
        changed_.wait(lock, [&] {
            next = std::ranges::find(entries_, State::Queued, &Entry::state);
            return stopping_ || next != entries_.end();
        });
        if (stopping_) return;
        next->state = State::Running;
        const FrameJob job = next->job;
        lock.unlock();
        std::vector<std::uint8_t> bytes = render_(job);
        lock.lock();
        // Only Prepare and Render remove entries, and neither removes one under way.
        next->bytes = std::move(bytes);
        next->state = State::Done;
        changed_.notify_all();
    }
}

}  // namespace simulator
