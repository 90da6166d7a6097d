// The driver's request surface as any user-mode program can reach it: opens and closes, every
// control code with any buffer lengths, overlapped reads and writes of any length, cancellation,
// closes and removal with requests in flight. A program that cancels and closes what it holds
// must get every request back, and the device must then be removable with no pool left.
#include <fuzzer/FuzzedDataProvider.h>

#include <windows.h>
#include <winioctl.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "control_interface.h"
#include "fuzz_machine.h"

namespace {

constexpr int kMaxCalls = 64;
constexpr int kHandles = 2;
constexpr int kRequests = 4;
constexpr DWORD kCompletionWait = 10000;  // virtual milliseconds; far above any bridge time-out

constexpr DWORD kCodes[] = {IOCTL_BRIDGE_SET_REG, IOCTL_BRIDGE_GET_REG, IOCTL_BRIDGE_SOFT_RESET,
                            IOCTL_BRIDGE_ABORT_PIPE, IOCTL_BRIDGE_QUERY_PIPE_RESULT, IOCTL_BRIDGE_GET_DEVICE_ID};

enum Call : std::uint8_t { kOpen, kClose, kControl, kRead, kWrite, kCancel, kWait, kUnplug, kCallCount };

// An overlapped request with the buffer and record the driver may use until it completes.
struct Request {
    HANDLE file = nullptr;
    OVERLAPPED overlapped{};
    std::vector<std::uint8_t> buffer;
    bool pending = false;
};

struct Program {
    HANDLE files[kHandles] = {};
    Request requests[kRequests];
};

DWORD Length(FuzzedDataProvider& in, DWORD largest)
{
    switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 0: return in.ConsumeIntegralInRange<DWORD>(0, 8);
    case 1: return in.ConsumeIntegralInRange<DWORD>(0, 4) * 64;
    case 2: return in.ConsumeIntegralInRange<DWORD>(0, largest);
    default: return largest - in.ConsumeIntegralInRange<DWORD>(0, 64);
    }
}

// Waits for a request the program has started; true when it has completed.
bool Settle(Request& request, DWORD milliseconds)
{
    if (!request.pending)
        return true;
    if (WaitForSingleObject(request.overlapped.hEvent, milliseconds) != WAIT_OBJECT_0)
        return false;
    // The record holds the result; its handle may be closed by now.
    const ULONG_PTR bytes = request.overlapped.InternalHigh;
    if (bytes > request.buffer.size())
        fuzz::Fail("a request reported more bytes than its buffer holds");
    request.pending = false;
    return true;
}

Request* FreeRequest(Program& program, FuzzedDataProvider& in)
{
    Request& request = program.requests[in.ConsumeIntegralInRange<int>(0, kRequests - 1)];
    return Settle(request, 0) ? &request : nullptr;
}

void Started(Request& request, HANDLE file, BOOL done)
{
    request.file = file;
    request.pending = done || GetLastError() == ERROR_IO_PENDING;
}

void Control(Program& program, HANDLE file, FuzzedDataProvider& in)
{
    const DWORD code = in.ConsumeBool() ? kCodes[in.ConsumeIntegralInRange<int>(0, 5)] : in.ConsumeIntegral<DWORD>();
    std::vector<std::uint8_t> input = in.ConsumeBytes<std::uint8_t>(Length(in, 4096));
    const DWORD outputLength = Length(in, 4096);
    Request* request = in.ConsumeBool() ? FreeRequest(program, in) : nullptr;
    if (request == nullptr) {
        std::vector<std::uint8_t> output(outputLength);
        OVERLAPPED overlapped{};
        overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        DWORD bytes = 0;
        if (!DeviceIoControl(file, code, input.data(), static_cast<DWORD>(input.size()), output.data(), outputLength,
                             &bytes, &overlapped) &&
            GetLastError() == ERROR_IO_PENDING && !GetOverlappedResult(file, &overlapped, &bytes, TRUE))
            bytes = 0;
        if (bytes > outputLength)
            fuzz::Fail("a control request reported more bytes than its output buffer holds");
        CloseHandle(overlapped.hEvent);
        return;
    }
    request->buffer.assign(outputLength, 0);
    Started(*request, file,
            DeviceIoControl(file, code, input.data(), static_cast<DWORD>(input.size()), request->buffer.data(),
                            outputLength, nullptr, &request->overlapped));
}

void Transfer(Program& program, HANDLE file, bool read, FuzzedDataProvider& in)
{
    Request* request = FreeRequest(program, in);
    if (request == nullptr)
        return;
    request->buffer = in.ConsumeBytes<std::uint8_t>(Length(in, BRIDGE_MAX_TRANSFER + 64));
    request->buffer.resize(Length(in, BRIDGE_MAX_TRANSFER + 64));
    const DWORD length = static_cast<DWORD>(request->buffer.size());
    Started(*request, file,
            read ? ReadFile(file, request->buffer.data(), length, nullptr, &request->overlapped)
                 : WriteFile(file, request->buffer.data(), length, nullptr, &request->overlapped));
}

void RunCall(Call call, Program& program, fuzz::FuzzMachine& machine, FuzzedDataProvider& in)
{
    HANDLE& file = program.files[in.ConsumeIntegralInRange<int>(0, kHandles - 1)];
    switch (call) {
    case kOpen:
        if (file == nullptr) {
            file = CreateFileA(LORV_DEVICE_PATH, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED, nullptr);
            if (file == INVALID_HANDLE_VALUE)
                file = nullptr;
        }
        break;
    case kClose:  // requests in flight on it go on; the program still owns their records
        if (file != nullptr)
            CloseHandle(file);
        file = nullptr;
        break;
    case kControl: if (file) Control(program, file, in); break;
    case kRead: if (file) Transfer(program, file, true, in); break;
    case kWrite: if (file) Transfer(program, file, false, in); break;
    case kCancel: if (file) CancelIo(file); break;
    case kWait:
        Settle(program.requests[in.ConsumeIntegralInRange<int>(0, kRequests - 1)],
               in.ConsumeIntegralInRange<DWORD>(0, 3000));
        break;
    case kUnplug: machine.machine().Unplug(machine.deviceId()); break;
    default: break;
    }
}

bool IsOpen(const Program& program, HANDLE file)
{
    for (HANDLE open : program.files) {
        if (open != nullptr && open == file)
            return true;
    }
    return false;
}

// A program's exit: what it started is cancelled and awaited, what it opened is closed. A
// request whose handle was closed under it can only be ended by the device going away.
void Exit(Program& program, fuzz::FuzzMachine& machine)
{
    bool orphans = false;
    for (Request& request : program.requests) {
        if (request.pending && IsOpen(program, request.file))
            CancelIo(request.file);
        else if (request.pending)
            orphans = true;
    }
    if (orphans)
        machine.machine().Unplug(machine.deviceId());
    for (Request& request : program.requests) {
        if (!Settle(request, kCompletionWait))
            fuzz::Fail("a cancelled request never completed");
        CloseHandle(request.overlapped.hEvent);
    }
    for (HANDLE file : program.files) {
        if (file != nullptr)
            CloseHandle(file);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size)
{
    FuzzedDataProvider in(data, size);
    fuzz::FuzzMachine machine;
    Program program;
    for (Request& request : program.requests)
        request.overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    for (int n = 0; n < kMaxCalls && in.remaining_bytes() > 0; ++n)
        RunCall(static_cast<Call>(in.ConsumeIntegralInRange<int>(0, kCallCount - 1)), program, machine, in);
    Exit(program, machine);
    machine.Finish();
    return 0;
}
