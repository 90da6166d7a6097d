// Error translation, system texts, wsprintfA, the heap and message boxes: the parts of the
// Win32 stand-in that need no device.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

#include "windows.h"
#include "errors.h"
#include "heap.h"
#include "message_boxes.h"
#include "session.h"

namespace {

using platform::win32::DosErrorFromNtStatus;
using platform::win32::SystemMessageText;

class Win32Text : public ::testing::Test {
protected:
    void SetUp() override { platform::win32::ResetProcessState(); }
};

std::string SystemText(DWORD error) {
    LPSTR text = nullptr;
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM,
                                        nullptr, error, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                        reinterpret_cast<LPSTR>(&text), 0, nullptr);
    if (length == 0) return "<none>";
    std::string result(text, length);
    EXPECT_EQ(LocalFree(text), nullptr);
    return result;
}

TEST_F(Win32Text, StatusesOfTheControlInterfaceReachTheCallerAsWindowsErrors) {
    EXPECT_EQ(DosErrorFromNtStatus(STATUS_SUCCESS), 0u);
    EXPECT_EQ(DosErrorFromNtStatus(STATUS_PENDING), ERROR_IO_PENDING);
    EXPECT_EQ(DosErrorFromNtStatus(STATUS_UNSUCCESSFUL), 31u);
    EXPECT_EQ(DosErrorFromNtStatus(STATUS_NOT_IMPLEMENTED), 1u);
    EXPECT_EQ(DosErrorFromNtStatus(STATUS_INVALID_PARAMETER), 87u);
    EXPECT_EQ(DosErrorFromNtStatus(STATUS_NO_MEMORY), 8u);
    EXPECT_EQ(DosErrorFromNtStatus(STATUS_CANCELLED), 995u);
    EXPECT_EQ(DosErrorFromNtStatus(STATUS_OBJECT_NAME_NOT_FOUND), 2u);
    EXPECT_EQ(DosErrorFromNtStatus(STATUS_DEVICE_NOT_CONNECTED), 1167u);
    EXPECT_EQ(DosErrorFromNtStatus(STATUS_INSUFFICIENT_RESOURCES), 1450u);
    EXPECT_EQ(DosErrorFromNtStatus(STATUS_IO_TIMEOUT), 121u);
    // A Win32 error carried in a status comes back out; anything else has no mapping.
    EXPECT_EQ(DosErrorFromNtStatus(static_cast<NTSTATUS>(0xC0070020)), 0x20u);
    EXPECT_EQ(DosErrorFromNtStatus(static_cast<NTSTATUS>(0xC0DE0001)), ERROR_MR_MID_NOT_FOUND);
}

TEST_F(Win32Text, EveryTranslatedStatusHasASystemText) {
    // A status whose error has no text would leave the library's diagnostic line empty.
    const NTSTATUS statuses[] = {
        STATUS_UNSUCCESSFUL,          STATUS_NOT_IMPLEMENTED,       STATUS_INVALID_HANDLE,
        STATUS_INVALID_PARAMETER,     STATUS_NO_SUCH_DEVICE,        STATUS_INVALID_DEVICE_REQUEST,
        STATUS_END_OF_FILE,           STATUS_NO_MEMORY,             STATUS_MORE_PROCESSING_REQUIRED,
        STATUS_ACCESS_DENIED,         STATUS_BUFFER_TOO_SMALL,      STATUS_OBJECT_NAME_INVALID,
        STATUS_OBJECT_NAME_NOT_FOUND, STATUS_OBJECT_NAME_COLLISION, STATUS_OBJECT_PATH_NOT_FOUND,
        STATUS_DELETE_PENDING,        STATUS_INSUFFICIENT_RESOURCES, STATUS_DEVICE_DATA_ERROR,
        STATUS_DEVICE_NOT_CONNECTED,  STATUS_IO_TIMEOUT,            STATUS_NOT_SUPPORTED,
        STATUS_CANCELLED,             STATUS_DEVICE_REMOVED,        STATUS_TIMEOUT,
        STATUS_PENDING,               static_cast<NTSTATUS>(0xC0DE0001)};
    for (NTSTATUS status : statuses) {
        EXPECT_TRUE(SystemMessageText(DosErrorFromNtStatus(status)).has_value())
            << std::hex << status;
    }
}

TEST_F(Win32Text, FormatMessageGivesWindowsOwnTexts) {
    EXPECT_EQ(SystemText(31), "A device attached to the system is not functioning.\r\n");
    EXPECT_EQ(SystemText(1), "Incorrect function.\r\n");
    EXPECT_EQ(SystemText(87), "The parameter is incorrect.\r\n");
    EXPECT_EQ(SystemText(2), "The system cannot find the file specified.\r\n");
    EXPECT_EQ(SystemText(995),
              "The I/O operation has been aborted because of either a thread exit or an "
              "application request.\r\n");
    EXPECT_EQ(SystemText(6), "The handle is invalid.\r\n");
    EXPECT_EQ(SystemText(8), "Not enough memory resources are available to process this command.\r\n");
    EXPECT_EQ(platform::win32::LiveLocalBlocks(), 0u);
}

TEST_F(Win32Text, FormatMessageFailuresAreReportedAndAllocateNothing) {
    LPSTR text = nullptr;
    const DWORD systemAllocate = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM;
    EXPECT_EQ(FormatMessageA(systemAllocate, nullptr, 0xDEAD, 0, reinterpret_cast<LPSTR>(&text), 0,
                             nullptr),
              0u);
    EXPECT_EQ(GetLastError(), ERROR_MR_MID_NOT_FOUND);
    EXPECT_EQ(text, nullptr);

    char small[8];
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 31, 0, small, sizeof small, nullptr),
              0u);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);

    // The "message not found" text has inserts: without arguments it needs IGNORE_INSERTS.
    EXPECT_EQ(FormatMessageA(systemAllocate, nullptr, ERROR_MR_MID_NOT_FOUND, 0,
                             reinterpret_cast<LPSTR>(&text), 0, nullptr),
              0u);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    char fits[256];
    EXPECT_GT(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             ERROR_MR_MID_NOT_FOUND, 0, fits, sizeof fits, nullptr),
              0u);
    EXPECT_NE(std::strstr(fits, "0x%1"), nullptr);

    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 31, MAKELANGID(0x07, 0x01), fits,
                             sizeof fits, nullptr),
              0u);
    EXPECT_EQ(GetLastError(), ERROR_RESOURCE_LANG_NOT_FOUND);
    EXPECT_EQ(platform::win32::LiveLocalBlocks(), 0u);
}

TEST_F(Win32Text, EveryDiagnosticLineFitsTheLibrarysLineBuffer) {
    // The library composes "\nLorvProbe : %08X - %s" into 128 characters with wsprintfA.
    for (DWORD error = 0; error < 2000; ++error) {
        const auto text = SystemMessageText(error);
        if (!text) continue;
        char line[1024];
        const int length = wsprintfA(line, "\nLorvProbe : %08X - %s", error, std::string(*text).c_str());
        EXPECT_LT(length, 128) << error;
        EXPECT_EQ(static_cast<int>(std::strlen(line)), length);
    }
    char line[128];
    wsprintfA(line, "\nLorvProbe : %08X - %s", 31u, SystemText(31).c_str());
    EXPECT_STREQ(line, "\nLorvProbe : 0000001F - A device attached to the system is not functioning.\r\n");
}

std::string Format(const char* format, ...) {
    char buffer[1100];
    std::memset(buffer, '#', sizeof buffer);
    va_list arguments;
    va_start(arguments, format);
    const int length = wvsprintfA(buffer, format, arguments);
    va_end(arguments);
    EXPECT_EQ(static_cast<int>(std::strlen(buffer)), length);
    return buffer;
}

TEST(WsprintfA, FormatsItsOwnSubsetOfConversions) {
    EXPECT_EQ(Format("%d|%i|%u", -42, 7, 4000000000u), "-42|7|4000000000");
    EXPECT_EQ(Format("%x|%X|%08X|%#x", 0xBEEFu, 0xBEEFu, 0xC0000001u, 0x1Fu),
              "beef|BEEF|C0000001|0x1f");
    EXPECT_EQ(Format("[%5d][%-5d][%05d][%.3d]", 42, 42, -42, 7), "[   42][42   ][-0042][007]");
    EXPECT_EQ(Format("%ld|%lu|%lx", LONG{-1}, ULONG{0xFFFFFFFF}, ULONG{0xABC}), "-1|4294967295|abc");
    EXPECT_EQ(Format("%s|%.3s|%6s|%-4s|", "text", "abcdef", "ab", "x"), "text|abc|    ab|x   |");
    EXPECT_EQ(Format("%c%c|%%|%s", 'o', 'k', static_cast<const char*>(nullptr)), "ok|%|(null)");
    EXPECT_EQ(Format("%ls|%S", L"wide", L"too"), "wide|too");
    // No floating point: the letter is printed and no argument is taken.
    EXPECT_EQ(Format("%f%d", 5), "f5");
    EXPECT_EQ(Format("%d%", 1), "1");
}

TEST(WsprintfA, WritesAtMost1024CharactersWithTheTerminator) {
    const std::string long_text(3000, 'a');
    const std::string result = Format("<%s>", long_text.c_str());
    EXPECT_EQ(result.size(), 1023u);
    EXPECT_EQ(result.front(), '<');
    EXPECT_EQ(Format("%2000d", 1).size(), 1023u);
}

class Win32Heap : public ::testing::Test {
protected:
    void SetUp() override { platform::win32::ResetProcessState(); }
    void TearDown() override { platform::win32::StopFailingHeapAllocations(); }
};

TEST_F(Win32Heap, ZeroInitAndFreeingFollowWindows) {
    auto* zeroed = static_cast<unsigned char*>(LocalAlloc(LPTR, 516));
    auto* plain = static_cast<unsigned char*>(GlobalAlloc(GMEM_FIXED, 64));
    ASSERT_NE(zeroed, nullptr);
    ASSERT_NE(plain, nullptr);
    for (int i = 0; i < 516; ++i) ASSERT_EQ(zeroed[i], 0) << i;
    EXPECT_NE(plain[0], 0);  // not zero-filled unless asked
    EXPECT_EQ(platform::win32::LiveLocalBlocks(), 1u);
    EXPECT_EQ(platform::win32::LiveGlobalBlocks(), 1u);

    EXPECT_EQ(LocalFree(zeroed), nullptr);
    EXPECT_EQ(GlobalFree(plain), nullptr);
    EXPECT_EQ(platform::win32::LiveLocalBlocks(), 0u);
    EXPECT_EQ(platform::win32::LiveGlobalBlocks(), 0u);
    EXPECT_EQ(LocalFree(nullptr), nullptr);
}

// Where Application Verifier stops, so does this heap; a request it cannot serve still fails.
using Win32HeapDeathTest = Win32Heap;

TEST_F(Win32HeapDeathTest, StopsOnBadFreesAndWritesOutsideABlock) {
    auto* block = static_cast<unsigned char*>(GlobalAlloc(GPTR, 32));
    EXPECT_DEATH(GlobalFree(block + 8),
                 "APP VERIFIER: GlobalFree of 0x[0-9a-f]+, inside GlobalAlloc block 0x[0-9a-f]+ of "
                 "32 bytes from win32_tests");
    int notFromTheHeap = 0;
    EXPECT_DEATH(LocalFree(&notFromTheHeap),
                 "APP VERIFIER: LocalFree of 0x[0-9a-f]+, which is not a live block");
    block[32] = 1;
    EXPECT_DEATH(GlobalFree(block), "APP VERIFIER: write past the end of GlobalAlloc block .* of 32");
    block[32] = 0xFD;
    block[-1] = 1;
    EXPECT_DEATH(GlobalFree(block), "APP VERIFIER: write before the start of GlobalAlloc block");
    block[-1] = 0xFD;
    ASSERT_EQ(GlobalFree(block), nullptr);
    EXPECT_DEATH(GlobalFree(block), "APP VERIFIER: GlobalFree of 0x[0-9a-f]+, which is not a live block");
    // Moveable memory needs LocalLock, which this system never uses.
    EXPECT_EQ(LocalAlloc(LMEM_MOVEABLE, 16), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(Win32Heap, InjectedFailureHitsExactlyTheNthAllocation) {
    platform::win32::FailNthHeapAllocation(2);
    void* first = GlobalAlloc(GPTR, 8);
    void* second = GlobalAlloc(GPTR, 8);
    void* third = LocalAlloc(LPTR, 8);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_NE(third, nullptr);
    EXPECT_EQ(platform::win32::LiveGlobalBlocks(), 1u);
    GlobalFree(first);
    LocalFree(third);
}

TEST(Win32MessageBox, IsRecordedAndAnsweredWithOk) {
    platform::win32::ResetProcessState();
    EXPECT_EQ(MessageBoxA(nullptr, "uss720", "uss720 write err\n", MB_OK), IDOK);
    const auto boxes = platform::win32::RecordedMessageBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].owner, nullptr);
    EXPECT_EQ(boxes[0].text, "uss720");
    EXPECT_EQ(boxes[0].caption, "uss720 write err\n");
    EXPECT_EQ(boxes[0].type, static_cast<UINT>(MB_OK));
    platform::win32::ClearRecordedMessageBoxes();
    EXPECT_TRUE(platform::win32::RecordedMessageBoxes().empty());
}

TEST(Win32LastError, BelongsToTheCallingThread) {
    platform::win32::ResetProcessState();
    SetLastError(ERROR_GEN_FAILURE);
    DWORD seenByOther = 1234;
    std::thread other([&] {
        seenByOther = GetLastError();
        SetLastError(ERROR_INVALID_HANDLE);
    });
    other.join();
    EXPECT_EQ(seenByOther, 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
    platform::win32::ResetProcessState();
    EXPECT_EQ(GetLastError(), 0u);  // nothing survives into the next boot
}

}  // namespace
