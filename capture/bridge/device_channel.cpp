#include "bridge/device_channel.h"

#include <winioctl.h>

#include <cstdio>
#include <cstring>

#include "control_interface.h"

DeviceChannel deviceChannel;

namespace {

constexpr BYTE kBulkOutPipe = 0;
constexpr BYTE kBulkInPipe = 1;


int ControlRequest(DWORD code, void* in, DWORD inLength, void* out, DWORD outLength)
{
    return DeviceIoControl(deviceChannel.handle, code, in, inLength, out, outLength,
                           &deviceChannel.bytesTransferred, nullptr)
               ? 1
               : 0;
}

// A request still running after the wait is aborted and awaited once more, so that it can
// no longer write into the caller's buffer after we return.
int AwaitBulkCompletion(BYTE pipe)
{
    if (WaitForSingleObject(deviceChannel.ioEvent, kBulkWaitMilliseconds) == WAIT_OBJECT_0) {
        DWORD transferred = 0;
        return GetOverlappedResult(deviceChannel.handle, &deviceChannel.ioRecord, &transferred, FALSE)
                   ? 1
                   : 0;
    }
    BridgeAbortPipe(pipe);
    if (WaitForSingleObject(deviceChannel.ioEvent, kBulkWaitMilliseconds) != WAIT_OBJECT_0) {
        CancelIo(deviceChannel.handle);
        WaitForSingleObject(deviceChannel.ioEvent, kBulkWaitMilliseconds);
    }
    SetLastError(ERROR_SEM_TIMEOUT);
    return 0;
}

int BulkTransfer(BYTE pipe, void* buffer, DWORD count)
{
    if (!deviceChannel.ioEventCreated) {
        deviceChannel.ioEventCreated = 1;
        deviceChannel.ioEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }
    deviceChannel.ioRecord.hEvent = deviceChannel.ioEvent;
    ResetEvent(deviceChannel.ioEvent);
    BOOL started = pipe == kBulkInPipe
                       ? ReadFile(deviceChannel.handle, buffer, count, &deviceChannel.bytesTransferred,
                                  &deviceChannel.ioRecord)
                       : WriteFile(deviceChannel.handle, buffer, count, &deviceChannel.bytesTransferred,
                                   &deviceChannel.ioRecord);
    int done = (started || GetLastError() == ERROR_IO_PENDING) ? AwaitBulkCompletion(pipe) : 0;
    if (!done)
        deviceChannel.bulkFailures++;
    return done;
}

}  // namespace

int OpenChannel(void)
{
    HANDLE handle = CreateFileA(LORV_DEVICE_PATH, GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return 0;
    deviceChannel.handle = handle;
    deviceChannel.bulkFailures = 0;
    return 1;
}

int CloseChannel(void)
{
    if (deviceChannel.handle == nullptr)
        return 0;
    CloseHandle(deviceChannel.handle);
    deviceChannel.handle = nullptr;
    printf("cInPortByte  = %d\n", static_cast<int>(deviceChannel.cInPortByte));
    printf("cOutPortByte = %d\n", static_cast<int>(deviceChannel.cOutPortByte));
    fflush(stdout);
    return 1;
}

int OpenBridge(void)
{
    if (!OpenChannel())
        return 0;
    return BridgeReset();
}

int BridgeReset(void)
{
    if (!ControlRequest(IOCTL_BRIDGE_SOFT_RESET, nullptr, 0, nullptr, 0))
        return 0;
    if (!BridgeSetReg(7, 0xF8))
        return 0;
    return BridgeSetReg(6, 0x03);  // extended control: standard parallel-port mode
}

int BridgeSetReg(BYTE index, BYTE value)
{
    BYTE input[2] = {index, value};
    return ControlRequest(IOCTL_BRIDGE_SET_REG, input, sizeof input, nullptr, 0);
}

int BridgeGetReg(BYTE index, BYTE& value)
{
    BYTE input = index;
    BYTE output = 0;
    if (!ControlRequest(IOCTL_BRIDGE_GET_REG, &input, 1, &output, 1))
        return 0;
    value = output;
    return 1;
}

int BridgeAbortPipe(BYTE pipe)
{
    BYTE input = pipe;
    return ControlRequest(IOCTL_BRIDGE_ABORT_PIPE, &input, 1, nullptr, 0);
}

int BulkRead(void* buffer, DWORD count)
{
    return BulkTransfer(kBulkInPipe, buffer, count);
}

int BulkWrite(const void* buffer, DWORD count)
{
    return BulkTransfer(kBulkOutPipe, const_cast<void*>(buffer), count);
}

HANDLE GetChannelHandle(void)
{
    return deviceChannel.handle;
}

void ComposeDebugLine(char (&line)[kDebugLineBytes], DWORD code, const char* text, DWORD length)
{
    char shown[kDebugTextChars + 1] = "no system text";
    if (length != 0 && text != nullptr) {
        size_t count = length < kDebugTextChars ? length : kDebugTextChars;
        memcpy(shown, text, count);
        shown[count] = '\0';
    }
    wsprintfA(line, "\nLorvProbe : %08X - %s", static_cast<unsigned>(code), shown);
}

void ReportLastError(void)
{
    DWORD code = GetLastError();
    LPSTR systemText = nullptr;
    DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, nullptr,
                                  code, 0x400, reinterpret_cast<LPSTR>(&systemText), 0, nullptr);
    char line[kDebugLineBytes];
    ComposeDebugLine(line, code, systemText, length);
    OutputDebugStringA(line);
    if (systemText != nullptr)
        LocalFree(systemText);
}

void FailChannel(void)
{
    if (deviceChannel.failed)
        return;
    CloseChannel();
    deviceChannel.failed = 1;
}

void ReleaseBulkEvent(void)
{
    if (deviceChannel.ioEventCreated && deviceChannel.ioEvent != nullptr)
        CloseHandle(deviceChannel.ioEvent);
    deviceChannel.ioEvent = nullptr;
    deviceChannel.ioEventCreated = 0;
}

void ResetDeviceChannel(void)
{
    deviceChannel = DeviceChannel{};
}
