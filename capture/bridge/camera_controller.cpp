#include "bridge/camera_controller.h"

#include "bridge/device_channel.h"
#include "bridge/ieee1284_link.h"
#include "bridge/parallel_port.h"

BYTE serialLines;
BYTE serialBuffer[kSerialBufferBytes];
DWORD serialLength;

namespace {

constexpr BYTE kRegisterCommand = 0xC0;
constexpr BYTE kClockLine = 0x01;
constexpr BYTE kDataLine = 0x02;
constexpr BYTE kLinesIdle = 0x0F;
constexpr BYTE kSerialDeviceAddress = 0x3E;
constexpr int kFlushSends = 5;

// Each line state is held for ten ECP byte times when the buffer is sent.
void RecordLines(void)
{
    for (DWORD i = 0; i < kSerialStateBytes; ++i)
        serialBuffer[serialLength + i] = serialLines;
    serialLength += kSerialStateBytes;
}

void SetLine(BYTE line, bool high)
{
    serialLines = static_cast<BYTE>(high ? (serialLines | line) : (serialLines & ~line));
    RecordLines();
}

void StartCondition(void)
{
    SetLine(kClockLine, true);
    SetLine(kDataLine, false);
    SetLine(kClockLine, false);
}

void StopCondition(void)
{
    SetLine(kDataLine, false);
    SetLine(kClockLine, true);
    SetLine(kDataLine, true);
}

// The acknowledge bit is clocked but never read.
void SendByteAcknowledged(BYTE value)
{
    for (int bit = 7; bit >= 0; --bit) {
        SetLine(kDataLine, (value >> bit) & 1);
        SetLine(kClockLine, true);
        SetLine(kClockLine, false);
    }
    SetLine(kDataLine, true);
    SetLine(kClockLine, true);
    SetLine(kClockLine, false);
}

}  // namespace

int WriteControllerReg(BYTE reg, BYTE value)
{
    if (linkMode != LinkMode::Ecp)
        return LinkWrongMode;
    EcpWriteCommandAndData(static_cast<BYTE>(reg | kRegisterCommand), value);
    return LinkOk;
}

int ControllerResetPulse(void)
{
    WriteControllerReg(0x00, 0x02);
    WriteControllerReg(0x00, 0x00);
    return 0;
}

int ControllerStreamOn(BYTE image)
{
    return WriteControllerReg(0x01, static_cast<BYTE>(image | 0x80));
}

int ControllerStreamOff(BYTE image)
{
    return WriteControllerReg(0x01, static_cast<BYTE>(image & 0x7F));
}

void SerialBegin(void)
{
    serialLines = kLinesIdle;
    serialLength = 0;
    RecordLines();
}

int SerialQueueWrite(BYTE selector, BYTE address, BYTE value)
{
    if (serialLength > kSerialBufferBytes - kSerialEntryBytes)
        return 1;
    StartCondition();
    SendByteAcknowledged(kSerialDeviceAddress);
    SendByteAcknowledged(0x00);
    for (BYTE code : serialAccessCode)
        SendByteAcknowledged(code);
    StopCondition();

    StartCondition();
    SendByteAcknowledged(kSerialDeviceAddress);
    SendByteAcknowledged(0x02);
    SendByteAcknowledged(selector);
    SendByteAcknowledged(address);
    SendByteAcknowledged(value);
    StopCondition();
    return 0;
}

int SerialFlush(void)
{
    PortWrite(portMap.controlPort, static_cast<BYTE>(PortRead(portMap.controlPort) | 0x02));
    PortWrite(portMap.ecpFifoPort, static_cast<BYTE>(kSerialRegister | kRegisterCommand));
    PortWrite(portMap.controlPort, static_cast<BYTE>(PortRead(portMap.controlPort) & ~0x02));
    int sent = 0;
    for (int i = 0; i < kFlushSends; ++i)
        sent = BulkWrite(serialBuffer, serialLength);  // only the last send counts
    serialLength = 0;
    if (!sent) {
        MessageBoxA(nullptr, "uss720", "uss720 write err\n", MB_OK);
        return 0;
    }
    return 1;
}
