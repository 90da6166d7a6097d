#include "options.h"

#include <CLI/CLI.hpp>

#include "camera_backend.h"

#include <charconv>
#include <iostream>

namespace lorvcam {

namespace {

// A whole decimal or 0x-prefixed hexadecimal integer, optionally negative.
std::optional<int> ParseInt(std::string_view text)
{
    bool negative = !text.empty() && text.front() == '-';
    if (negative)
        text.remove_prefix(1);
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size())
        return std::nullopt;
    return negative ? -value : value;
}

std::optional<std::pair<int, int>> ParsePair(const std::string& text, char separator)
{
    const auto at = text.find(separator);
    if (at == std::string::npos)
        return std::nullopt;
    const auto first = ParseInt(std::string_view(text).substr(0, at));
    const auto second = ParseInt(std::string_view(text).substr(at + 1));
    if (!first || !second)
        return std::nullopt;
    return std::pair{*first, *second};
}

struct UsageError {
    std::string message;
};

// The raw texts of the options that need more than CLI11's own conversions.
struct CaptureTexts {
    std::string size, crop, pan, panControl, format = "png";
    std::vector<std::string> decoder;
    bool quiet = false;
};

void AddCaptureOptions(CLI::App& command, CaptureOptions& options, CaptureTexts& texts)
{
    command.add_option("-n,--frames", options.frames, "Number of pictures to capture (default 10)")
        ->check(CLI::Range(1, 1000000));
    command.add_option("-s,--size", texts.size, "Output size WIDTHxHEIGHT (default 320x240)");
    command.add_option("-m,--mode", options.mode, "Capture mode 0 to 4 (default 0)")->check(CLI::Range(0, 4));
    command.add_option("-b,--bits", options.bitsPerPixel, "Output bits per pixel, 16 or 24 (default 24)")
        ->check(CLI::IsMember({16, 24}));
    command.add_flag("--double-size", options.doubleSize, "Write every pixel as a 2x2 block");
    command.add_option("--zoom", options.zoom, "Zoom factor in 64ths (the library clamps it to its range)");
    command.add_option("--crop", texts.crop, "Crop centre X,Y in source pixels (460x240)");
    command.add_option("--pan", texts.pan, "Pan area centre X,Y in pan-control units");
    command.add_option("--pan-control", texts.panControl, "Pan control size WIDTHxHEIGHT (default 460x240)");
    command.add_option("--decoder", texts.decoder, "Video decoder setting INDEX=VALUE (index 0-17), repeatable");
    command.add_option("-f,--format", texts.format, "png (default), raw or y4m")
        ->check(CLI::IsMember({"png", "raw", "y4m"}));
    command.add_option("-o,--output", options.output,
                       "PNG: folder (default lorvcam-frames); raw, y4m: file or - for stdout (default -)");
    command.add_option("--y4m-rate", options.y4mRate, "Frame rate written in the Y4M header (default: the camera's, measured)")
        ->check(CLI::Range(1, 1000));
    command.add_flag("-q,--quiet", texts.quiet, "No progress on stderr");
}

void AddViewOptions(CLI::App& command, CaptureOptions& options, ViewOptions& view, CaptureTexts& texts)
{
    command.add_option("-s,--size", texts.size, "Picture size WIDTHxHEIGHT (default 320x240)");
    command.add_option("-m,--mode", options.mode, "Capture mode 0 to 4 (default 0)")->check(CLI::Range(0, 4));
    command.add_option("-b,--bits", options.bitsPerPixel, "Picture bits per pixel, 16 or 24 (default 24)")
        ->check(CLI::IsMember({16, 24}));
    command.add_flag("--double-size", options.doubleSize, "Show every pixel as a 2x2 block");
    command.add_option("--zoom", options.zoom, "Zoom factor in 64ths to start with");
    command.add_option("--crop", texts.crop, "Crop centre X,Y in source pixels (460x240) to start with");
    command.add_option("--decoder", texts.decoder, "Video decoder setting INDEX=VALUE (index 0-17), repeatable");
    command.add_option("--snapshots", view.snapshots, "Folder for the pictures that the s key saves (default .)");
    command.add_flag("--trace", view.trace, "One line on stderr per picture shown, with the settings it shows");
}

// Turns the texts into values with the library's limits; throws UsageError.
void FinishCaptureOptions(CaptureOptions& options, const CaptureTexts& texts)
{
    if (!texts.size.empty()) {
        const auto size = ParseSize(texts.size);
        if (!size)
            throw UsageError{"--size wants WIDTHxHEIGHT, such as 320x240, not '" + texts.size + "'."};
        options.width = size->first;
        options.height = size->second;
    }
    // The decoder works on pixel pairs and its stretch tables end at 640 x 480.
    if (options.width < 2 || options.width > 640 || options.width % 2 != 0)
        throw UsageError{"the output width must be an even number from 2 to 640."};
    if (options.height < 2 || options.height > 480)
        throw UsageError{"the output height must be from 2 to 480."};
    if (!texts.crop.empty() && !(options.cropCenter = ParsePoint(texts.crop)))
        throw UsageError{"--crop wants X,Y, such as 230,120, not '" + texts.crop + "'."};
    if (!texts.pan.empty() && !(options.panCenter = ParsePoint(texts.pan)))
        throw UsageError{"--pan wants X,Y, such as 50,25, not '" + texts.pan + "'."};
    if (!texts.panControl.empty()) {
        const auto size = ParseSize(texts.panControl);
        if (!size || size->first < 1 || size->second < 1)
            throw UsageError{"--pan-control wants a positive WIDTHxHEIGHT, not '" + texts.panControl + "'."};
        options.panControl = {size->first, size->second};
    }
    for (const auto& text : texts.decoder) {
        const auto setting = ParseDecoderSetting(text);
        if (!setting)
            throw UsageError{"--decoder wants INDEX=VALUE with an index from 0 to 17 and a value from 0 to 255, "
                             "not '" + text + "'."};
        options.decoderSettings.push_back(*setting);
    }
    options.format = texts.format == "raw" ? OutputFormat::Raw
                     : texts.format == "y4m" ? OutputFormat::Y4m
                                             : OutputFormat::Png;
    if (options.output.empty())
        options.output = options.format == OutputFormat::Png ? "lorvcam-frames" : "-";
    options.progress = !texts.quiet;
}

}  // namespace

std::optional<std::pair<int, int>> ParseSize(const std::string& text)
{
    auto size = ParsePair(text, 'x');
    return size ? size : ParsePair(text, 'X');
}

std::optional<Point> ParsePoint(const std::string& text)
{
    const auto pair = ParsePair(text, ',');
    if (!pair)
        return std::nullopt;
    return Point{pair->first, pair->second};
}

std::optional<DecoderSetting> ParseDecoderSetting(const std::string& text)
{
    const auto pair = ParsePair(text, '=');
    if (!pair || pair->first < 0 || pair->first > 17 || pair->second < 0 || pair->second > 255)
        return std::nullopt;
    return DecoderSetting{pair->first, pair->second};
}

std::variant<Command, int> ParseCommandLine(int argc, const char* const* argv)
{
    // Named, so that the help reads the same whatever path the program was started by.
    CLI::App app{"lorvcam: captures pictures from the camera behind the USB-to-parallel bridge.", "lorvcam"};
    app.require_subcommand(1);
    app.failure_message([](const CLI::App*, const CLI::Error& error) {
        return "lorvcam: " + std::string(error.what()) + "\nRun with --help for more information.\n";
    });
    Command command;
    CaptureTexts texts;

    CLI::App* capture = app.add_subcommand("capture", "Bring the camera up and capture pictures");
    AddPlatformOptions(*capture, command.platform);
    AddCaptureOptions(*capture, command.capture, texts);
    CLI::App* info = app.add_subcommand("info", "Bring the camera up and print what it reports");
    AddPlatformOptions(*info, command.platform);
    CLI::App* view = app.add_subcommand("view", "Show the camera live in a window, with zoom, pan and picture controls");
    AddPlatformOptions(*view, command.platform);
    AddViewOptions(*view, command.capture, command.view, texts);
    CLI::App* list = app.add_subcommand("list", "List the cameras this machine can reach");

    try {
        app.parse(argc, argv);
        command.kind = info->parsed()   ? CommandKind::Info
                       : view->parsed() ? CommandKind::View
                       : list->parsed() ? CommandKind::List
                                        : CommandKind::Capture;
        if (capture->parsed() || view->parsed())
            FinishCaptureOptions(command.capture, texts);
    } catch (const CLI::ParseError& error) {
        const int status = app.exit(error);
        return status == 0 ? 0 : 2;
    } catch (const UsageError& error) {
        std::cerr << "lorvcam: " << error.message << "\nRun with --help for more information.\n";
        return 2;
    }
    return command;
}

}  // namespace lorvcam
