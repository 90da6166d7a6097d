// Test buffers: inputs end exactly at their heap block (the sanitizer sees any read past them),
// outputs sit between guard bytes that must come back unchanged.
#pragma once

#include <cstddef>
#include <memory>
#include <random>
#include <vector>

#include <windows.h>

class GuardedOutput {
public:
    static constexpr std::size_t kGuard = 64;
    static constexpr BYTE kFill = 0xEE;

    explicit GuardedOutput(std::size_t bytes) : bytes_(bytes), storage_(bytes + 2 * kGuard, kFill) {}
    BYTE* data() { return storage_.data() + kGuard; }
    BYTE& operator[](std::size_t i) { return data()[i]; }
    std::vector<BYTE> contents() const
    {
        return {storage_.begin() + kGuard, storage_.begin() + kGuard + static_cast<std::ptrdiff_t>(bytes_)};
    }
    bool GuardsIntact() const
    {
        for (std::size_t i = 0; i < kGuard; ++i)
            if (storage_[i] != kFill || storage_[kGuard + bytes_ + i] != kFill)
                return false;
        return true;
    }

private:
    std::size_t bytes_;
    std::vector<BYTE> storage_;
};

inline std::unique_ptr<BYTE[]> ExactInput(const std::vector<BYTE>& bytes)
{
    auto block = std::make_unique<BYTE[]>(bytes.size());
    std::copy(bytes.begin(), bytes.end(), block.get());
    return block;
}

inline std::vector<BYTE> RandomBytes(std::mt19937& random, std::size_t count)
{
    std::vector<BYTE> bytes(count);
    for (BYTE& b : bytes)
        b = static_cast<BYTE>(random());
    return bytes;
}
