#include "errors.h"

#include <array>
#include <cstring>
#include <utility>

#include "session.h"

namespace platform::win32 {
namespace {

struct StatusMapping {
    NTSTATUS status;
    DWORD error;
};

// Windows' own mapping for every status that the kernel stand-in, the bus driver and the
// drivers can complete a request with.
constexpr std::array kStatusMappings{
    StatusMapping{STATUS_SUCCESS, ERROR_SUCCESS},
    StatusMapping{STATUS_TIMEOUT, WAIT_TIMEOUT},
    StatusMapping{STATUS_PENDING, ERROR_IO_PENDING},
    StatusMapping{STATUS_UNSUCCESSFUL, ERROR_GEN_FAILURE},
    StatusMapping{STATUS_NOT_IMPLEMENTED, ERROR_INVALID_FUNCTION},
    StatusMapping{STATUS_INVALID_HANDLE, ERROR_INVALID_HANDLE},
    StatusMapping{STATUS_INVALID_PARAMETER, ERROR_INVALID_PARAMETER},
    StatusMapping{STATUS_NO_SUCH_DEVICE, ERROR_FILE_NOT_FOUND},
    StatusMapping{STATUS_INVALID_DEVICE_REQUEST, ERROR_INVALID_FUNCTION},
    StatusMapping{STATUS_END_OF_FILE, ERROR_HANDLE_EOF},
    StatusMapping{STATUS_NO_MEMORY, ERROR_NOT_ENOUGH_MEMORY},
    StatusMapping{STATUS_MORE_PROCESSING_REQUIRED, ERROR_MORE_DATA},
    StatusMapping{STATUS_ACCESS_DENIED, ERROR_ACCESS_DENIED},
    StatusMapping{STATUS_BUFFER_TOO_SMALL, ERROR_INSUFFICIENT_BUFFER},
    StatusMapping{STATUS_OBJECT_NAME_INVALID, ERROR_INVALID_NAME},
    StatusMapping{STATUS_OBJECT_NAME_NOT_FOUND, ERROR_FILE_NOT_FOUND},
    StatusMapping{STATUS_OBJECT_NAME_COLLISION, ERROR_ALREADY_EXISTS},
    StatusMapping{STATUS_OBJECT_PATH_NOT_FOUND, ERROR_PATH_NOT_FOUND},
    StatusMapping{STATUS_DELETE_PENDING, ERROR_ACCESS_DENIED},
    StatusMapping{STATUS_INSUFFICIENT_RESOURCES, ERROR_NO_SYSTEM_RESOURCES},
    StatusMapping{STATUS_DEVICE_DATA_ERROR, ERROR_CRC},
    StatusMapping{STATUS_DEVICE_NOT_CONNECTED, ERROR_DEVICE_NOT_CONNECTED},
    StatusMapping{STATUS_IO_TIMEOUT, ERROR_SEM_TIMEOUT},
    StatusMapping{STATUS_NOT_SUPPORTED, ERROR_NOT_SUPPORTED},
    StatusMapping{STATUS_CANCELLED, ERROR_OPERATION_ABORTED},
    StatusMapping{STATUS_DEVICE_REMOVED, ERROR_DEV_NOT_EXIST},
};

// Windows' English texts. Only codes that this system can report are listed; FormatMessageA
// fails for the rest as Windows does for a code it has no text for.
constexpr std::array<std::pair<DWORD, std::string_view>, 33> kSystemTexts{{
    {ERROR_SUCCESS, "The operation completed successfully.\r\n"},
    {ERROR_INVALID_FUNCTION, "Incorrect function.\r\n"},
    {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified.\r\n"},
    {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified.\r\n"},
    {ERROR_ACCESS_DENIED, "Access is denied.\r\n"},
    {ERROR_INVALID_HANDLE, "The handle is invalid.\r\n"},
    {ERROR_NOT_ENOUGH_MEMORY, "Not enough memory resources are available to process this command.\r\n"},
    {ERROR_NOT_READY, "The device is not ready.\r\n"},
    {ERROR_CRC, "Data error (cyclic redundancy check).\r\n"},
    {ERROR_GEN_FAILURE, "A device attached to the system is not functioning.\r\n"},
    {ERROR_HANDLE_EOF, "Reached the end of the file.\r\n"},
    {ERROR_NOT_SUPPORTED, "The request is not supported.\r\n"},
    {ERROR_DEV_NOT_EXIST, "The specified network resource or device is no longer available.\r\n"},
    {ERROR_INVALID_PARAMETER, "The parameter is incorrect.\r\n"},
    {ERROR_SEM_TIMEOUT, "The semaphore timeout period has expired.\r\n"},
    {ERROR_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small.\r\n"},
    {ERROR_INVALID_NAME, "The filename, directory name, or volume label syntax is incorrect.\r\n"},
    {ERROR_ALREADY_EXISTS, "Cannot create a file when that file already exists.\r\n"},
    {ERROR_MORE_DATA, "More data is available.\r\n"},
    {WAIT_TIMEOUT, "The wait operation timed out.\r\n"},
    {ERROR_MR_MID_NOT_FOUND,
     "The system cannot find message text for message number 0x%1 in the message file for %2.\r\n"},
    {ERROR_OPERATION_ABORTED,
     "The I/O operation has been aborted because of either a thread exit or an application "
     "request.\r\n"},
    {ERROR_IO_INCOMPLETE, "Overlapped I/O event is not in a signaled state.\r\n"},
    {ERROR_IO_PENDING, "Overlapped I/O operation is in progress.\r\n"},
    {ERROR_NOACCESS, "Invalid access to memory location.\r\n"},
    {ERROR_IO_DEVICE, "The request could not be performed because of an I/O device error.\r\n"},
    {ERROR_DEVICE_NOT_CONNECTED, "The device is not connected.\r\n"},
    {ERROR_NOT_FOUND, "Element not found.\r\n"},
    {ERROR_NO_SYSTEM_RESOURCES,
     "Insufficient system resources exist to complete the requested service.\r\n"},
    {ERROR_TIMEOUT, "This operation returned because the timeout period expired.\r\n"},
    {ERROR_DEVICE_REMOVED, "The device has been removed.\r\n"},
    {ERROR_INVALID_USER_BUFFER, "The supplied user buffer is not valid for the requested operation.\r\n"},
    {ERROR_RESOURCE_LANG_NOT_FOUND,
     "The specified resource language ID cannot be found in the image file.\r\n"},
}};

constexpr ULONG kFacilityMask = 0x0FFF0000;
constexpr ULONG kFacilityWin32 = 0x00070000;  // FACILITY_NTWIN32: the status carries the error

}  // namespace

DWORD DosErrorFromNtStatus(NTSTATUS status) {
    for (const StatusMapping& mapping : kStatusMappings) {
        if (mapping.status == status) return mapping.error;
    }
    const ULONG bits = static_cast<ULONG>(status);
    if ((bits & kFacilityMask) == kFacilityWin32) return bits & 0xFFFF;
    return ERROR_MR_MID_NOT_FOUND;  // Windows' answer for a status it has no mapping for
}

std::optional<std::string_view> SystemMessageText(DWORD error) {
    for (const auto& [code, text] : kSystemTexts) {
        if (code == error) return text;
    }
    return std::nullopt;
}

void SetLastNtError(NTSTATUS status) { SetLastError(DosErrorFromNtStatus(status)); }

}  // namespace platform::win32

// The calling thread's last error. A value left by an earlier boot reads as 0.
namespace {

struct LastError {
    std::uint64_t generation = 0;
    DWORD error = ERROR_SUCCESS;
};

thread_local LastError tLastError;

}  // namespace

extern "C" DWORD WINAPI GetLastError(void) {
    if (tLastError.generation != platform::win32::CurrentGeneration()) return ERROR_SUCCESS;
    return tLastError.error;
}

extern "C" void WINAPI SetLastError(DWORD dwErrCode) {
    tLastError = {platform::win32::CurrentGeneration(), dwErrCode};
}

// FormatMessageA for system messages only: other message sources are not part of this system
// and are refused.
namespace {

constexpr DWORD kLanguageNeutralDefault = MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT);
constexpr DWORD kLanguageEnglishUs = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);

bool HasInserts(std::string_view text) {
    for (std::size_t i = 0; i + 1 < text.size(); ++i) {
        if (text[i] == '%' && text[i + 1] >= '1' && text[i + 1] <= '9') return true;
    }
    return false;
}

DWORD Fail(DWORD error) {
    SetLastError(error);
    return 0;
}

}  // namespace

extern "C" DWORD WINAPI FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId,
                                       DWORD dwLanguageId, LPSTR lpBuffer, DWORD nSize,
                                       va_list* Arguments) {
    // Sources are read only for FROM_STRING and FROM_HMODULE, and arguments only to fill
    // inserts; both are refused below.
    (void)lpSource, (void)Arguments;
    constexpr DWORD kUnsupported = FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_FROM_HMODULE |
                                   FORMAT_MESSAGE_ARGUMENT_ARRAY | FORMAT_MESSAGE_MAX_WIDTH_MASK;
    if (!(dwFlags & FORMAT_MESSAGE_FROM_SYSTEM) || (dwFlags & kUnsupported) || lpBuffer == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if (dwLanguageId != 0 && dwLanguageId != kLanguageNeutralDefault &&
        dwLanguageId != kLanguageEnglishUs) {
        return Fail(ERROR_RESOURCE_LANG_NOT_FOUND);
    }
    const std::optional<std::string_view> found = platform::win32::SystemMessageText(dwMessageId);
    if (!found) return Fail(ERROR_MR_MID_NOT_FOUND);
    const std::string_view text = *found;
    // Filling inserts needs arguments, which this system never passes: refuse, as Windows does
    // without them, rather than read what is not there.
    if (!(dwFlags & FORMAT_MESSAGE_IGNORE_INSERTS) && HasInserts(text)) {
        return Fail(ERROR_INVALID_PARAMETER);
    }

    const DWORD length = static_cast<DWORD>(text.size());
    char* destination;
    if (dwFlags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
        // lpBuffer is really an LPSTR* that receives a LocalAlloc'd text of at least nSize.
        const SIZE_T bytes = length + 1 > nSize ? length + 1 : nSize;
        destination = static_cast<char*>(LocalAlloc(LMEM_FIXED, bytes));
        if (destination == nullptr) return Fail(ERROR_NOT_ENOUGH_MEMORY);
        *reinterpret_cast<LPSTR*>(lpBuffer) = destination;
    } else {
        if (nSize < length + 1) return Fail(ERROR_INSUFFICIENT_BUFFER);
        destination = lpBuffer;
    }
    std::memcpy(destination, text.data(), length);
    destination[length] = '\0';
    return length;
}
