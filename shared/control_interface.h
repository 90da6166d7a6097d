// The contract between lorvusb and lorvcap: device names, control codes, parameter records,
// register indexes and status values. Include after <wdm.h> (driver) or <windows.h> and
// <winioctl.h> (library); both provide CTL_CODE and the basic types.
#pragma once

// Kernel names held by the driver's globals deviceName and deviceLink, and the user-mode path.
#define LORV_DEVICE_NAME L"\\Device\\LORVCAM0"
#define LORV_DEVICE_LINK L"\\DosDevices\\LORVCAM0"
#define LORV_DEVICE_PATH "\\\\.\\LORVCAM0"

#define LORV_IOCTL(function) CTL_CODE(FILE_DEVICE_UNKNOWN, (function), METHOD_BUFFERED, FILE_ANY_ACCESS)

#define IOCTL_BRIDGE_SET_REG LORV_IOCTL(0x80A)            // in: index, value; out: none
#define IOCTL_BRIDGE_GET_REG LORV_IOCTL(0x80B)            // in: index; out: value
#define IOCTL_BRIDGE_SOFT_RESET LORV_IOCTL(0x80C)         // no bytes either way
#define IOCTL_BRIDGE_ABORT_PIPE LORV_IOCTL(0x80F)         // in: pipe 0 (bulk OUT) or 1 (bulk IN)
#define IOCTL_BRIDGE_QUERY_PIPE_RESULT LORV_IOCTL(0x814)  // reserved, always refused
#define IOCTL_BRIDGE_GET_DEVICE_ID LORV_IOCTL(0x815)      // out: IEEE 1284 device ID, 1 or more bytes

static_assert(IOCTL_BRIDGE_SET_REG == 0x222028);
static_assert(IOCTL_BRIDGE_GET_REG == 0x22202C);
static_assert(IOCTL_BRIDGE_SOFT_RESET == 0x222030);
static_assert(IOCTL_BRIDGE_ABORT_PIPE == 0x22203C);
static_assert(IOCTL_BRIDGE_QUERY_PIPE_RESULT == 0x222050);
static_assert(IOCTL_BRIDGE_GET_DEVICE_ID == 0x222054);

// Parameters of a control request as the driver copies them out of the IRP.
typedef struct _IOCTL_PARAM {
    PVOID Buffer;  // system buffer, shared by input and output
    ULONG InputLength;
    ULONG OutputLength;
    struct _MDL* pMdl;  // copied, not used by any control operation
} IOCTL_PARAM, *PIOCTL_PARAM;

// Parameters of a read or write.
typedef struct _RW_PARAM {
    PVOID Buffer;  // system buffer; empty for this direct-I/O device
    ULONG Length;
    struct _MDL* pMdl;  // the caller's buffer
} RW_PARAM, *PRW_PARAM;

// Bridge register indexes: 0 Data, 1 Status, 2 Control, 3 EppAddress, 4 EppData,
// 5 EcpCommand (write only), 6 ExtendedControl, 7 BridgeSetup, 8 a further bridge register.
#define BRIDGE_REGISTER_COUNT 9
#define BRIDGE_SNAPSHOT_BYTES 6
#define BRIDGE_SNAPSHOT_BYTES_INDEX_8 7

// For each register index, the byte of the bridge's register snapshot that holds it.
inline constexpr UCHAR RegToMapLookup[BRIDGE_REGISTER_COUNT] = {4, 0, 1, 5, 5, 4, 2, 3, 6};

// The pipes' largest transfer, in bytes.
#define BRIDGE_MAX_TRANSFER 153600

// Status values of the driver's requests (ntstatus.h values; user mode may lack them).
#ifndef STATUS_SUCCESS
#define STATUS_SUCCESS ((LONG)0x00000000L)
#endif
#ifndef STATUS_PENDING
#define STATUS_PENDING ((LONG)0x00000103L)
#endif
#ifndef STATUS_UNSUCCESSFUL
#define STATUS_UNSUCCESSFUL ((LONG)0xC0000001L)
#endif
#ifndef STATUS_NOT_IMPLEMENTED
#define STATUS_NOT_IMPLEMENTED ((LONG)0xC0000002L)
#endif
#ifndef STATUS_INVALID_PARAMETER
#define STATUS_INVALID_PARAMETER ((LONG)0xC000000DL)
#endif
#ifndef STATUS_NO_MEMORY
#define STATUS_NO_MEMORY ((LONG)0xC0000017L)
#endif
