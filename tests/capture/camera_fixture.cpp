#include "camera_fixture.h"

#include <cmath>

#include <ntstatus.h>

#include "bridge/device_channel.h"
#include "debug_log.h"
#include "engine/capture_context.h"

extern "C" NTSTATUS DriverEntry(_DRIVER_OBJECT* driver, _UNICODE_STRING* registryPath);

void CameraFixture::SetUp()
{
    ResetLibraryState();
    machine_ = std::make_unique<platform::Machine>();
    ASSERT_EQ(machine_->LoadDriver(L"lorvusb", DriverEntry), STATUS_SUCCESS);
    camera_ = std::make_unique<simulator::Camera>(machine_->clock(), CameraSettings());
    if (PlugCamera()) {
        deviceId_ = machine_->Plug(camera_->usbDevice());
        ASSERT_EQ(machine_->StartStatus(deviceId_), STATUS_SUCCESS);
    }
}

// The driver waits at removal until every handle is closed, so the library's are closed
// first; the ones it keeps for the process belong to this machine only.
void CameraFixture::TearDown()
{
    for (auto& output : outputs_) {
        auto* context = const_cast<CaptureContext*>(output->context);
        if (context != nullptr)
            FreeCaptureContext(context);
    }
    outputs_.clear();
    if (deviceChannel.handle != nullptr)
        CloseHandle(deviceChannel.handle);
    if (frameReadEvent != nullptr)
        CloseHandle(frameReadEvent);
    if (deviceChannel.ioEvent != nullptr)
        CloseHandle(deviceChannel.ioEvent);
    ResetLibraryState();
    if (machine_)
        machine_->Shutdown();
    camera_.reset();
    machine_.reset();
}

std::string CameraFixture::UserLog() const
{
    return machine_->log().Text(platform::kernel::DebugLog::Source::User);
}

CaptureContext* CameraFixture::StartContext(int width, int height, int mode, int bitsPerPixel)
{
    CaptureContext* context = AllocCaptureContext(width, height, mode);
    EXPECT_NE(context, nullptr);
    if (context == nullptr)
        return nullptr;
    auto output = std::make_unique<Output>();
    output->context = context;
    output->pixels.assign(static_cast<size_t>((width * 3 + 3) / 4 * 4) * height * 4, 0);
    context->outputImage = output->pixels.data();
    context->outputBitsPerPixel = bitsPerPixel;
    context->doubleSize = 0;
    outputs_.push_back(std::move(output));
    EXPECT_EQ(StartCapture(context), 1) << width << " x " << height << " mode " << mode;
    return context->capturing ? context : nullptr;
}

void CameraFixture::StopContext(CaptureContext* context)
{
    StopCapture(context);
    for (auto it = outputs_.begin(); it != outputs_.end(); ++it) {
        if ((*it)->context == context) {
            outputs_.erase(it);
            break;
        }
    }
    FreeCaptureContext(context);
}

std::vector<std::uint8_t>& CameraFixture::OutputOf(const CaptureContext* context)
{
    for (auto& output : outputs_) {
        if (output->context == context)
            return output->pixels;
    }
    ADD_FAILURE() << "no output image for this context";
    static std::vector<std::uint8_t> none;
    return none;
}

std::vector<simulator::LineEvent> CameraFixture::TraceOf(simulator::LineEvent::Kind kind) const
{
    std::vector<simulator::LineEvent> events;
    for (const auto& event : camera_->probe().lineTrace()) {
        if (event.kind == kind)
            events.push_back(event);
    }
    return events;
}

simulator::RgbImage SmoothScene()
{
    simulator::RgbImage image;
    image.width = simulator::kFieldWidth;
    image.height = simulator::kFieldHeight;
    image.pixels.resize(static_cast<size_t>(image.width) * image.height * 3);
    for (int y = 0; y < image.height; ++y) {
        for (int x = 0; x < image.width; ++x) {
            double u = x / double(image.width), v = y / double(image.height);
            double disc = std::exp(-(std::pow(u - 0.45, 2) + std::pow(v - 0.5, 2)) * 18.0);
            auto* p = &image.pixels[(static_cast<size_t>(y) * image.width + x) * 3];
            p[0] = static_cast<std::uint8_t>(40 + 150 * u + 60 * disc);
            p[1] = static_cast<std::uint8_t>(50 + 120 * v + 50 * disc);
            p[2] = static_cast<std::uint8_t>(200 - 140 * u * v);
        }
    }
    return image;
}
