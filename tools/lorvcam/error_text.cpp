#include "error_text.h"

#include <windows.h>

#include <cstdio>

namespace lorvcam {

std::string SystemErrorText(unsigned long error)
{
    char text[256] = {};
    if (!FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text,
                        sizeof text, nullptr))
        std::snprintf(text, sizeof text, "error %lu", error);
    std::string result = text;
    while (!result.empty() && (result.back() == '\n' || result.back() == '\r' || result.back() == ' ' ||
                               result.back() == '.'))
        result.pop_back();
    return result;
}

}  // namespace lorvcam
