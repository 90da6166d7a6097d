// The kernel debugger's output window: DbgPrint lines (Source::Kernel) and OutputDebugStringA
// lines (Source::User), kept for tests to read and optionally echoed for a person watching.
#pragma once

#include <mutex>
#include <string>
#include <string_view>

namespace platform::kernel {

class DebugLog {
public:
    enum class Source { Kernel, User };

    void Write(Source source, std::string_view text);
    std::string Text(Source source) const;
    void Clear();
    void SetEcho(bool echo);

private:
    mutable std::mutex mutex_;
    std::string kernel_;
    std::string user_;
    bool echo_ = false;
};

}  // namespace platform::kernel
