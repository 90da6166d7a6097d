// The camera side of `lorvcam view`: one thread makes every call into the library, from
// bring-up to shutdown, and trades requests and pictures with the window under a lock. The
// window never waits on the camera: a stalled frame read holds this thread only, for as long
// as the library's own bound.
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "options.h"

namespace lorvcam {

// The decoder settings the window changes, by decoderTable index.
enum class PictureControl { Brightness, Contrast, Saturation, Hue };
inline constexpr std::array<int, 4> kPictureIndexes = {12, 13, 14, 15};
inline constexpr std::array<const char*, 4> kPictureNames = {"brightness", "contrast", "saturation", "hue"};

struct ViewFormat {
    int width = 320;
    int height = 240;
    int mode = 0;
    int bits = 24;
    bool doubleSize = false;

    int ShownWidth() const { return doubleSize ? 2 * width : width; }
    int ShownHeight() const { return doubleSize ? 2 * height : height; }
    bool operator==(const ViewFormat&) const = default;
};

// What the camera thread last made of the context.
struct ViewState {
    ViewFormat format;
    int zoom = 0, zoomMin = 0, zoomMax = 0;
    int sourceWidth = 460, sourceHeight = 240;
    int windowWidth = 0, windowHeight = 0;      // source pixels the picture covers
    int panLeft = 0, panTop = 0, panRight = 0, panBottom = 0;  // pan-control units
    Point panCenter;
    std::array<int, 4> picture{};               // decoder values, as set
    int libraryFps = 0, libraryHundredths = 0;  // 0, 0 until the library has measured
    std::string error;                          // one line; empty while all is well
};

// The newest picture in the library's layout, with the state it shows.
struct ViewPicture {
    std::vector<std::uint8_t> pixels;
    std::uint64_t number = 0;  // pictures since the window opened, from 1
    ViewState shows;
};

// What the window asks for; the camera thread takes it before its next picture.
struct ViewRequests {
    int zoomSteps = 0;
    std::optional<Point> panCenter;
    std::optional<ViewFormat> format;
    std::array<std::optional<int>, 4> picture;
    bool reconnect = false;
    bool quit = false;
};

class ViewCamera {
public:
    // Starts the thread; `panControl` is the overview map's size in pixels.
    ViewCamera(const Command& command, Point panControl);
    ~ViewCamera();  // Close()
    ViewCamera(const ViewCamera&) = delete;
    ViewCamera& operator=(const ViewCamera&) = delete;

    template <typename Change>
    void Ask(Change change)
    {
        {
            std::lock_guard lock(mutex_);
            change(requests_);
        }
        wake_.notify_all();
    }
    ViewState State() const;
    // Swaps the newest picture into `into` when there is one the window has not had yet.
    bool TakePicture(ViewPicture& into);
    // The thread has ended: the camera did not come up, or the window asked it to quit.
    bool Ended() const;
    std::string FatalError() const;
    std::uint64_t PicturesCaptured() const;
    // Asks the thread to quit and joins it: the library's bounded waits bound this too. The
    // camera is stopped, left and unplugged afterwards.
    void Close();
    // LocalAlloc and GlobalAlloc blocks still live when the camera had been left (after Close).
    std::size_t BlocksLeft() const;

private:
    void Run();
    void Loop(class CameraBackend& stack);

    const Command command_;
    const Point panControl_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    ViewRequests requests_;
    ViewState state_;
    ViewPicture newest_;
    bool fresh_ = false;
    bool ended_ = false;
    std::string fatal_;
    std::uint64_t captured_ = 0;
    std::size_t blocksLeft_ = 0;
    std::thread thread_;
};

}  // namespace lorvcam
