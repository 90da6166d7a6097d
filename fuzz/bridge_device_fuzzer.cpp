// A malicious bridge: descriptors, register replies, device ID and bulk data all come from the
// input, as does whether each request is answered, stalled, put off or dropped. Whatever it
// says, the driver's start and an application's bring-up, capture and clean exit must end,
// leave nothing open or allocated, and let the device be removed.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "capture_api.h"
#include "descriptors.h"  // simulator
#include "fuzz_machine.h"

namespace {

using platform::Clock;
using platform::usb::Reply;
using platform::usb::SetupPacket;
using platform::usb::TransferReply;

constexpr std::uint8_t kGetDescriptor = 6;
constexpr int kLargestSide = 160;

// Answers from the input; once it runs dry the device is gone, so every input ends.
class FuzzBridge : public platform::usb::UsbDevice {
public:
    FuzzBridge(Clock& clock, std::vector<std::uint8_t> input) : clock_(clock), input_(std::move(input)), in_(input_.data(), input_.size())
    {
        device_ = simulator::DeviceDescriptor();
        configuration_ = simulator::ConfigurationDescriptor(simulator::DescriptorFault::None);
        Garble(device_);
        Garble(configuration_);
    }

    TransferReply Control(const SetupPacket& setup, std::span<std::uint8_t> data) override
    {
        std::lock_guard lock(mutex_);
        const Reply reply = NextReply();
        if (reply != Reply::Ack)
            return {reply};
        if ((setup.bmRequestType & 0x80) == 0)
            return {Reply::Ack, data.size()};
        if (setup.bRequest == kGetDescriptor && in_.ConsumeBool()) {
            const auto& table = (setup.wValue >> 8) == 1 ? device_ : configuration_;
            const std::size_t bytes = std::min(table.size(), data.size());
            std::memcpy(data.data(), table.data(), bytes);
            return {Reply::Ack, bytes};
        }
        return {Reply::Ack, Fill(data)};
    }

    TransferReply Out(std::uint8_t, std::span<const std::uint8_t> packet) override
    {
        std::lock_guard lock(mutex_);
        const Reply reply = NextReply();
        return {reply, reply == Reply::Ack ? packet.size() : 0};
    }

    TransferReply In(std::uint8_t, std::span<std::uint8_t> packet) override
    {
        std::lock_guard lock(mutex_);
        const Reply reply = NextReply();
        return {reply, reply == Reply::Ack ? Fill(packet) : 0};
    }

    std::optional<Clock::TimePoint> NextChance(std::uint8_t) override
    {
        std::lock_guard lock(mutex_);
        return clock_.Now() + std::chrono::milliseconds(in_.ConsumeIntegralInRange<int>(1, 40));
    }

    void Reset() override {}

private:
    // Mostly a well-formed table with a few bytes changed.
    void Garble(std::vector<std::uint8_t>& table)
    {
        for (int n = in_.ConsumeIntegralInRange<int>(0, 3); n > 0 && !table.empty(); --n)
            table[in_.ConsumeIntegralInRange<std::size_t>(0, table.size() - 1)] = in_.ConsumeIntegral<std::uint8_t>();
        if (in_.ConsumeIntegralInRange<int>(0, 15) == 0)
            table.resize(in_.ConsumeIntegralInRange<std::size_t>(0, table.size() + 8));
    }

    Reply NextReply()
    {
        if (in_.remaining_bytes() == 0)
            return Reply::Gone;
        switch (in_.ConsumeIntegralInRange<int>(0, 15)) {
        case 0: return Reply::Stall;
        case 1: return Reply::NotYet;
        case 2: return Reply::Gone;
        default: return Reply::Ack;
        }
    }

    std::size_t Fill(std::span<std::uint8_t> data)
    {
        const std::size_t bytes = in_.ConsumeIntegralInRange<std::size_t>(0, data.size());
        std::vector<std::uint8_t> chosen = in_.ConsumeBytes<std::uint8_t>(bytes);
        std::copy(chosen.begin(), chosen.end(), data.begin());
        return chosen.size();
    }

    Clock& clock_;
    std::mutex mutex_;
    std::vector<std::uint8_t> input_;
    FuzzedDataProvider in_;
    std::vector<std::uint8_t> device_;
    std::vector<std::uint8_t> configuration_;
};

// What an application does with a camera: bring-up, a few frames, and a clean exit whatever
// failed on the way.
void Capture(int width, int height, int mode, int frames)
{
    if (!Enter_USS720_W9966_SAA7111())
        return;
    CaptureContext* context = AllocCaptureContext(width, height, mode);
    std::vector<BYTE> image(static_cast<size_t>((width * 3 + 3) / 4 * 4) * height);
    context->outputImage = image.data();
    context->outputBitsPerPixel = 24;
    if (StartCapture(context) && StartStreaming(context)) {
        for (int n = 0; n < frames; ++n)
            CaptureFrame(context);
        StopStreaming(context);
    }
    StopCapture(context);
    FreeCaptureContext(context);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size)
{
    FuzzedDataProvider in(data, size);
    const int width = 8 * in.ConsumeIntegralInRange<int>(1, kLargestSide / 8);
    const int height = 4 * in.ConsumeIntegralInRange<int>(1, kLargestSide / 4);
    const int mode = in.ConsumeIntegralInRange<int>(0, 4);
    const int frames = in.ConsumeIntegralInRange<int>(0, 3);
    std::vector<std::uint8_t> device = in.ConsumeRemainingBytes<std::uint8_t>();
    fuzz::FuzzMachine machine([&](Clock& clock) { return std::make_shared<FuzzBridge>(clock, std::move(device)); });
    if (machine.started()) {
        Capture(width, height, mode, frames);
        Leave_USS720_W9966_SAA7111();
    }
    machine.Finish();
    return 0;
}
