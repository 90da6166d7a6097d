// FormatMessageA for system messages: Windows' English texts of the errors this system can
// report. Other message sources are not part of this system and are refused.
#include <cstring>
#include <string_view>

#include "error_translation.h"
#include "windows.h"

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
    (void)lpSource;  // only read for FROM_STRING and FROM_HMODULE, which are refused
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
    // Substituting inserts needs arguments this system never passes; without them Windows
    // refuses rather than read what is not there.
    if (!(dwFlags & FORMAT_MESSAGE_IGNORE_INSERTS) && HasInserts(text)) {
        (void)Arguments;
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
