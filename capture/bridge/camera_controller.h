// The camera controller's registers over the ECP link, and the two-wire serial bus behind
// controller register 0x18 that carries the video decoder's settings.
#pragma once

#include <windows.h>

constexpr BYTE kSerialRegister = 0x18;
constexpr DWORD kSerialStateBytes = 10;      // each line state lasts ten ECP byte times
constexpr DWORD kSerialEntryBytes = 3090;    // one queued decoder table entry
constexpr DWORD kSerialMaxEntries = 18;      // the whole decoder table between two flushes
constexpr DWORD kSerialBufferBytes = kSerialStateBytes + kSerialMaxEntries * kSerialEntryBytes;

// Received by the serial device at sub-address 0 before every entry.
inline constexpr BYTE serialAccessCode[4] = {'L', 'O', 'R', 'V'};

extern BYTE serialLines;
extern BYTE serialBuffer[kSerialBufferBytes];
extern DWORD serialLength;

int WriteControllerReg(BYTE reg, BYTE value);
int ControllerResetPulse(void);
int ControllerStreamOn(BYTE image);
int ControllerStreamOff(BYTE image);
void SerialBegin(void);
// 0 when queued; nonzero (and nothing queued) when the entry does not fit.
int SerialQueueWrite(BYTE selector, BYTE address, BYTE value);
int SerialFlush(void);
