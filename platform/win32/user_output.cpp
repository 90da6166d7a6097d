// What a program shows its user or debugger: OutputDebugStringA into the machine's debug log,
// MessageBoxA recorded for tests.
#include <mutex>

#include "message_boxes.h"
#include "session.h"
#include "windows.h"

namespace platform::win32 {
namespace {

struct MessageBoxRecord {
    std::mutex mutex;
    std::uint64_t generation = 0;
    std::vector<RecordedMessageBox> boxes;
};

MessageBoxRecord& TheRecord() {
    static MessageBoxRecord record;
    return record;
}

// With the record's mutex held: forgets boxes shown under an earlier boot.
std::vector<RecordedMessageBox>& CurrentBoxes(MessageBoxRecord& record, std::uint64_t generation) {
    if (record.generation != generation) {
        record.boxes.clear();
        record.generation = generation;
    }
    return record.boxes;
}

}  // namespace

std::vector<RecordedMessageBox> RecordedMessageBoxes() {
    const std::uint64_t generation = CurrentGeneration();
    MessageBoxRecord& record = TheRecord();
    std::lock_guard lock(record.mutex);
    return CurrentBoxes(record, generation);
}

void ClearRecordedMessageBoxes() {
    const std::uint64_t generation = CurrentGeneration();
    MessageBoxRecord& record = TheRecord();
    std::lock_guard lock(record.mutex);
    CurrentBoxes(record, generation).clear();
}

}  // namespace platform::win32

extern "C" void WINAPI OutputDebugStringA(LPCSTR lpOutputString) {
    const auto session = platform::win32::CurrentSession();
    if (!session || lpOutputString == nullptr) return;
    session->kernel.log().Write(platform::kernel::DebugLog::Source::User, lpOutputString);
}

extern "C" int WINAPI MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType) {
    using namespace platform::win32;
    const std::uint64_t generation = CurrentGeneration();
    MessageBoxRecord& record = TheRecord();
    std::lock_guard lock(record.mutex);
    // Windows shows "Error" as the caption when none is given.
    CurrentBoxes(record, generation)
        .push_back({hWnd, lpText ? lpText : "", lpCaption ? lpCaption : "Error", uType});
    return IDOK;
}
