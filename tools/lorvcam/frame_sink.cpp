#include "frame_sink.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <numeric>
#include <stdexcept>
#include <vector>

#include "i420.h"
#include "png_file.h"
#include "standard_output.h"

namespace lorvcam {

namespace {

std::string Counted(int count, const std::string& noun)
{
    return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

class PngSink final : public FrameSink {
public:
    explicit PngSink(std::filesystem::path directory) : directory_(std::move(directory))
    {
        std::error_code error;
        std::filesystem::create_directories(directory_, error);
        if (error)
            throw std::runtime_error("cannot create the folder " + directory_.string() + ": " + error.message() + ".");
    }

    void Write(const RgbImage& image, std::chrono::microseconds) override
    {
        char name[32];
        std::snprintf(name, sizeof name, "frame-%04d.png", ++count_);
        WritePng(directory_ / name, image);
    }

    std::string Destination() const override
    {
        return Counted(count_, "PNG file") + " in " + directory_.string();
    }

private:
    std::filesystem::path directory_;
    int count_ = 0;
};

// A stream to a file or to standard output, checked at every write.
class Stream {
public:
    explicit Stream(const std::string& path) : name_(path == "-" ? "standard output" : path)
    {
        file_ = path == "-" ? TakeStandardOutput() : std::fopen(path.c_str(), "wb");
        if (!file_)
            throw std::runtime_error("cannot create " + path + ": " + std::strerror(errno) + ".");
    }
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;
    ~Stream() { std::fclose(file_); }

    void Put(const void* data, std::size_t size)
    {
        if (std::fwrite(data, 1, size, file_) != size || std::fflush(file_) != 0)
            throw std::runtime_error("cannot write to " + name_ + ": " + std::strerror(errno) + ".");
    }
    const std::string& name() const { return name_; }

private:
    std::string name_;
    std::FILE* file_ = nullptr;
};

class RawSink final : public FrameSink {
public:
    explicit RawSink(const std::string& path) : stream_(path) {}

    void Write(const RgbImage& image, std::chrono::microseconds) override
    {
        if (count_ == 0)
            width_ = image.width, height_ = image.height;
        else if (image.width != width_ || image.height != height_)
            throw std::runtime_error("a raw stream cannot change its picture size.");
        stream_.Put(image.pixels.data(), image.pixels.size());
        ++count_;
    }

    std::string Destination() const override
    {
        const std::string size = std::to_string(width_) + "x" + std::to_string(height_);
        return Counted(count_, "raw RGB frame") + " of " + size + " to " + stream_.name() +
               " (ffplay -f rawvideo -pixel_format rgb24 -video_size " + size + " -)";
    }

private:
    Stream stream_;
    int count_ = 0, width_ = 0, height_ = 0;
};

// A Y4M header rate as a fraction, from a period rounded to 100 microseconds.
std::string RateFromPeriod(std::chrono::microseconds period)
{
    const long tenths = std::max<long>(1, (period.count() + 50) / 100);  // in units of 100 us
    const long divisor = std::gcd(10000L, tenths);
    return std::to_string(10000 / divisor) + ":" + std::to_string(tenths / divisor);
}

class Y4mSink final : public FrameSink {
    // Refused before the stream is created, so that no empty file is left behind.
    static const std::string& Checked(const std::string& path)
    {
        if (!CanConvertToI420())
            throw std::runtime_error("this build cannot write Y4M (it has no YUV converter); write --format raw "
                                     "and convert it with ffmpeg.");
        return path;
    }

public:
    Y4mSink(const std::string& path, std::optional<int> framesPerSecond) : stream_(Checked(path))
    {
        if (framesPerSecond)
            rate_ = std::to_string(*framesPerSecond) + ":1";
    }

    void Write(const RgbImage& image, std::chrono::microseconds capturedAt) override
    {
        if (count_ + held_.size() == 0)
            width_ = image.width, height_ = image.height;
        else if (image.width != width_ || image.height != height_)
            throw std::runtime_error("a Y4M stream cannot change its picture size.");
        if (!rate_.empty()) {
            Put(image);
            return;
        }
        held_.push_back({image, capturedAt});
        if (held_.size() == kRateFrames)
            Finish();
    }

    void Finish() override
    {
        if (rate_.empty())
            rate_ = MeasuredRate();
        for (const auto& frame : held_)
            Put(frame.image);
        held_.clear();
    }

    std::string Destination() const override
    {
        return Counted(count_, "Y4M frame") + " of " + std::to_string(width_) + "x" + std::to_string(height_) +
               " at " + rate_ + " frames per second to " + stream_.name();
    }

private:
    struct HeldFrame {
        RgbImage image;
        std::chrono::microseconds capturedAt;
    };
    static constexpr std::size_t kRateFrames = 6;

    std::string MeasuredRate() const
    {
        if (held_.size() < 2)
            return "25:1";  // a single picture has no rate; players want one all the same
        const auto span = held_.back().capturedAt - held_.front().capturedAt;
        return RateFromPeriod(span / static_cast<long>(held_.size() - 1));
    }

    void Put(const RgbImage& image)
    {
        if (count_ == 0) {
            const std::string header = "YUV4MPEG2 W" + std::to_string(width_) + " H" + std::to_string(height_) +
                                       " F" + rate_ + " Ip A1:1 C420jpeg XCOLORRANGE=LIMITED\n";
            stream_.Put(header.data(), header.size());
        }
        const int chromaWidth = (width_ + 1) / 2, chromaHeight = (height_ + 1) / 2;
        const std::size_t lumaBytes = static_cast<std::size_t>(width_) * height_;
        const std::size_t chromaBytes = static_cast<std::size_t>(chromaWidth) * chromaHeight;
        planes_.resize(lumaBytes + 2 * chromaBytes);
        ConvertToI420(image, planes_.data(), planes_.data() + lumaBytes, planes_.data() + lumaBytes + chromaBytes);
        static constexpr char kFrame[] = "FRAME\n";
        stream_.Put(kFrame, sizeof kFrame - 1);
        stream_.Put(planes_.data(), planes_.size());
        ++count_;
    }

    Stream stream_;
    std::string rate_;  // "num:den"; empty until known
    int count_ = 0, width_ = 0, height_ = 0;
    std::vector<HeldFrame> held_;
    std::vector<std::uint8_t> planes_;
};

}  // namespace

std::unique_ptr<FrameSink> MakePngSink(const std::filesystem::path& directory)
{
    return std::make_unique<PngSink>(directory);
}

std::unique_ptr<FrameSink> MakeRawSink(const std::string& path) { return std::make_unique<RawSink>(path); }

std::unique_ptr<FrameSink> MakeY4mSink(const std::string& path, std::optional<int> framesPerSecond)
{
    return std::make_unique<Y4mSink>(path, framesPerSecond);
}

}  // namespace lorvcam
