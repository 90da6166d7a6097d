// The system's own sentence for a Win32 error code.
#pragma once

#include <string>

namespace lorvcam {

// FormatMessage's text without its line break, or "error N" when the system has none.
std::string SystemErrorText(unsigned long error);

}  // namespace lorvcam
