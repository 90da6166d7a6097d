// lorvcam's command line: what to boot, what to capture, where to write it.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "frame_sink.h"

namespace lorvcam {

// Read by the platform's camera backend, which offers only the options that apply to it.
struct PlatformOptions {
    std::filesystem::path scene;  // empty: the camera's built-in test pattern
    bool realtime = false;        // pace the simulated camera on the wall clock
    bool showLog = false;         // echo the driver's and the library's debug output to stderr
    std::string device = "sim";   // Linux: "sim", "usb", "usb:BUS:ADDR" or "usb:VID:PID"
    int stallAfter = 0;           // > 0: the simulated camera stops answering after this many pictures
};

struct Point {
    int x = 0;
    int y = 0;
};

struct DecoderSetting {
    int index = 0;  // 0 to 17
    int value = 0;  // 0 to 255
};

struct CaptureOptions {
    int frames = 10;
    int width = 320;
    int height = 240;
    int mode = 0;
    int bitsPerPixel = 24;
    bool doubleSize = false;
    std::optional<int> zoom;
    std::optional<Point> cropCenter;
    std::optional<Point> panCenter;
    Point panControl{460, 240};  // by default pan units are source pixels
    std::vector<DecoderSetting> decoderSettings;
    OutputFormat format = OutputFormat::Png;
    std::string output;  // PNG: a folder; raw, Y4M: a file or "-" for standard output
    std::optional<int> y4mRate;  // empty: the camera's own, measured
    bool progress = true;

    int OutputWidth() const { return doubleSize ? 2 * width : width; }
    int OutputHeight() const { return doubleSize ? 2 * height : height; }
};

// `lorvcam view`: the live window. Size, mode, depth, zoom, crop and decoder settings come from
// CaptureOptions.
struct ViewOptions {
    std::filesystem::path snapshots = ".";  // where `s` saves pictures
    bool trace = false;                      // one stderr line per picture shown, with the settings in it
};

enum class CommandKind { Capture, Info, View, List };

struct Command {
    CommandKind kind = CommandKind::Capture;
    PlatformOptions platform;
    CaptureOptions capture;
    ViewOptions view;
};

// Parses the command line. Returns the command, or the exit status when there is nothing to
// run: 0 after --help, 2 after a usage error (already explained on stderr).
std::variant<Command, int> ParseCommandLine(int argc, const char* const* argv);

// The small value parsers behind the options; std::nullopt when the text is malformed.
std::optional<std::pair<int, int>> ParseSize(const std::string& text);    // "320x240"
std::optional<Point> ParsePoint(const std::string& text);                 // "230,120"
std::optional<DecoderSetting> ParseDecoderSetting(const std::string& text);  // "12=0x40"

}  // namespace lorvcam
