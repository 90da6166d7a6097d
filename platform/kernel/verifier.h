// The stand-in's Driver Verifier, always on. A violation prints "VERIFIER: <what>" and aborts the
// process, as a bug check would stop Windows; tests observe it with EXPECT_DEATH. It also keeps
// the pool: every allocation with its tag and size, so that leaks, double frees, foreign
// pointers and wrong tags are caught, and allocations can be made to fail on purpose.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "ntdef.h"

namespace platform::kernel {

class Verifier {
public:
    Verifier() = default;
    Verifier(const Verifier&) = delete;
    Verifier& operator=(const Verifier&) = delete;

    [[noreturn]] void Fail(std::string_view what);

    // Allocation-failure injection. The n-th allocation from now fails (1 = the next one);
    // or every allocation with `tag` fails until StopFailingAllocations().
    void FailNthAllocation(unsigned n);
    void FailAllocationsWithTag(ULONG tag);
    void StopFailingAllocations();
    // Pool allocations asked for since boot, failed ones too.
    std::uint64_t AllocationCount() const;

    // Pool accounting.
    std::size_t OutstandingBytes(ULONG tag) const;
    std::size_t OutstandingAllocations(ULONG tag) const;
    std::size_t OutstandingAllocations() const;

    // The pool itself (ExAllocatePoolWithTag, ExFreePool[WithTag]). Null when failure is
    // injected. `tag` of Free: nullopt for ExFreePool, which does not check it.
    void* Allocate(std::size_t bytes, ULONG tag);
    void Free(void* pointer, std::optional<ULONG> tag);

    // Fails naming tag and size of the first block still allocated with one of `tags`.
    void CheckNoPoolWithTags(std::string_view owner, const ULONG* tags, std::size_t count);
    // Fails on any block still allocated.
    void CheckNoPool(std::string_view when);

    // "Wdm " from 0x206D6457, for messages.
    static std::string TagText(ULONG tag);

private:
    struct Block {
        std::size_t bytes;
        ULONG tag;
    };
    mutable std::mutex mutex_;
    std::map<const void*, Block> blocks_;
    unsigned failCountdown_ = 0;  // 0 = off
    std::uint64_t allocations_ = 0;
    std::optional<ULONG> failTag_;
};

}  // namespace platform::kernel
