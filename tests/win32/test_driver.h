// A small legacy-style driver for the Win32 tests: DriverEntry creates \Device\W32TEST (direct
// I/O) and the link \DosDevices\W32TEST. Requests the test wants to finish itself are queued
// pending, cancellable, until a helper thread takes them.
#pragma once

#include <string>
#include <vector>

#include "kernel.h"

namespace win32_test {

constexpr const char* kDevicePath = "\\\\.\\W32TEST";

// Control codes of the test device (METHOD_BUFFERED).
constexpr ULONG kIoctlPending = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kIoctlFail = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x901, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kIoctlNotImplemented =
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x902, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kIoctlEcho = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x903, METHOD_BUFFERED, FILE_ANY_ACCESS);

DRIVER_INITIALIZE TestDriverEntry;

// Major functions the driver has seen, in order ("create", "cleanup", "close", ...).
std::vector<std::string> SeenRequests();

// Waits on the clock for the next queued request and takes it (no longer cancellable).
PIRP TakeQueuedIrp(platform::Clock& clock);
// How many requests wait in the queue.
std::size_t QueuedIrps(platform::Clock& clock);

// Completes a taken request with `status` and `information`.
void Complete(PIRP irp, NTSTATUS status, ULONG_PTR information);

}  // namespace win32_test
