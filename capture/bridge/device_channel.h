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
    LONG bulkFailures;      // bulk transfers that failed since the channel opened
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

// The debug line holds 127 characters; the fixed part "\nLorvProbe : XXXXXXXX - " takes 24,
// so a longer system text is cut, and a missing one is named as such.
constexpr size_t kDebugLineBytes = 128;
constexpr size_t kDebugTextChars = kDebugLineBytes - 1 - 24;
void ComposeDebugLine(char (&line)[kDebugLineBytes], DWORD code, const char* text, DWORD length);
void FailChannel(void);

// Back to the state at load; for tests that boot a fresh machine per case.
void ResetDeviceChannel(void);
// The library is unloaded: the bulk event it keeps for the process is closed.
void ReleaseBulkEvent(void);
