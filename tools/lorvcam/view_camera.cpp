#include "view_camera.h"

#include <chrono>
#include <stdexcept>

#include "camera_backend.h"
#include "capture_api.h"
#include "capture_loop.h"
#include "heap.h"  // platform/win32
#include "image.h"

namespace lorvcam {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kZoomStep = 4;  // in 64ths: about eight wheel steps from the whole source to 1:1

std::string Describe(const ViewFormat& format)
{
    return std::to_string(format.width) + "x" + std::to_string(format.height) + " in mode " +
           std::to_string(format.mode);
}

// One capture context through its life, in the order the library asks for.
class LiveContext {
public:
    LiveContext(const ViewFormat& format, Point panControl, std::optional<Point> crop, std::optional<int> zoom)
        : context_(AllocCaptureContext(format.width, format.height, format.mode))
    {
        if (!context_)
            throw std::runtime_error("the library could not allocate a capture context.");
        if (crop)
            SetCropCenter(context_, crop->x, crop->y);
        output_.resize(LibraryImageBytes(format.ShownWidth(), format.ShownHeight(), format.bits));
        context_->outputImage = output_.data();
        context_->outputBitsPerPixel = format.bits;
        context_->doubleSize = format.doubleSize ? 1 : 0;
        if (!StartCapture(context_)) {
            FreeCaptureContext(context_);
            throw std::runtime_error("the library refused to capture at " + Describe(format) + ".");
        }
        SetPanCtrlSize(context_, panControl.x, panControl.y);
        if (zoom)
            SetZoomFactor(context_, *zoom);
        if (!StartStreaming(context_)) {
            StopCapture(context_);
            FreeCaptureContext(context_);
            throw std::runtime_error("the camera did not start streaming at " + Describe(format) + ".");
        }
    }
    ~LiveContext()
    {
        // After a failed read both are refused; freeing the context still releases its buffers.
        StopStreaming(context_);
        StopCapture(context_);
        FreeCaptureContext(context_);
    }
    LiveContext(const LiveContext&) = delete;
    LiveContext& operator=(const LiveContext&) = delete;

    CaptureContext* operator->() const { return context_; }
    CaptureContext* get() const { return context_; }
    const std::vector<std::uint8_t>& output() const { return output_; }

private:
    CaptureContext* context_;
    std::vector<std::uint8_t> output_;
};

void FillState(ViewState& state, const CaptureContext& c)
{
    state.zoom = c.zoomFactor;
    state.zoomMin = c.zoomMin;
    state.zoomMax = c.zoomMax;
    state.sourceWidth = c.sourceWidth;
    state.sourceHeight = c.sourceHeight;
    state.windowWidth = c.windowWidth;
    state.windowHeight = c.windowHeight;
    state.panLeft = c.panViewLeft;
    state.panTop = c.panViewTop;
    state.panRight = c.panViewRight;
    state.panBottom = c.panViewBottom;
    state.panCenter = {c.panCenterX, c.panCenterY};
    state.libraryFps = c.framesPerSecond;
    state.libraryHundredths = c.framesPerSecondHundredths;
    for (std::size_t i = 0; i < kPictureIndexes.size(); ++i)
        state.picture[i] = static_cast<int>(GetSAA7111Reg(kPictureIndexes[i]));
}

}  // namespace

ViewCamera::ViewCamera(const Command& command, Point panControl)
    : command_(command), panControl_(panControl), thread_([this] { Run(); })
{
}

ViewCamera::~ViewCamera() { Close(); }

void ViewCamera::Close()
{
    Ask([](ViewRequests& r) { r.quit = true; });
    if (thread_.joinable())
        thread_.join();
}

std::size_t ViewCamera::BlocksLeft() const
{
    std::lock_guard lock(mutex_);
    return blocksLeft_;
}

ViewState ViewCamera::State() const
{
    std::lock_guard lock(mutex_);
    return state_;
}

bool ViewCamera::TakePicture(ViewPicture& into)
{
    std::lock_guard lock(mutex_);
    if (!fresh_)
        return false;
    std::swap(into, newest_);
    fresh_ = false;
    return true;
}

bool ViewCamera::Ended() const
{
    std::lock_guard lock(mutex_);
    return ended_;
}

std::string ViewCamera::FatalError() const
{
    std::lock_guard lock(mutex_);
    return fatal_;
}

std::uint64_t ViewCamera::PicturesCaptured() const
{
    std::lock_guard lock(mutex_);
    return captured_;
}

void ViewCamera::Run()
{
    try {
        CameraBackend stack(command_.platform);
        Loop(stack);
    } catch (const std::exception& error) {
        std::lock_guard lock(mutex_);
        fatal_ = error.what();
    }
    std::lock_guard lock(mutex_);
    ended_ = true;
}

void ViewCamera::Loop(CameraBackend& stack)
{
    const CaptureOptions& start = command_.capture;
    ApplyDecoderSettings(start);
    if (!Enter_USS720_W9966_SAA7111())
        throw std::runtime_error("the camera did not come up (Enter_USS720_W9966_SAA7111 failed); " +
                                 stack.ReasonsHint());
    bool entered = true;
    ViewFormat format{start.width, start.height, start.mode, start.bitsPerPixel, start.doubleSize};
    std::optional<LiveContext> live;
    std::string error;
    auto open = [&](std::optional<Point> crop, std::optional<int> zoom) {
        live.reset();
        try {
            live.emplace(format, panControl_, crop, zoom);
            error.clear();
        } catch (const std::exception& e) {
            error = std::string("The picture stopped: ") + e.what();
        }
    };
    open(start.cropCenter, start.zoom);

    // A change made before one CaptureFrame is sure to show in the picture of the next one
    // (the frame decoded first may have been read before the change reached the camera).
    ViewState applied;  // as set before the last CaptureFrame
    ViewState shownNext;
    std::uint64_t pictures = 0;
    auto paceFrom = std::pair{stack.Now(), Clock::now()};
    for (;;) {
        ViewRequests asked;
        {
            std::lock_guard lock(mutex_);
            std::swap(asked, requests_);
        }
        if (asked.quit)
            break;
        if (asked.format)
            format = *asked.format;
        if (asked.reconnect && !entered && !(entered = Enter_USS720_W9966_SAA7111()))
            error = "The camera did not come up again; r tries once more.";
        // After a failed read a new context starts only once the camera is up again.
        if (entered && (asked.reconnect || asked.format)) {
            std::optional<Point> crop;
            if (live)
                crop = Point{live->get()->cropCenterX, live->get()->cropCenterY};
            open(crop, std::nullopt);
            paceFrom = {stack.Now(), Clock::now()};
        }
        for (std::size_t i = 0; i < kPictureIndexes.size(); ++i)
            if (asked.picture[i])
                SetSAA7111Reg(kPictureIndexes[i], *asked.picture[i]);
        if (live && asked.zoomSteps != 0)
            SetZoomFactor(live->get(), live->get()->zoomFactor + asked.zoomSteps * kZoomStep);
        if (live && asked.panCenter)
            SetPanAreaCenter(live->get(), asked.panCenter->x, asked.panCenter->y);

        if (!live || !error.empty()) {
            // Nothing to capture: wait for the window's next wish.
            std::unique_lock lock(mutex_);
            if (live)
                FillState(state_, *live->get());
            state_.format = format;
            state_.error = error;
            wake_.wait_for(lock, std::chrono::milliseconds(200),
                           [&] { return requests_.quit || requests_.reconnect || requests_.format; });
            paceFrom = {stack.Now(), Clock::now()};
            continue;
        }

        ViewState now;
        now.format = format;
        FillState(now, *live->get());
        if (asked.format || asked.reconnect || pictures == 0)
            applied = now;
        shownNext = applied;
        applied = now;
        CaptureFrame(live->get());
        ++pictures;
        stack.PictureTaken(static_cast<long>(pictures));

        // CaptureFrame always reports success. A frame read that could not be issued leaves
        // none pending: after a trailer resync streaming restarts, after a failed read the
        // library refuses to stop streaming until it is brought up again.
        bool readFailed = false;
        if (!live->get()->readPending) {
            if (!StopStreaming(live->get())) {
                entered = false;
                readFailed = true;
                error = "The camera stopped answering (no picture in 2 s); r reconnects.";
            } else if (!StartStreaming(live->get())) {
                error = "The camera did not start streaming again; r tries once more.";
            }
        }

        {
            std::lock_guard lock(mutex_);
            // In mode 0 the library decodes its frame buffer in place, so what it decodes again
            // after a failed read is no picture: the window keeps the last good one.
            if (!readFailed) {
                newest_.pixels = live->output();
                newest_.number = pictures;
                newest_.shows = shownNext;
                fresh_ = true;
            }
            captured_ = pictures;
            FillState(state_, *live->get());
            state_.format = format;
            state_.error = error;
        }

        // On simulated time the camera would run far ahead of the wall clock; keep to it.
        const auto ahead = (stack.Now() - paceFrom.first) - (Clock::now() - paceFrom.second);
        if (ahead > std::chrono::milliseconds(1)) {
            std::unique_lock lock(mutex_);
            wake_.wait_for(lock, std::min<Clock::duration>(ahead, std::chrono::seconds(1)),
                           [&] { return requests_.quit; });
        }
    }

    live.reset();
    // Also when the camera did not come up again: on a failed channel it closes the frame-read
    // event, which the machine's shutdown would otherwise find open.
    Leave_USS720_W9966_SAA7111();
    std::lock_guard lock(mutex_);
    blocksLeft_ = platform::win32::LiveLocalBlocks() + platform::win32::LiveGlobalBlocks();
}

}  // namespace lorvcam
