// The library's one connection to the lorvusb driver: control requests, bulk transfers,
// the port access counters and the sticky failure flag.
#pragma once

#include <windows.h>

struct DeviceChannel {
    HANDLE handle;          // the open device, or null
    OVERLAPPED ioRecord;    // of every BulkRead and BulkWrite
    HANDLE ioEvent;         // manual reset, created with the first bulk transfer
    LONG ioEventCreated;
    DWORD bytesTransferred;
    LONG cInPortByte;       // emulated port reads since load
    LONG cOutPortByte;      // emulated port writes since load
    LONG failed;            // set by FailChannel, cleared by a completed bring-up
};

extern DeviceChannel deviceChannel;

// A bulk transfer that the bridge does not finish within this time is aborted and fails.
constexpr DWORD kBulkWaitMilliseconds = 2000;

int OpenChannel(void);
int CloseChannel(void);
int OpenBridge(void);
int BridgeReset(void);
int BridgeSetReg(BYTE index, BYTE value);
int BridgeGetReg(BYTE index, BYTE& value);
int BridgeAbortPipe(BYTE pipe);
int BulkRead(void* buffer, DWORD count);
int BulkWrite(const void* buffer, DWORD count);
HANDLE GetChannelHandle(void);
void ReportLastError(void);
void FailChannel(void);

// Back to the state at load; for tests that boot a fresh machine per case.
void ResetDeviceChannel(void);
