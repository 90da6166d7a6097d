// The kernel debugger's output window: DbgPrint lines (Source::Kernel) and OutputDebugStringA
// lines (Source::User), kept for tests to read and optionally echoed for a person watching.
// Like the debugger's buffer it keeps only the latest lines: a machine that runs for days
// must not grow with its log. Echo shows every line.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>

namespace platform::kernel {

class DebugLog {
public:
    enum class Source { Kernel, User };

    static constexpr std::size_t kDefaultCapacity = std::size_t{1} << 20;

    void Write(Source source, std::string_view text);
    // The latest text of `source`: at most the capacity, starting at a line start once
    // older lines have gone.
    std::string Text(Source source) const;
    std::size_t Size(Source source) const;
    void Clear();
    void SetEcho(bool echo);
    void SetCapacity(std::size_t bytes);

private:
    void Trim(std::string& text);

    mutable std::mutex mutex_;
    std::string kernel_;
    std::string user_;
    bool echo_ = false;
    std::size_t capacity_ = kDefaultCapacity;
};

}  // namespace platform::kernel
