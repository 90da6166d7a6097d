// wsprintfA: Windows' own small formatter, not printf. It knows no floating point, no '*'
// width and no 64-bit sizes; 'l' means LONG (32 bits); output stops at 1024 characters with
// the terminator. An unknown conversion prints its letter and takes no argument.
#include "windows.h"

#include <cstddef>
#include <cstring>
#include <cwchar>
#include <string_view>

namespace {

constexpr std::size_t kMaxOutput = 1024;  // characters, terminator included
constexpr int kMaxField = 1024;          // a wider field could not be written anyway

class Output {
public:
    explicit Output(LPSTR buffer) : buffer_(buffer) {}

    void Put(char c) {
        if (length_ + 1 < kMaxOutput) buffer_[length_++] = c;
    }
    void Repeat(char c, int count) {
        for (int i = 0; i < count; ++i) Put(c);
    }
    int Finish() {
        buffer_[length_] = '\0';
        return static_cast<int>(length_);
    }

private:
    LPSTR buffer_;
    std::size_t length_ = 0;
};

struct Spec {
    bool leftAlign = false;
    bool alternate = false;
    bool zeroPad = false;
    int width = 0;
    int precision = -1;
    bool wide = false;  // 'l' on c/s, or C/S
};

// Writes `body` (with an optional sign or 0x prefix) padded to the width.
void Emit(Output& out, const Spec& spec, std::string_view prefix, std::string_view body,
          int minimumDigits) {
    const int zeros = minimumDigits > static_cast<int>(body.size())
                          ? minimumDigits - static_cast<int>(body.size())
                          : 0;
    const int used = static_cast<int>(prefix.size() + body.size()) + zeros;
    const int padding = spec.width > used ? spec.width - used : 0;
    // Zero padding goes between the sign and the digits, and never with left alignment.
    const bool padWithZeros = spec.zeroPad && !spec.leftAlign;
    if (!spec.leftAlign && !padWithZeros) out.Repeat(' ', padding);
    for (char c : prefix) out.Put(c);
    if (padWithZeros) out.Repeat('0', padding);
    out.Repeat('0', zeros);
    for (char c : body) out.Put(c);
    if (spec.leftAlign) out.Repeat(' ', padding);
}

void EmitNumber(Output& out, const Spec& spec, char type, unsigned int magnitude, bool negative) {
    char digits[16];
    int count = 0;
    const bool hex = type == 'x' || type == 'X';
    const char* alphabet = type == 'X' ? "0123456789ABCDEF" : "0123456789abcdef";
    const unsigned int base = hex ? 16 : 10;
    do {
        digits[count++] = alphabet[magnitude % base];
        magnitude /= base;
    } while (magnitude != 0);
    char body[16];
    for (int i = 0; i < count; ++i) body[i] = digits[count - 1 - i];
    std::string_view prefix;
    if (negative) prefix = "-";
    else if (hex && spec.alternate) prefix = type == 'X' ? "0X" : "0x";
    Emit(out, spec, prefix, std::string_view(body, count), spec.precision);
}

void EmitString(Output& out, const Spec& spec, const char* text) {
    if (text == nullptr) text = "(null)";
    std::size_t length = std::strlen(text);
    if (spec.precision >= 0 && static_cast<std::size_t>(spec.precision) < length) {
        length = static_cast<std::size_t>(spec.precision);
    }
    Emit(out, spec, {}, std::string_view(text, length), 0);
}

void EmitWideString(Output& out, const Spec& spec, const wchar_t* text) {
    if (text == nullptr) text = L"(null)";
    // Only the characters this system uses are ASCII; others print as '?', as the ANSI code
    // page does for what it cannot show.
    char narrow[kMaxOutput];
    std::size_t length = 0;
    const std::size_t limit = spec.precision >= 0 ? static_cast<std::size_t>(spec.precision)
                                                  : kMaxOutput - 1;
    for (; text[length] != L'\0' && length < limit && length < kMaxOutput - 1; ++length) {
        const wchar_t c = text[length];
        narrow[length] = (c >= 0 && c < 0x80) ? static_cast<char>(c) : '?';
    }
    Emit(out, spec, {}, std::string_view(narrow, length), 0);
}

// Parses the flags, width, precision and size of one conversion; returns the type letter
// position.
const char* ParseSpec(const char* p, Spec& spec) {
    for (;; ++p) {
        if (*p == '-') spec.leftAlign = true;
        else if (*p == '#') spec.alternate = true;
        else if (*p == '0') spec.zeroPad = true;
        else break;
    }
    while (*p >= '0' && *p <= '9') {
        if (spec.width < kMaxField) spec.width = spec.width * 10 + (*p - '0');
        ++p;
    }
    if (*p == '.') {
        ++p;
        spec.precision = 0;
        while (*p >= '0' && *p <= '9') {
            if (spec.precision < kMaxField) spec.precision = spec.precision * 10 + (*p - '0');
            ++p;
        }
    }
    if (*p == 'l') {
        spec.wide = true;
        ++p;
    } else if (*p == 'h') {
        ++p;  // int-sized anyway after promotion; 'hs' and 'hc' stay ANSI
    }
    return p;
}

}  // namespace

extern "C" int WINAPI wvsprintfA(LPSTR buffer, LPCSTR format, va_list arguments) {
    if (buffer == nullptr) return 0;
    Output out(buffer);
    if (format == nullptr) return out.Finish();
    for (const char* p = format; *p != '\0'; ++p) {
        if (*p != '%') {
            out.Put(*p);
            continue;
        }
        Spec spec;
        p = ParseSpec(p + 1, spec);
        switch (*p) {
        case '\0':
            return out.Finish();
        case 'd':
        case 'i': {
            const int value = va_arg(arguments, int);
            const unsigned int magnitude =
                value < 0 ? 0u - static_cast<unsigned int>(value) : static_cast<unsigned int>(value);
            EmitNumber(out, spec, 'd', magnitude, value < 0);
            break;
        }
        case 'u':
        case 'x':
        case 'X':
            EmitNumber(out, spec, *p, va_arg(arguments, unsigned int), false);
            break;
        case 'c':
        case 'C': {
            const int value = va_arg(arguments, int);
            const char c = static_cast<char>(value);
            Emit(out, spec, {}, std::string_view(&c, 1), 0);
            break;
        }
        case 's':
            if (spec.wide) EmitWideString(out, spec, va_arg(arguments, const wchar_t*));
            else EmitString(out, spec, va_arg(arguments, const char*));
            break;
        case 'S':
            EmitWideString(out, spec, va_arg(arguments, const wchar_t*));
            break;
        default:
            out.Put(*p);  // "%%" and unknown letters alike
            break;
        }
    }
    return out.Finish();
}

extern "C" int __cdecl wsprintfA(LPSTR buffer, LPCSTR format, ...) {
    va_list arguments;
    va_start(arguments, format);
    const int written = wvsprintfA(buffer, format, arguments);
    va_end(arguments);
    return written;
}
