// Files, overlapped I/O, events and waits of the Win32 stand-in against a real kernel with the
// small test driver: what lorvcap relies on when it talks to lorvusb.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <optional>
#include <thread>

#include "kernel.h"
#include "kernel_state.h"
#include "windows.h"
#include "message_boxes.h"
#include "app_verifier.h"
#include "session.h"
#include "test_driver.h"

namespace {

using namespace std::chrono_literals;
using win32_test::kDevicePath;

class Win32DeviceIo : public ::testing::Test {
protected:
    Win32DeviceIo() : clock_(platform::Clock::Mode::Virtual), me_(clock_), kernel_(clock_) {}

    void SetUp() override {
        ASSERT_EQ(kernel_.LoadDriver(L"w32test", win32_test::TestDriverEntry, &driver_),
                  STATUS_SUCCESS);
    }
    void TearDown() override {
        if (driver_ != nullptr) kernel_.UnloadDriver(driver_);
    }

    HANDLE Open(DWORD flags = FILE_FLAG_OVERLAPPED) {
        return CreateFileA(kDevicePath, GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, flags,
                           nullptr);
    }

    // Runs `body` with the next queued request on a thread of the clock.
    void CompleteLater(std::function<void(PIRP)> body) {
        helper_ = clock_.StartThread([this, body = std::move(body)] {
            body(win32_test::TakeQueuedIrp(clock_));
        });
    }
    void JoinHelper() {
        if (!helper_.joinable()) return;
        platform::Clock::BlockedOutside blocked(clock_);
        helper_.join();
    }

    platform::Clock clock_;
    platform::Clock::Participant me_;
    platform::kernel::Kernel kernel_;
    PDRIVER_OBJECT driver_ = nullptr;
    std::thread helper_;
};

TEST_F(Win32DeviceIo, OpeningAndClosingReachTheDriverInWindowsOrder) {
    HANDLE missing = CreateFileA("\\\\.\\NOSUCHDEV", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0,
                                 nullptr);
    EXPECT_EQ(missing, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    HANDLE device = Open();
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    EXPECT_EQ(win32_test::SeenRequests(), (std::vector<std::string>{"create"}));
    EXPECT_TRUE(CloseHandle(device));
    EXPECT_EQ(win32_test::SeenRequests(),
              (std::vector<std::string>{"create", "cleanup", "close"}));

}

TEST_F(Win32DeviceIo, AResetClosesTheFilesOfTheRunningKernel) {
    HANDLE device = Open();
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    platform::win32::ResetProcessState();
    EXPECT_EQ(win32_test::SeenRequests(),
              (std::vector<std::string>{"create", "cleanup", "close"}));
    HANDLE again = Open();  // the new session works on the same kernel
    EXPECT_NE(again, INVALID_HANDLE_VALUE);
    EXPECT_NE(again, device);
    EXPECT_TRUE(CloseHandle(again));
}

TEST_F(Win32DeviceIo, ControlRequestWithoutOverlappedWaitsForItsCompletion) {
    HANDLE device = Open();
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    CompleteLater([this](PIRP irp) {
        clock_.SleepFor(5ms);  // the completion comes later, on this thread
        auto* buffer = static_cast<unsigned char*>(irp->AssociatedIrp.SystemBuffer);
        EXPECT_EQ(buffer[0], 0x2C);  // the input, in the shared system buffer
        buffer[0] = 0x5A;
        win32_test::Complete(irp, STATUS_SUCCESS, 1);
    });
    unsigned char inOut[1] = {0x2C};
    unsigned char out[1] = {0};
    DWORD bytes = 99;
    const DWORD before = GetTickCount();
    EXPECT_TRUE(DeviceIoControl(device, win32_test::kIoctlPending, inOut, 1, out, 1, &bytes, nullptr));
    EXPECT_EQ(GetTickCount() - before, 5u);
    EXPECT_EQ(bytes, 1u);
    EXPECT_EQ(out[0], 0x5A);  // copied out at completion
    JoinHelper();
    CloseHandle(device);
}

TEST_F(Win32DeviceIo, FailedControlRequestsCarryTheTranslatedError) {
    HANDLE device = Open();
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    DWORD bytes = 77;
    EXPECT_FALSE(DeviceIoControl(device, win32_test::kIoctlFail, nullptr, 0, nullptr, 0, &bytes, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
    EXPECT_EQ(bytes, 0u);
    EXPECT_FALSE(DeviceIoControl(device, win32_test::kIoctlNotImplemented, nullptr, 0, nullptr, 0,
                                 &bytes, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION));

    // Buffers that do not exist are refused before the driver sees them.
    const auto seen = win32_test::SeenRequests().size();
    EXPECT_FALSE(DeviceIoControl(device, win32_test::kIoctlEcho, nullptr, 4, nullptr, 0, &bytes, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOACCESS));
    EXPECT_FALSE(ReadFile(device, nullptr, 64, &bytes, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOACCESS));
    EXPECT_EQ(win32_test::SeenRequests().size(), seen);

    unsigned char echo[3] = {1, 2, 3};
    EXPECT_TRUE(DeviceIoControl(device, win32_test::kIoctlEcho, echo, 3, echo, 3, &bytes, nullptr));
    EXPECT_EQ(bytes, 3u);
    EXPECT_EQ(echo[2], 4);
    CloseHandle(device);
}

TEST_F(Win32DeviceIo, OverlappedReadCompletesIntoTheRecordAndSignalsItsEvent) {
    HANDLE device = Open();
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    ASSERT_NE(event, nullptr);
    SetEvent(event);  // the request must reset it
    OVERLAPPED overlapped{};
    overlapped.hEvent = event;
    unsigned char frame[256];
    std::memset(frame, 0, sizeof frame);

    DWORD bytes = 0;
    EXPECT_FALSE(ReadFile(device, frame, sizeof frame, &bytes, &overlapped));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_EQ(static_cast<NTSTATUS>(overlapped.Internal), STATUS_PENDING);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    EXPECT_FALSE(GetOverlappedResult(device, &overlapped, &bytes, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));

    CompleteLater([this](PIRP irp) {
        clock_.SleepFor(40ms);
        // Direct I/O: the driver writes straight into the caller's buffer, shorter than asked.
        auto* target = static_cast<unsigned char*>(
            MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority));
        for (int i = 0; i < 192; ++i) target[i] = static_cast<unsigned char>(i);
        win32_test::Complete(irp, STATUS_SUCCESS, 192);
    });
    EXPECT_EQ(WaitForSingleObject(event, 2000), WAIT_OBJECT_0);
    EXPECT_TRUE(GetOverlappedResult(device, &overlapped, &bytes, TRUE));
    EXPECT_EQ(bytes, 192u);
    EXPECT_EQ(overlapped.InternalHigh, 192u);
    EXPECT_EQ(frame[191], 191);
    EXPECT_EQ(frame[192], 0);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);  // manual reset stays signalled
    JoinHelper();
    CloseHandle(event);
    CloseHandle(device);
}

TEST_F(Win32DeviceIo, GetOverlappedResultCanWaitForTheCompletionItself) {
    HANDLE device = Open();
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED overlapped{};
    overlapped.hEvent = event;
    unsigned char frame[64];
    EXPECT_FALSE(ReadFile(device, frame, sizeof frame, nullptr, &overlapped));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    CompleteLater([this](PIRP irp) {
        clock_.SleepFor(10ms);
        win32_test::Complete(irp, STATUS_UNSUCCESSFUL, 12);
    });
    DWORD bytes = 0;
    EXPECT_FALSE(GetOverlappedResult(device, &overlapped, &bytes, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
    EXPECT_EQ(bytes, 12u);  // the byte count comes back on failure too
    JoinHelper();
    CloseHandle(event);
    CloseHandle(device);
}

// The completion keeps what it signals alive: closing the event early must not make it write
// into freed memory, and the record still receives the result.
TEST_F(Win32DeviceIo, ClosingTheEventOfAPendingReadIsSafe) {
    HANDLE device = Open();
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED overlapped{};
    overlapped.hEvent = event;
    unsigned char frame[64];
    EXPECT_FALSE(ReadFile(device, frame, sizeof frame, nullptr, &overlapped));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_TRUE(CloseHandle(event));
    CompleteLater([](PIRP irp) { win32_test::Complete(irp, STATUS_SUCCESS, 64); });
    JoinHelper();
    DWORD bytes = 0;
    EXPECT_TRUE(GetOverlappedResult(device, &overlapped, &bytes, FALSE));
    EXPECT_EQ(bytes, 64u);
    // A write the driver finishes at once succeeds at once, even on an overlapped handle.
    HANDLE writeEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    overlapped = {};
    overlapped.hEvent = writeEvent;
    EXPECT_TRUE(WriteFile(device, frame, 10, &bytes, &overlapped));
    EXPECT_EQ(bytes, 10u);
    EXPECT_EQ(WaitForSingleObject(writeEvent, 0), WAIT_OBJECT_0);
    CloseHandle(writeEvent);
    CloseHandle(device);
}

TEST_F(Win32DeviceIo, WaitsTimeOutOnTheVirtualClock) {
    HANDLE automatic = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE manual = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    const auto realStart = std::chrono::steady_clock::now();
    const DWORD start = GetTickCount();
    EXPECT_EQ(WaitForSingleObject(automatic, 2000), WAIT_TIMEOUT);
    EXPECT_EQ(GetTickCount() - start, 2000u);
    EXPECT_LT(std::chrono::steady_clock::now() - realStart, 1s);

    Sleep(33);
    EXPECT_EQ(GetTickCount() - start, 2033u);

    EXPECT_TRUE(SetEvent(automatic));
    EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_TIMEOUT);  // the wait took the signal
    EXPECT_TRUE(SetEvent(manual));
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(manual, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(ResetEvent(manual));
    EXPECT_EQ(WaitForSingleObject(manual, 10), WAIT_TIMEOUT);

    CloseHandle(automatic);
    CloseHandle(manual);
}

TEST_F(Win32DeviceIo, CancelIoEndsAPendingReadAsAborted) {
    HANDLE device = Open();
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED overlapped{};
    overlapped.hEvent = event;
    unsigned char frame[64];
    EXPECT_FALSE(ReadFile(device, frame, sizeof frame, nullptr, &overlapped));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_EQ(WaitForSingleObject(event, 2000), WAIT_TIMEOUT);  // nobody completes it

    EXPECT_TRUE(CancelIo(device));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    DWORD bytes = 5;
    EXPECT_FALSE(GetOverlappedResult(device, &overlapped, &bytes, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(bytes, 0u);
    EXPECT_EQ(win32_test::QueuedIrps(clock_), 0u);
    CloseHandle(event);
    CloseHandle(device);
}

TEST_F(Win32DeviceIo, OutputDebugStringGoesToTheUserLog) {
    OutputDebugStringA("\nLorvProbe : 0000001F - A device attached to the system is not functioning.\r\n");
    OutputDebugStringA(nullptr);
    EXPECT_EQ(kernel_.log().Text(platform::kernel::DebugLog::Source::User),
              "\nLorvProbe : 0000001F - A device attached to the system is not functioning.\r\n");
    EXPECT_EQ(kernel_.log().Text(platform::kernel::DebugLog::Source::Kernel), "");
}

TEST_F(Win32DeviceIo, ASynchronousHandleWaitsEvenWithAnOverlappedRecord) {
    HANDLE device = Open(0);
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED overlapped{};
    overlapped.hEvent = event;
    CompleteLater([this](PIRP irp) {
        clock_.SleepFor(7ms);
        win32_test::Complete(irp, STATUS_SUCCESS, 4);
    });
    unsigned char buffer[4];
    DWORD bytes = 0;
    EXPECT_TRUE(ReadFile(device, buffer, sizeof buffer, &bytes, &overlapped));
    EXPECT_EQ(bytes, 4u);
    EXPECT_EQ(overlapped.InternalHigh, 4u);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    JoinHelper();
    CloseHandle(event);
    CloseHandle(device);
}

// A second boot starts with an empty handle table: nothing of the first kernel is reachable,
// even when the new kernel and clock sit where the old ones were, as in a test fixture.
TEST(Win32Boot, NothingOfAnEarlierKernelSurvivesANewBoot) {
    std::optional<platform::Clock> clock;
    std::optional<platform::kernel::Kernel> kernel;
    clock.emplace(platform::Clock::Mode::Virtual);
    kernel.emplace(*clock);
    HANDLE fromFirstBoot;
    {
        platform::Clock::Participant me(*clock);
        fromFirstBoot = CreateEventA(nullptr, TRUE, TRUE, nullptr);
        ASSERT_NE(fromFirstBoot, nullptr);
        EXPECT_EQ(MessageBoxA(nullptr, "first", "boot", MB_OK), IDOK);
        SetLastError(ERROR_GEN_FAILURE);
        Sleep(500);
    }
    {
        // The API keeps its own records: nothing of it lands in the kernel's names.
        std::lock_guard lock(kernel->state().lock);
        EXPECT_TRUE(kernel->state().links.empty());
    }
    kernel.reset();
    clock.reset();
    clock.emplace(platform::Clock::Mode::Virtual);
    kernel.emplace(*clock);
    platform::Clock::Participant me(*clock);
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_TRUE(platform::win32::RecordedMessageBoxes().empty());
    EXPECT_EQ(GetTickCount(), 0u);
    EXPECT_DEATH(WaitForSingleObject(fromFirstBoot, 0),
                 "APP VERIFIER: invalid handle 0x[0-9a-f]+ passed to WaitForSingleObject "
                 "\\(already closed\\)");
}

// Application Verifier's handle checks: every misuse stops at once, before any driver sees it.
using Win32VerifierDeathTest = Win32DeviceIo;

TEST_F(Win32VerifierDeathTest, StopsOnClosedNullAndWrongTypeHandles) {
    HANDLE device = Open();
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE closed = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_TRUE(CloseHandle(closed));
    DWORD bytes = 0;
    EXPECT_DEATH(CloseHandle(closed), "APP VERIFIER: invalid handle .* passed to CloseHandle \\(already closed\\)");
    EXPECT_DEATH(SetEvent(closed), "invalid handle .* passed to SetEvent \\(already closed\\)");
    EXPECT_DEATH(WaitForSingleObject(reinterpret_cast<HANDLE>(0x7777), 0),
                 "invalid handle 0x7777 passed to WaitForSingleObject \\(never opened\\)");
    EXPECT_DEATH(ResetEvent(nullptr), "APP VERIFIER: NULL handle passed to ResetEvent");
    EXPECT_DEATH(WaitForSingleObject(device, 0),
                 "handle .* of the wrong type passed to WaitForSingleObject: a file, where an "
                 "event is needed");
    EXPECT_DEATH(DeviceIoControl(event, win32_test::kIoctlEcho, nullptr, 0, nullptr, 0, &bytes,
                                 nullptr),
                 "wrong type passed to DeviceIoControl: a event, where a file is needed");
    OVERLAPPED overlapped{};
    overlapped.hEvent = device;
    unsigned char frame[16];
    EXPECT_DEATH(ReadFile(device, frame, sizeof frame, nullptr, &overlapped),
                 "wrong type passed to ReadFile: a file, where an event is needed");
    EXPECT_TRUE(win32_test::SeenRequests().size() == 1);  // the create, and nothing else
    CloseHandle(event);
    CloseHandle(device);
}

// The record and the buffer belong to the request until it completes.
TEST_F(Win32VerifierDeathTest, StopsOnMemoryOfARequestInFlight) {
    HANDLE device = Open();
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    auto* overlapped = static_cast<OVERLAPPED*>(LocalAlloc(LPTR, sizeof(OVERLAPPED)));
    auto* frame = static_cast<unsigned char*>(GlobalAlloc(GPTR, 64));
    overlapped->hEvent = event;
    ASSERT_FALSE(ReadFile(device, frame, 64, nullptr, overlapped));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_DEATH(GlobalFree(frame),
                 "APP VERIFIER: GlobalFree of GlobalAlloc block .* of 64 bytes .* while a request "
                 "using it is in flight");
    EXPECT_DEATH(LocalFree(overlapped), "LocalFree of LocalAlloc block .* while a request");
    unsigned char other[8];
    EXPECT_DEATH(ReadFile(device, other, sizeof other, nullptr, overlapped),
                 "APP VERIFIER: OVERLAPPED 0x[0-9a-f]+ reused for a new request while its "
                 "request is in flight");
    CompleteLater([](PIRP irp) { win32_test::Complete(irp, STATUS_SUCCESS, 64); });
    DWORD bytes = 0;
    EXPECT_TRUE(GetOverlappedResult(device, overlapped, &bytes, TRUE));
    JoinHelper();
    // Completed: both are the caller's again.
    EXPECT_EQ(GlobalFree(frame), nullptr);
    EXPECT_EQ(LocalFree(overlapped), nullptr);
    CloseHandle(event);
    CloseHandle(device);
}

TEST_F(Win32VerifierDeathTest, SessionEndNamesWhatWasLeft) {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, "frames");
    EXPECT_DEATH(platform::win32::CheckSessionEnd(),
                 "APP VERIFIER: handle 0x[0-9a-f]+ \\(event from CreateEventA frames\\) still "
                 "open at the end of the session");
    CloseHandle(event);
    void* block = LocalAlloc(LMEM_FIXED, 40);
    EXPECT_DEATH(platform::win32::CheckSessionEnd(),
                 "APP VERIFIER: leaked at the end of the session: LocalAlloc block 0x[0-9a-f]+ "
                 "of 40 bytes from win32_tests");
    static_cast<unsigned char*>(block)[40] = 0;
    EXPECT_DEATH(platform::win32::CheckSessionEnd(), "APP VERIFIER: write past the end of LocalAlloc");
    static_cast<unsigned char*>(block)[40] = 0xFD;
    LocalFree(block);
    platform::win32::CheckSessionEnd();
}

}  // namespace
