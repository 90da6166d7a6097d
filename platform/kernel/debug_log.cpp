#include "debug_log.h"

#include <cstdio>

namespace platform::kernel {

void DebugLog::Write(Source source, std::string_view text) {
    std::lock_guard lock(mutex_);
    (source == Source::Kernel ? kernel_ : user_).append(text);
    if (echo_) {
        std::fwrite(text.data(), 1, text.size(), stderr);
        std::fflush(stderr);
    }
}

std::string DebugLog::Text(Source source) const {
    std::lock_guard lock(mutex_);
    return source == Source::Kernel ? kernel_ : user_;
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

}  // namespace platform::kernel
