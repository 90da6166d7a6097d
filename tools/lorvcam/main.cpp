// lorvcam: reaches the camera through this platform's backend, brings it up through the
// capture library and runs one command.
#include <exception>
#include <iostream>
#include <memory>

#include "camera_backend.h"
#include "capture_loop.h"
#include "info.h"
#include "options.h"
#include "view.h"

namespace {

using namespace lorvcam;

std::unique_ptr<FrameSink> MakeSink(const CaptureOptions& options)
{
    switch (options.format) {
    case OutputFormat::Raw: return MakeRawSink(options.output);
    case OutputFormat::Y4m: return MakeY4mSink(options.output, options.y4mRate);
    case OutputFormat::Png: break;
    }
    return MakePngSink(options.output);
}

void PrintReport(const CaptureReport& report, const FrameSink& sink)
{
    std::cerr << "lorvcam: wrote " << sink.Destination() << "\n";
    const double seconds = report.platformTime.count() / 1e6;
    std::cerr << "lorvcam: " << report.frames << " frames in " << seconds << " s of platform time";
    if (seconds > 0)
        std::cerr << ", " << report.frames / seconds << " frames per second";
    std::cerr << "\n";
    if (report.libraryRateMeasured)
        std::cerr << "lorvcam: the library measured " << report.libraryFramesPerSecond << "."
                  << (report.libraryHundredths < 10 ? "0" : "") << report.libraryHundredths
                  << " frames per second over its last 100 frames\n";
    else
        std::cerr << "lorvcam: the library measures its frame rate from the 101st frame on\n";
}

int RunCaptureCommand(const Command& command)
{
    auto sink = MakeSink(command.capture);
    CameraBackend backend(command.platform);
    ApplyDecoderSettings(command.capture);
    CaptureReport report;
    {
        CameraSession session(backend);
        report = RunCapture(command.capture, *sink, backend, std::cerr);
    }
    PrintReport(report, *sink);
    if (report.cameraGone) {
        std::cerr << "lorvcam: the camera's bridge was unplugged during the capture; " << report.frames
                  << " frames were taken before.\n";
        return 1;
    }
    if (report.streamFailed) {
        std::cerr << "lorvcam: the camera stopped answering during the capture; " << report.frames
                  << " frames were taken before.\n";
        return 1;
    }
    return 0;
}

int RunInfoCommand(const Command& command)
{
    CameraBackend backend(command.platform);
    CameraSession session(backend);
    PrintInfo(std::cout, ReadDeviceId(), backend.DriverLog());
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    const auto parsed = ParseCommandLine(argc, argv);
    if (const int* status = std::get_if<int>(&parsed))
        return *status;
    const Command& command = std::get<Command>(parsed);
    try {
        switch (command.kind) {
        case CommandKind::Info: return RunInfoCommand(command);
        case CommandKind::View: return RunView(command);
        case CommandKind::List: return ListCameras(std::cout);
        case CommandKind::Capture: break;
        }
        return RunCaptureCommand(command);
    } catch (const std::exception& error) {
        std::cerr << "lorvcam: " << error.what() << "\n";
        return 1;
    }
}
