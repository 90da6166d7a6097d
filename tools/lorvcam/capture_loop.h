// The main job: one capture context through its whole life, every picture to a sink.
#pragma once

#include <chrono>
#include <iosfwd>

#include "camera_backend.h"
#include "frame_sink.h"
#include "options.h"

namespace lorvcam {

struct CaptureReport {
    int frames = 0;
    std::chrono::microseconds platformTime{0};  // StartStreaming to the last picture, platform clock
    int libraryFramesPerSecond = 0;             // the record's own measurement over 100 frames
    int libraryHundredths = 0;
    bool libraryRateMeasured = false;
    bool streamFailed = false;  // the library gave up on the camera: the run stopped there
    bool cameraGone = false;    // the camera was unplugged: the run stopped there
};

// Hands the decoder settings to the library; call before bring-up so that it sends them.
void ApplyDecoderSettings(const CaptureOptions& options);

// Runs a capture on the backend's camera, which is already up; progress lines go to `progress`
// when the options ask for them. Throws std::runtime_error with a sentence when the library
// refuses a step or a picture cannot be written; the context is stopped and freed either way.
// Only good pictures reach the sink: the run ends at an unplug or at a read the library gave up.
CaptureReport RunCapture(const CaptureOptions& options, FrameSink& sink, CameraBackend& backend,
                         std::ostream& progress);

}  // namespace lorvcam
