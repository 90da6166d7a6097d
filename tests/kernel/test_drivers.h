// Two small drivers that drive the kernel stand-in the way real ones do: a bus driver that owns
// physical device objects and holds or completes what reaches them, and a function driver with
// a named device, holds on the device and a removal that waits until the last handle closes.
// Each can be told to commit one fault, for the verifier's death tests.
#pragma once

#include <deque>

#include "kernel.h"

namespace kernel_test {

constexpr const char* kDevicePath = "\\\\.\\KTEST0";
constexpr ULONG kPoolTag = 0x74736554;  // "Test"

// Buffered: output = input reversed, completed pending later by the test (TakeHeldIrp).
constexpr ULONG kIoctlReverse = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
// Buffered: commits the fault named by the first input byte (a Fault).
constexpr ULONG kIoctlFault = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);

enum class Fault : unsigned char {
    None,
    CompleteTwice,
    CompleteWhileLowerOwns,
    PendingWithoutMark,
    PendingPassedDownWithoutMark,  // its completion routine forgets to propagate the mark
    StackOverrun,
    FreeTwice,
    FreeForeign,
    FreeWithWrongTag,
    LeakPoolAtUnload,      // allocates; the unload then finds it
    LeakIrpAtRemoval,      // keeps the request and deletes the device at removal
    UnbalancedReference,
    MarkPendingReturnSuccess,
    CompleteWithPending,
    HaltAndForget,  // a request of its own whose completion routine keeps it, never freed
};

// What the drivers share with the test; reset by Reset().
struct TestWorld {
    platform::Clock* clock = nullptr;
    PDRIVER_OBJECT busDriver = nullptr;
    std::deque<PIRP> busHeld;  // reads, writes and controls that reached a PDO; clock mutex
    std::deque<PIRP> fdoHeld;  // requests the function driver keeps pending; clock mutex
    PDEVICE_OBJECT fdo = nullptr;
    PVOID leakedPool = nullptr;
};
TestWorld& World();
void Reset(platform::Clock& clock);

DRIVER_INITIALIZE BusDriverEntry;
DRIVER_INITIALIZE FunctionDriverEntry;

// A physical device object of the bus driver, ready to be found by the PnP manager.
PDEVICE_OBJECT CreatePdo();

// Waits on the clock for a request held by the bus driver (or the function driver) and takes it.
PIRP TakeHeldIrp(std::deque<PIRP>& queue);

}  // namespace kernel_test
