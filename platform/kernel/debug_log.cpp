#include "debug_log.h"

#include <cstdio>

namespace platform::kernel {

void DebugLog::Write(Source source, std::string_view text) {
    std::lock_guard lock(mutex_);
    std::string& kept = source == Source::Kernel ? kernel_ : user_;
    kept.append(text);
    // Trimming only past a quarter over the capacity keeps the cost per line constant.
    if (kept.size() > capacity_ + capacity_ / 4) Trim(kept);
    if (echo_) {
        std::fwrite(text.data(), 1, text.size(), stderr);
        std::fflush(stderr);
    }
}

std::string DebugLog::Text(Source source) const {
    std::lock_guard lock(mutex_);
    return source == Source::Kernel ? kernel_ : user_;
}

std::size_t DebugLog::Size(Source source) const {
    std::lock_guard lock(mutex_);
    return (source == Source::Kernel ? kernel_ : user_).size();
}

void DebugLog::Clear() {
    std::lock_guard lock(mutex_);
    kernel_.clear();
    user_.clear();
}

void DebugLog::SetEcho(bool echo) {
    std::lock_guard lock(mutex_);
    echo_ = echo;
}

void DebugLog::SetCapacity(std::size_t bytes) {
    std::lock_guard lock(mutex_);
    capacity_ = bytes;
    Trim(kernel_);
    Trim(user_);
}

// Drops the oldest whole lines until the text fits the capacity.
void DebugLog::Trim(std::string& text) {
    if (text.size() <= capacity_) return;
    std::size_t cut = text.find('\n', text.size() - capacity_ - 1);
    text.erase(0, cut == std::string::npos ? text.size() : cut + 1);
}

}  // namespace platform::kernel
