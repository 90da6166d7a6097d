#include "driver_fixture.h"

#include <algorithm>

#include "debug_log.h"

namespace driver_test {

struct PendingIo::State {
    KEVENT event;
    IoResult result;
    bool done = false;
};

PendingIo::PendingIo() : state_(std::make_shared<State>()) {
    KeInitializeEvent(&state_->event, NotificationEvent, FALSE);
}

platform::kernel::IoCompletion PendingIo::Done() {
    return [state = state_](NTSTATUS status, ULONG_PTR information) {
        EXPECT_FALSE(state->done) << "completion reported twice";
        state->result.status = status;
        state->result.information = information;
        state->result.completed = true;
        state->done = true;
        KeSetEvent(&state->event, IO_NO_INCREMENT, FALSE);
    };
}

bool PendingIo::IsDone() const { return KeReadStateEvent(&state_->event) != 0; }

IoResult PendingIo::Wait(LONGLONG timeoutMs) {
    LARGE_INTEGER timeout;
    timeout.QuadPart = -timeoutMs * 10000;
    KeWaitForSingleObject(&state_->event, Executive, KernelMode, FALSE, &timeout);
    IoResult result = state_->result;
    result.returned = returned;
    return result;
}

Bytes SetupBytes(const platform::usb::SetupPacket& setup) {
    return {setup.bmRequestType,
            setup.bRequest,
            static_cast<std::uint8_t>(setup.wValue & 0xFF),
            static_cast<std::uint8_t>(setup.wValue >> 8),
            static_cast<std::uint8_t>(setup.wIndex & 0xFF),
            static_cast<std::uint8_t>(setup.wIndex >> 8),
            static_cast<std::uint8_t>(setup.wLength & 0xFF),
            static_cast<std::uint8_t>(setup.wLength >> 8)};
}

void DriverTest::SetUp() {
    machine_ = std::make_unique<platform::Machine>();
    ASSERT_EQ(kernel().LoadDriver(L"lorvusb", DriverEntry, &driverObject_), STATUS_SUCCESS);
}

void DriverTest::TearDown() {
    for (FileObject* file : openFiles_) {
        platform::kernel::CloseFile(kernel(), file);
    }
    openFiles_.clear();
    if (pdo_ != nullptr) {
        bool fAttached = Attached();
        ClearLog();
        Remove();
        if (fAttached) {
            EXPECT_TRUE(Logged("DecIrpCount 1->0\n")) << "holds did not return to zero";
            EXPECT_TRUE(Logged("leave RemoveDevice\n"));
        }
        machine_->bus().DeletePdo(pdo_);
        pdo_ = nullptr;
    }
    // The verifier fails the run if a device or any "Wdm " pool is left.
    kernel().UnloadDriver(driverObject_);
    EXPECT_EQ(verifier().OutstandingAllocations(LORV_POOL_TAG), 0u);
    machine_.reset();
}

NTSTATUS DriverTest::Plug(test_support::Descriptors descriptors) {
    device_ = std::make_shared<test_support::ScriptedUsbDevice>(machine_->clock(), std::move(descriptors));
    pdo_ = machine_->bus().Connect(device_);
    NTSTATUS status = kernel().DeviceArrived(pdo_, driverObject_);
    if (status == STATUS_SUCCESS) {
        file_ = Open();
    }
    ClearTraffic();
    ClearLog();
    return status;
}

NTSTATUS DriverTest::Connect(test_support::Descriptors descriptors) {
    device_ = std::make_shared<test_support::ScriptedUsbDevice>(machine_->clock(), std::move(descriptors));
    pdo_ = machine_->bus().Connect(device_);
    return Driver_AddDevice(driverObject_, pdo_);
}

NTSTATUS DriverTest::Start() { return kernel().SendSystemRequest(pdo_, IRP_MJ_PNP, IRP_MN_START_DEVICE); }

void DriverTest::Remove() {
    if (Attached()) {
        EXPECT_TRUE(kernel().RequestRemoval(pdo_, false).Wait());
    }
}

void DriverTest::Unplug() {
    for (FileObject* file : openFiles_) {
        platform::kernel::CloseFile(kernel(), file);
    }
    openFiles_.clear();
    file_ = nullptr;
    Remove();
    machine_->bus().DeletePdo(pdo_);
    pdo_ = nullptr;
}

bool DriverTest::Attached() { return kernel().TopOfStack(pdo_) != pdo_; }

PDEVICE_OBJECT DriverTest::DriverDevice() { return kernel().TopOfStack(pdo_); }

// The caller learns of a completion inside IofCompleteRequest, before the completion routine
// drops the request's hold and logs its last lines. Virtual time stands still while that thread
// runs, so a moment of it passes only once the routine has finished.
void DriverTest::Settle() { machine_->clock().SleepFor(std::chrono::milliseconds(1)); }

::testing::AssertionResult DriverTest::IrpCountSettlesAt(LONG expected) {
    constexpr int kMaxMilliseconds = 1000;
    LONG count = 0;
    for (int waited = 0; waited < kMaxMilliseconds; ++waited) {
        Settle();
        count = InterlockedCompareExchange(&GetDeviceExtension(DriverDevice())->IrpCount, 0, 0);
        if (count == expected) return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "the hold count stayed at " << count << ", not " << expected;
}

FileObject* DriverTest::Open() {
    FileObject* file = nullptr;
    EXPECT_EQ(platform::kernel::OpenFile(kernel(), LORV_DEVICE_PATH, &file), STATUS_SUCCESS);
    if (file != nullptr) {
        openFiles_.push_back(file);
    }
    return file;
}

void DriverTest::Close(FileObject* file) {
    openFiles_.erase(std::remove(openFiles_.begin(), openFiles_.end(), file), openFiles_.end());
    EXPECT_EQ(platform::kernel::CloseFile(kernel(), file), STATUS_SUCCESS);
}

IoResult DriverTest::Ioctl(ULONG code, const Bytes& in, ULONG outLength, Bytes* out) {
    Bytes buffer(outLength, 0xEE);
    if (out != nullptr && out->size() >= outLength) {
        std::copy_n(out->begin(), outLength, buffer.begin());
    }
    PendingIo io;
    io.returned = platform::kernel::SendDeviceControl(kernel(), file_, code, in.data(), static_cast<ULONG>(in.size()),
                                                      buffer.data(), outLength, io.Done());
    IoResult result = io.Wait();
    if (out != nullptr) {
        *out = buffer;
    }
    return result;
}

PendingIo DriverTest::StartRead(std::span<std::uint8_t> buffer) {
    PendingIo io;
    io.returned = platform::kernel::SendRead(kernel(), file_, buffer.data(), static_cast<ULONG>(buffer.size()), io.Done());
    return io;
}

IoResult DriverTest::Read(std::span<std::uint8_t> buffer) { return StartRead(buffer).Wait(); }

IoResult DriverTest::Write(std::span<const std::uint8_t> buffer) {
    PendingIo io;
    io.returned = platform::kernel::SendWrite(kernel(), file_, buffer.data(), static_cast<ULONG>(buffer.size()), io.Done());
    return io.Wait();
}

// Each line is two DbgPrint calls, the prefix and then the message, so two threads' lines may
// interleave as prefix, prefix, message, message. Every message is one whole line, so the
// messages are the text without its prefixes, cut after each line end.
std::vector<std::string> DriverTest::LogLines() {
    Settle();
    const std::string prefix = szDriverName;
    std::string text = kernel().log().Text(platform::kernel::DebugLog::Source::Kernel);
    std::size_t prefixes = 0;
    std::string messages;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t next = text.find(prefix, at);
        messages.append(text, at, next == std::string::npos ? std::string::npos : next - at);
        if (next == std::string::npos) break;
        ++prefixes;
        at = next + prefix.size();
    }
    std::vector<std::string> lines;
    for (std::size_t at = 0; at < messages.size();) {
        std::size_t end = messages.find('\n', at);
        end = end == std::string::npos ? messages.size() : end + 1;
        lines.push_back(messages.substr(at, end - at));
        at = end;
    }
    EXPECT_EQ(lines.size(), prefixes) << "a line without its prefix, or a message that is not one line";
    return lines;
}

bool DriverTest::Logged(const std::string& line) {
    std::vector<std::string> lines = LogLines();
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// A completion routine may still be logging the end of the last request: its lines belong
// before the clear, not after it.
void DriverTest::ClearLog() {
    Settle();
    kernel().log().Clear();
}

std::vector<Bytes> DriverTest::ControlTraffic() {
    std::vector<Bytes> traffic;
    for (const auto& record : device_->Records()) {
        if (record.kind == test_support::ScriptedUsbDevice::Record::Kind::Control &&
            record.reply != platform::usb::Reply::NotYet) {
            traffic.push_back(SetupBytes(record.setup));
        }
    }
    return traffic;
}

void DriverTest::ClearTraffic() { device_->ClearRecords(); }

}  // namespace driver_test
