// Test buffers: inputs end exactly at their heap block (the sanitizer sees any read past them),
// outputs sit between guard bytes that must come back unchanged.
#pragma once

#include <cstddef>
#include <memory>
#include <random>
#include <stdexcept>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

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

// Bytes that end exactly at an inaccessible page: reading one byte past them faults, with or
// without a sanitizer.
class GuardPageInput {
public:
    explicit GuardPageInput(const std::vector<BYTE>& bytes)
    {
        const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        mappedBytes_ = (bytes.size() + page - 1) / page * page + page;
        mapping_ = static_cast<BYTE*>(mmap(nullptr, mappedBytes_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        if (mapping_ == MAP_FAILED)
            throw std::runtime_error("mmap failed");
        mprotect(mapping_ + mappedBytes_ - page, page, PROT_NONE);
        data_ = mapping_ + mappedBytes_ - page - bytes.size();
        std::copy(bytes.begin(), bytes.end(), data_);
    }
    ~GuardPageInput() { munmap(mapping_, mappedBytes_); }
    GuardPageInput(const GuardPageInput&) = delete;
    GuardPageInput& operator=(const GuardPageInput&) = delete;
    const BYTE* get() const { return data_; }

private:
    BYTE* mapping_ = nullptr;
    std::size_t mappedBytes_ = 0;
    BYTE* data_ = nullptr;
};
