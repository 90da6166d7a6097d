#include "bridge/ieee1284_link.h"

#include "bridge/parallel_port.h"

LinkMode linkMode = LinkMode::Compatibility;

namespace {

constexpr BYTE kControlAutoFd = 0x02;
constexpr BYTE kControlInit = 0x04;
constexpr BYTE kControlReverse = 0x20;
constexpr BYTE kEcrFifoEmpty = 0x01;
// Each drained byte costs two USB transfers; a drain far longer than the bridge's FIFO, or
// than a second, means the bridge stopped answering.
constexpr int kDrainMaxBytes = 1024;
constexpr DWORD kDrainMilliseconds = 1000;

void WriteControl(BYTE value)
{
    PortWrite(portMap.controlPort, value);
}

void SetControlBits(BYTE bits)
{
    WriteControl(static_cast<BYTE>(PortRead(portMap.controlPort) | bits));
}

void ClearControlBits(BYTE bits)
{
    WriteControl(static_cast<BYTE>(PortRead(portMap.controlPort) & ~bits));
}

// A status read that fails ends the wait at once: a bridge that answers nothing would
// otherwise be polled without pause, and on a clock that only moves with the bus, for ever.
int WaitStatus(BYTE mask, BYTE value)
{
    DWORD start = GetTickCount();
    BYTE status = 0;
    if (!PortReadChecked(portMap.statusPort, status))
        return LinkTimeout;
    while ((status & mask) != value) {
        if (!WithinTimeout(start) || !PortReadChecked(portMap.statusPort, status))
            return LinkTimeout;
    }
    return LinkOk;
}

}  // namespace

int WithinTimeout(DWORD startTick)
{
    DWORD elapsed = GetTickCount() - startTick;  // unsigned: a wrap of the counter is harmless
    return elapsed <= kHandshakeMilliseconds ? 1 : 0;
}

int NegotiateEcp(void)
{
    if (linkMode != LinkMode::Compatibility)
        return LinkWrongMode;
    WriteControl(0xC8);
    WriteControl(0xCC);  // nInit pulses low while nSelectIn is low
    PortWrite(portMap.dataPort, 0x10);  // extensibility request: ECP mode
    WriteControl(0xC6);
    if (WaitStatus(0x78, 0x38) != LinkOk)
        return LinkTimeout;
    WriteControl(0xC7);
    WriteControl(0xC4);  // the strobe latches the request
    if (WaitStatus(0xE8, 0xC8) != LinkOk)
        return LinkTimeout;
    WriteControl(0xC6);
    if (WaitStatus(0x20, 0x20) != LinkOk)
        return LinkTimeout;
    PortRead(portMap.dataPort);
    PortWrite(portMap.ecrPort, 0x63);  // mode 011: ECP FIFO
    WriteControl(0xC4);
    linkMode = LinkMode::Ecp;
    return LinkOk;
}

int TerminateEcp(void)
{
    if (linkMode != LinkMode::Ecp)
        return LinkWrongMode;
    PortRead(portMap.statusPort);
    WriteControl(0xCC);
    if (WaitStatus(0x08, 0x08) != LinkOk)
        return LinkTimeout;
    WriteControl(0xCE);
    if (WaitStatus(0x40, 0x40) != LinkOk)
        return LinkTimeout;
    WriteControl(0xCC);
    PortRead(portMap.statusPort);
    PortWrite(portMap.ecrPort, 0x41);  // mode 010
    linkMode = LinkMode::Compatibility;
    return LinkOk;
}

int EcpWriteCommand(BYTE command)
{
    SetControlBits(kControlAutoFd);  // nAutoFd low: the byte is a channel address
    PortWrite(portMap.ecpFifoPort, command);
    return LinkOk;
}

int EcpWriteData(BYTE data)
{
    ClearControlBits(kControlAutoFd);
    PortWrite(portMap.ecpFifoPort, data);
    return LinkOk;
}

int EcpWriteCommandAndData(BYTE command, BYTE data)
{
    if (EcpWriteCommand(command) != LinkOk)
        return LinkTimeout;
    return EcpWriteData(data) != LinkOk ? LinkTimeout : LinkOk;
}

int EcpEnterReverse(void)
{
    WriteControl(0xE4);
    WriteControl(0xE0);  // nInit low: reverse request
    return WaitStatus(0x70, 0x10);
}

int EcpLeaveReverse(void)
{
    SetControlBits(kControlInit);  // the reverse request ends
    if (WaitStatus(0xE0, 0xE0) != LinkOk)
        return LinkTimeout;
    DWORD start = GetTickCount();
    int drained = 0;
    while (!(PortRead(portMap.ecrPort) & kEcrFifoEmpty)) {
        if (drained == kDrainMaxBytes || GetTickCount() - start > kDrainMilliseconds)
            return LinkTimeout;  // the bridge stopped answering: the direction stays reverse
        PortRead(portMap.ecpFifoPort);
        drained++;
    }
    ClearControlBits(kControlReverse);
    return LinkOk;
}

int BeginImageRead(void)
{
    if (linkMode != LinkMode::Ecp)
        return LinkWrongMode;
    EcpWriteCommand(0xA0);  // the controller starts sending image data
    EcpEnterReverse();
    return LinkOk;
}

int EndImageRead(void)
{
    if (linkMode != LinkMode::Ecp)
        return LinkWrongMode;
    return EcpLeaveReverse();
}
