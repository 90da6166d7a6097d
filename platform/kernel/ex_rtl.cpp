// Executive pool, run-time library strings and DbgPrint.
#include <cstdio>
#include <cwchar>
#include <vector>

#include "kernel_state.h"

namespace platform::kernel {

namespace {

constexpr ULONG kStringTag = 0x67727453;  // "Strg": strings the run-time library allocates
constexpr ULONG kUntaggedTag = 0x656E6F4E;  // "None": ExAllocatePool

void ChargeTagToRunningDriver(Kernel& kernel, ULONG tag) {
    PDRIVER_OBJECT driver = DriverCodeScope::Current();
    if (driver == nullptr) return;
    KernelState& state = kernel.state();
    std::lock_guard lock(state.lock);
    auto it = state.drivers.find(driver);
    if (it != state.drivers.end()) it->second->tags.insert(tag);
}

}  // namespace

}  // namespace platform::kernel

using namespace platform::kernel;

extern "C" {

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    UNREFERENCED_PARAMETER(PoolType);
    Kernel& kernel = CurrentKernel();
    ChargeTagToRunningDriver(kernel, Tag);
    return kernel.verifier().Allocate(NumberOfBytes, Tag);
}

PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
    return ExAllocatePoolWithTag(PoolType, NumberOfBytes, kUntaggedTag);
}

VOID ExFreePool(PVOID P) { CurrentKernel().verifier().Free(P, std::nullopt); }

VOID ExFreePoolWithTag(PVOID P, ULONG Tag) { CurrentKernel().verifier().Free(P, Tag); }

VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
    if (SourceString == nullptr) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        return;
    }
    std::size_t bytes = std::wcslen(SourceString) * sizeof(WCHAR);
    if (bytes > 0xFFFC) bytes = 0xFFFC;
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
}

VOID RtlInitAnsiString(PANSI_STRING DestinationString, PCSTR SourceString) {
    DestinationString->Buffer = const_cast<PCHAR>(SourceString);
    if (SourceString == nullptr) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        return;
    }
    std::size_t bytes = std::strlen(SourceString);
    if (bytes > 0xFFFE) bytes = 0xFFFE;
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + 1);
}

NTSTATUS RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString,
                                      PCUNICODE_STRING SourceString,
                                      BOOLEAN AllocateDestinationString) {
    std::size_t characters = SourceString->Length / sizeof(WCHAR);
    if (characters + 1 > 0xFFFF) return STATUS_INVALID_PARAMETER_2;
    if (AllocateDestinationString) {
        auto* buffer = static_cast<PCHAR>(ExAllocatePoolWithTag(PagedPool, characters + 1, kStringTag));
        if (buffer == nullptr) return STATUS_NO_MEMORY;
        DestinationString->Buffer = buffer;
        DestinationString->MaximumLength = static_cast<USHORT>(characters + 1);
    } else if (DestinationString->MaximumLength <= characters) {
        return STATUS_BUFFER_OVERFLOW;
    }
    for (std::size_t i = 0; i < characters; ++i) {
        WCHAR c = SourceString->Buffer[i];
        DestinationString->Buffer[i] = c < 0x80 ? static_cast<CHAR>(c) : '?';
    }
    DestinationString->Buffer[characters] = '\0';
    DestinationString->Length = static_cast<USHORT>(characters);
    return STATUS_SUCCESS;
}

VOID RtlFreeAnsiString(PANSI_STRING AnsiString) {
    if (AnsiString->Buffer == nullptr) return;
    ExFreePoolWithTag(AnsiString->Buffer, kStringTag);
    AnsiString->Buffer = nullptr;
    AnsiString->Length = AnsiString->MaximumLength = 0;
}

LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                             BOOLEAN CaseInSensitive) {
    std::size_t length1 = String1->Length / sizeof(WCHAR);
    std::size_t length2 = String2->Length / sizeof(WCHAR);
    for (std::size_t i = 0; i < length1 && i < length2; ++i) {
        wint_t a = String1->Buffer[i];
        wint_t b = String2->Buffer[i];
        if (CaseInSensitive) {
            a = std::towupper(a);
            b = std::towupper(b);
        }
        if (a != b) return static_cast<LONG>(a) - static_cast<LONG>(b);
    }
    return static_cast<LONG>(length1) - static_cast<LONG>(length2);
}

ULONG DbgPrint(PCSTR Format, ...) {
    char small[512];
    va_list args;
    va_start(args, Format);
    va_list again;
    va_copy(again, args);
    int length = std::vsnprintf(small, sizeof small, Format, args);
    va_end(args);
    if (length < 0) {
        va_end(again);
        return static_cast<ULONG>(STATUS_INVALID_PARAMETER);
    }
    std::string_view text(small, static_cast<std::size_t>(length));
    std::vector<char> large;
    if (static_cast<std::size_t>(length) >= sizeof small) {
        large.resize(static_cast<std::size_t>(length) + 1);
        std::vsnprintf(large.data(), large.size(), Format, again);
        text = std::string_view(large.data(), static_cast<std::size_t>(length));
    }
    va_end(again);
    CurrentKernel().log().Write(DebugLog::Source::Kernel, text);
    return STATUS_SUCCESS;
}

}  // extern "C"
