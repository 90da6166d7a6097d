// MessageBoxA has no person to answer it here: each box is recorded for tests to read and
// answered with IDOK at once.
#pragma once

#include "windows.h"

#include <string>
#include <vector>

namespace platform::win32 {

struct RecordedMessageBox {
    HWND owner;
    std::string text;
    std::string caption;
    UINT type;
};

// The boxes shown since the current kernel booted, oldest first.
std::vector<RecordedMessageBox> RecordedMessageBoxes();
void ClearRecordedMessageBoxes();

}  // namespace platform::win32
