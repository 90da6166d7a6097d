// Where captured pictures go: numbered PNG files, or one raw RGB or Y4M stream that
// ffmpeg and ffplay read from a pipe.
#pragma once

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "image.h"

namespace lorvcam {

enum class OutputFormat { Png, Raw, Y4m };

class FrameSink {
public:
    virtual ~FrameSink() = default;
    // Throws std::runtime_error with a sentence when the picture cannot be written.
    virtual void Write(const RgbImage& image) = 0;
    // Where the pictures went, for the closing message.
    virtual std::string Destination() const = 0;
};

// PNG files `directory`/frame-0001.png, frame-0002.png, ...; creates the directory.
std::unique_ptr<FrameSink> MakePngSink(const std::filesystem::path& directory);
// Packed RGB frames, top-down, back to back; "-" is standard output.
std::unique_ptr<FrameSink> MakeRawSink(const std::string& path);
// A YUV4MPEG2 stream (4:2:0, BT.601 limited range) at `framesPerSecond`; "-" is standard output.
std::unique_ptr<FrameSink> MakeY4mSink(const std::string& path, int framesPerSecond);

}  // namespace lorvcam
