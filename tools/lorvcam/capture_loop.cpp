#include "capture_loop.h"

#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "capture_api.h"
#include "image.h"

namespace lorvcam {

namespace {

// Stops and frees the context on every way out, in the order the library asks for.
class ContextGuard {
public:
    explicit ContextGuard(CaptureContext* context) : context_(context) {}
    ContextGuard(const ContextGuard&) = delete;
    ContextGuard& operator=(const ContextGuard&) = delete;
    ~ContextGuard()
    {
        if (streaming)
            StopStreaming(context_);
        if (capturing)
            StopCapture(context_);
        FreeCaptureContext(context_);
    }

    bool capturing = false;
    bool streaming = false;

private:
    CaptureContext* context_;
};

std::string Describe(const CaptureOptions& options)
{
    return std::to_string(options.width) + "x" + std::to_string(options.height) + " in mode " +
           std::to_string(options.mode);
}

// Progress at most once a wall-clock second, so that fast simulated runs stay quiet.
class Progress {
public:
    Progress(std::ostream& out, bool enabled, int total) : out_(out), enabled_(enabled), total_(total) {}
    ~Progress()
    {
        if (shown_)
            out_ << "\n" << std::flush;
    }
    void Frame(int done)
    {
        const auto now = std::chrono::steady_clock::now();
        if (!enabled_ || now - last_ < std::chrono::seconds(1))
            return;
        last_ = now;
        shown_ = true;
        out_ << "\rlorvcam: frame " << done << " of " << total_ << std::flush;
    }

private:
    std::ostream& out_;
    bool enabled_;
    int total_;
    bool shown_ = false;
    std::chrono::steady_clock::time_point last_ = std::chrono::steady_clock::now();
};

}  // namespace

void ApplyDecoderSettings(const CaptureOptions& options)
{
    for (const auto& setting : options.decoderSettings)
        SetSAA7111Reg(setting.index, setting.value);
}

CaptureReport RunCapture(const CaptureOptions& options, FrameSink& sink, CameraBackend& backend,
                         std::ostream& progressOut)
{
    const auto now = [&] { return backend.Now(); };
    CaptureContext* context = AllocCaptureContext(options.width, options.height, options.mode);
    if (!context)
        throw std::runtime_error("the library could not allocate a capture context.");
    ContextGuard guard(context);

    const int outputWidth = options.OutputWidth(), outputHeight = options.OutputHeight();
    std::vector<std::uint8_t> output(LibraryImageBytes(outputWidth, outputHeight, options.bitsPerPixel));
    context->outputImage = output.data();
    context->outputBitsPerPixel = options.bitsPerPixel;
    context->doubleSize = options.doubleSize ? 1 : 0;

    if (!StartCapture(context))
        throw std::runtime_error("the library refused to capture at " + Describe(options) + " (StartCapture failed).");
    guard.capturing = true;
    SetPanCtrlSize(context, options.panControl.x, options.panControl.y);
    // StartCapture places the window in the middle; the zoom setter places it again around the
    // crop centre, so the centre goes in between.
    if (options.cropCenter)
        SetCropCenter(context, options.cropCenter->x, options.cropCenter->y);
    if (options.zoom || options.cropCenter)
        SetZoomFactor(context, options.zoom ? *options.zoom : context->zoomFactor);
    if (options.panCenter)
        SetPanAreaCenter(context, options.panCenter->x, options.panCenter->y);

    const auto start = now();
    if (!StartStreaming(context))
        throw std::runtime_error("the camera did not start streaming (StartStreaming failed).");
    guard.streaming = true;

    CaptureReport report;
    {
        Progress progress(progressOut, options.progress, options.frames);
        for (int i = 0; i < options.frames; ++i) {
            // Past an unplug every CaptureFrame would only repeat the last picture.
            if (backend.CameraGone()) {
                report.cameraGone = true;
                break;
            }
            CaptureFrame(context);
            backend.PictureTaken(i + 1);
            // CaptureFrame always returns 1. With no read pending after it, the stream was either
            // resynchronised or given up after a read timed out; stopping streaming tells which.
            // A given-up read leaves the last frame decoded again, which is no picture in mode 0.
            if (!context->readPending) {
                guard.streaming = false;
                if (!StopStreaming(context) || !StartStreaming(context)) {
                    report.cameraGone = backend.CameraGone();
                    report.streamFailed = true;
                    break;
                }
                guard.streaming = true;
            }
            sink.Write(FromLibraryImage(output, outputWidth, outputHeight, options.bitsPerPixel), now());
            report.frames = i + 1;
            progress.Frame(report.frames);
        }
    }
    report.platformTime = now() - start;
    sink.Finish();
    report.libraryFramesPerSecond = context->framesPerSecond;
    report.libraryHundredths = context->framesPerSecondHundredths;
    report.libraryRateMeasured = context->framesPerSecond != 0 || context->framesPerSecondHundredths != 0;

    if (report.streamFailed)
        return report;
    guard.streaming = false;
    report.streamFailed = !StopStreaming(context);
    if (!report.streamFailed) {
        guard.capturing = false;
        if (!StopCapture(context))
            report.streamFailed = true;
    }
    return report;
}

}  // namespace lorvcam
