// Win32 errors: the one place where kernel statuses become error codes, the calling thread's
// last error, and the system texts that FormatMessageA gives for them.
#pragma once

#include "windows.h"
#include "ntstatus.h"

#include <optional>
#include <string_view>

namespace platform::win32 {

// RtlNtStatusToDosError: the error a Win32 caller sees for a completed request's status.
DWORD DosErrorFromNtStatus(NTSTATUS status);

// The English system text of an error code, "\r\n" included, as FormatMessageA returns it;
// nothing for a code without a text.
std::optional<std::string_view> SystemMessageText(DWORD error);

// SetLastError(DosErrorFromNtStatus(status)), for the failure paths of the API.
void SetLastNtError(NTSTATUS status);

}  // namespace platform::win32
