// The parallel port as the link code sees it: port numbers that stand for bridge registers,
// and the ECP FIFO, which travels as one-byte bulk transfers.
#pragma once

#include <windows.h>

enum BridgeRegister : BYTE {
    BridgeData = 0,
    BridgeStatus = 1,
    BridgeControl = 2,
    BridgeEppAddress = 3,
    BridgeEppData = 4,
    BridgeEcpCommand = 5,
    BridgeExtendedControl = 6,
    BridgeSetup = 7,
};

struct PortMapRecord {
    WORD dataPort;
    WORD statusPort;
    WORD controlPort;
    WORD eppAddressPort;
    WORD eppDataPort;
    WORD ecpFifoPort;
    WORD ecrPort;
};

extern PortMapRecord portMap;

constexpr WORD kPortBase = 0x378;
constexpr signed char kPortFifo = -1;
constexpr signed char kPortUnknown = -2;  // matches none of the seven ports

int SetPortBase(WORD base);
signed char PortMap(WORD port);
BYTE PortRead(WORD port);
// PortRead that also tells whether the access reached the bridge (1) or failed (0, value 0).
int PortReadChecked(WORD port, BYTE& value);
int PortWrite(WORD port, BYTE value);
