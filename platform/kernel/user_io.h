// How user mode reaches drivers: the I/O manager's half of CreateFile, CloseHandle,
// DeviceIoControl, ReadFile and WriteFile and CancelIo. The Win32 stand-in builds on exactly this.
#pragma once

#include <functional>
#include <string_view>

#include "wdm.h"

namespace platform::kernel {

class Kernel;
struct FileObject;

// Runs exactly once, when the IRP is completed, on whichever thread completes it, after the
// output has been copied back to the caller's buffer. A request refused before any IRP exists
// (a missing buffer, a device already deleted) returns its error and never calls it.
using IoCompletion = std::function<void(NTSTATUS status, ULONG_PTR information)>;

// "\\.\NAME" resolves through the symbolic link \DosDevices\NAME to a device; the request goes
// to the top of that device's stack. IRP_MJ_CREATE is sent and waited for; on success *file
// is the open file, on failure it is null.
NTSTATUS OpenFile(Kernel& kernel, std::string_view win32Path, FileObject** file);

// IRP_MJ_CLEANUP then IRP_MJ_CLOSE, both waited for; frees `file`.
NTSTATUS CloseFile(Kernel& kernel, FileObject* file);

// Build the IRP the way the I/O manager does, call the driver, and return what its dispatch
// returned (STATUS_PENDING: `done` follows later). METHOD_BUFFERED: one system buffer of
// max(in, out) bytes, input copied in, Information bytes copied out at completion. Direct
// methods: input in the system buffer, output described by an MDL. Reads and writes: an MDL
// over the caller's buffer for DO_DIRECT_IO devices, a system buffer for DO_BUFFERED_IO.
NTSTATUS SendDeviceControl(Kernel& kernel, FileObject* file, ULONG code, const void* in,
                           ULONG inLength, void* out, ULONG outLength, IoCompletion done);
NTSTATUS SendRead(Kernel& kernel, FileObject* file, void* buffer, ULONG length,
                  IoCompletion done);
NTSTATUS SendWrite(Kernel& kernel, FileObject* file, const void* buffer, ULONG length,
                   IoCompletion done);

// IoCancelIrp on every outstanding IRP of the file; their completions follow as usual.
void CancelFileIo(Kernel& kernel, FileObject* file);

}  // namespace platform::kernel
