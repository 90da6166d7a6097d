#include "bridge/parallel_port.h"

#include <cstdio>

#include "bridge/device_channel.h"
#include "bridge/ieee1284_link.h"

PortMapRecord portMap;

namespace {

// One-byte FIFO transfers go through static storage: a late completion of an abandoned
// request can never land in a stack frame that has gone.
BYTE fifoByte;

}  // namespace

int SetPortBase(WORD base)
{
    portMap.dataPort = base;
    portMap.statusPort = static_cast<WORD>(base + 1);
    portMap.controlPort = static_cast<WORD>(base + 2);
    portMap.eppAddressPort = static_cast<WORD>(base + 3);
    portMap.eppDataPort = static_cast<WORD>(base + 4);
    portMap.ecpFifoPort = static_cast<WORD>(base + 0x400);
    portMap.ecrPort = static_cast<WORD>(base + 0x402);
    linkMode = LinkMode::Compatibility;
    return 0;
}

signed char PortMap(WORD port)
{
    if (port == portMap.dataPort)
        return BridgeData;
    if (port == portMap.statusPort)
        return BridgeStatus;
    if (port == portMap.controlPort)
        return BridgeControl;
    if (port == portMap.eppAddressPort)
        return BridgeEppAddress;
    if (port == portMap.eppDataPort)
        return BridgeEppData;
    if (port == portMap.ecpFifoPort)
        return kPortFifo;
    if (port == portMap.ecrPort)
        return BridgeExtendedControl;
    return kPortUnknown;
}

BYTE PortRead(WORD port)
{
    BYTE value = 0;
    PortReadChecked(port, value);
    return value;
}

int PortReadChecked(WORD port, BYTE& value)
{
    signed char index = PortMap(port);
    deviceChannel.cInPortByte++;
    value = 0;
    if (index == kPortUnknown)
        return 0;
    if (index == kPortFifo) {
        fifoByte = 0;  // a transfer that succeeds without a byte reads as 0
        if (!BulkRead(&fifoByte, 1)) {
            ReportLastError();
            return 0;
        }
        value = fifoByte;
        return 1;
    }
    if (!BridgeGetReg(static_cast<BYTE>(index), value)) {
        printf("\n_inp fail\n");
        fflush(stdout);
        ReportLastError();
        value = 0;
        return 0;
    }
    return 1;
}

int PortWrite(WORD port, BYTE value)
{
    signed char index = PortMap(port);
    deviceChannel.cOutPortByte++;
    if (index == kPortUnknown)
        return 0;
    if (index == kPortFifo) {
        fifoByte = value;
        if (!BulkWrite(&fifoByte, 1)) {
            ReportLastError();
            return 0;
        }
        return 1;
    }
    if (!BridgeSetReg(static_cast<BYTE>(index), value)) {
        printf("\n_outp fail\n");
        fflush(stdout);
        ReportLastError();
        return 0;
    }
    return 1;
}
