// The IEEE 1284 link to the camera controller: ECP negotiation and termination, forward
// command and data bytes, and the turnarounds around an image read.
#pragma once

#include <windows.h>

enum class LinkMode { Compatibility = 0, Ecp = 3 };

enum LinkResult : int {
    LinkOk = 0,
    LinkWrongMode = 4,
    LinkTimeout = 8,
};

extern LinkMode linkMode;

// Every handshake wait gives up after this many milliseconds of the tick count.
constexpr DWORD kHandshakeMilliseconds = 100;

int WithinTimeout(DWORD startTick);
int NegotiateEcp(void);
int TerminateEcp(void);
int EcpWriteCommand(BYTE command);
int EcpWriteData(BYTE data);
int EcpWriteCommandAndData(BYTE command, BYTE data);
int EcpEnterReverse(void);
int EcpLeaveReverse(void);
int BeginImageRead(void);
int EndImageRead(void);
