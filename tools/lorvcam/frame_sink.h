// Where captured pictures go: numbered PNG files, or one raw RGB or Y4M stream that
// ffmpeg and ffplay read from a pipe.
#pragma once

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "image.h"

namespace lorvcam {

enum class OutputFormat { Png, Raw, Y4m };

class FrameSink {
public:
    virtual ~FrameSink() = default;
    // `capturedAt` is the platform clock when the picture arrived. Throws std::runtime_error
    // with a sentence when the picture cannot be written.
    virtual void Write(const RgbImage& image, std::chrono::microseconds capturedAt) = 0;
    // Writes whatever the sink still holds back; call once after the last picture.
    virtual void Finish() {}
    // Where the pictures went, for the closing message.
    virtual std::string Destination() const = 0;
};

// PNG files `directory`/frame-0001.png, frame-0002.png, ...; creates the directory.
std::unique_ptr<FrameSink> MakePngSink(const std::filesystem::path& directory);
// Packed RGB frames, top-down, back to back; "-" is standard output.
std::unique_ptr<FrameSink> MakeRawSink(const std::string& path);
// A YUV4MPEG2 stream (4:2:0, BT.601 limited range); "-" is standard output. The header's frame
// rate is `framesPerSecond` when given, else the camera's own, measured from the spacing of the
// first pictures (which are held back until it is known).
std::unique_ptr<FrameSink> MakeY4mSink(const std::string& path, std::optional<int> framesPerSecond);

}  // namespace lorvcam
