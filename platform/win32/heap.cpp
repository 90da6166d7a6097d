// LocalAlloc and GlobalAlloc: fixed blocks only (this system never moves or locks memory).
// Every live block is known with its size and its caller, and sits between two guards, so the
// verifier catches a double, foreign or interior free before anything is touched, a write just
// outside a block when it is freed, and a leak when the session ends.
#include "heap.h"

#include <dlfcn.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "app_verifier.h"
#include "session.h"
#include "windows.h"

namespace platform::win32 {
namespace {

enum class HeapKind { Local, Global };

struct Block {
    HeapKind kind;
    std::uint64_t generation;
    std::size_t bytes;
    const void* caller;  // the return address of the allocating call
};

struct InFlight {
    std::uint64_t generation;
    const unsigned char* buffer;
    std::size_t bytes;
};

struct Heap {
    std::mutex mutex;
    std::map<const unsigned char*, Block> blocks;   // by the address the caller got
    std::map<const void*, InFlight> inFlight;       // by OVERLAPPED record
    std::uint64_t injectionGeneration = 0;
    std::size_t failCountdown = 0;  // 0 = no failure injected
    std::size_t allocations = 0;    // calls of LocalAlloc and GlobalAlloc, failed ones too
};

Heap& TheHeap() {
    static Heap heap;
    return heap;
}

// A fresh block that is not zero-filled shows a pattern, so that a caller relying on zeroes it
// did not ask for sees garbage here too rather than by luck on Windows only.
constexpr unsigned char kUninitialisedFill = 0xCD;
// 16 bytes keep the block as aligned as malloc gives it.
constexpr std::size_t kGuardBytes = 16;
constexpr unsigned char kGuardFill = 0xFD;
constexpr UINT kSupportedFlags = LMEM_ZEROINIT;

const char* KindName(HeapKind kind) { return kind == HeapKind::Local ? "LocalAlloc" : "GlobalAlloc"; }

std::string Hex(const void* pointer) {
    char text[32];
    std::snprintf(text, sizeof text, "%p", pointer);
    return text;
}

// "module+0xoffset (symbol)" where the loader knows it: enough for addr2line.
std::string CodeAt(const void* address) {
    Dl_info info{};
    if (dladdr(address, &info) == 0 || info.dli_fname == nullptr) return Hex(address);
    const char* slash = std::strrchr(info.dli_fname, '/');
    char text[64];
    std::snprintf(text, sizeof text, "+0x%zx",
                  static_cast<std::size_t>(static_cast<const char*>(address) -
                                           static_cast<const char*>(info.dli_fbase)));
    std::string where = std::string(slash != nullptr ? slash + 1 : info.dli_fname) + text;
    if (info.dli_sname != nullptr) where += std::string(" (") + info.dli_sname + ")";
    return where;
}

std::string Describe(const unsigned char* address, const Block& block) {
    return std::string(KindName(block.kind)) + " block " + Hex(address) + " of " +
           std::to_string(block.bytes) + " bytes from " + CodeAt(block.caller);
}

bool GuardIntact(const unsigned char* bytes) {
    for (std::size_t i = 0; i < kGuardBytes; ++i)
        if (bytes[i] != kGuardFill) return false;
    return true;
}

// With the heap's mutex held; stops if either guard was written.
void CheckGuards(const unsigned char* address, const Block& block) {
    if (!GuardIntact(address - kGuardBytes))
        VerifierStop("write before the start of " + Describe(address, block));
    if (!GuardIntact(address + block.bytes))
        VerifierStop("write past the end of " + Describe(address, block));
}

bool Overlaps(const unsigned char* a, std::size_t aBytes, const unsigned char* b, std::size_t bBytes) {
    return a < b + bBytes && b < a + aBytes;
}

bool InjectedFailure(Heap& heap, std::uint64_t generation) {
    if (heap.failCountdown == 0) return false;
    if (heap.injectionGeneration != generation) {
        heap.failCountdown = 0;
        return false;
    }
    return --heap.failCountdown == 0;
}

void* Allocate(HeapKind kind, UINT flags, SIZE_T bytes, const void* caller) {
    if ((flags & ~kSupportedFlags) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const std::uint64_t generation = CurrentGeneration();
    Heap& heap = TheHeap();
    {
        std::lock_guard lock(heap.mutex);
        ++heap.allocations;
        if (InjectedFailure(heap, generation)) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
    }
    // A zero-byte request still gets a distinct block, as on Windows.
    auto* raw = static_cast<unsigned char*>(std::malloc(bytes + 2 * kGuardBytes));
    if (raw == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    unsigned char* block = raw + kGuardBytes;
    std::memset(raw, kGuardFill, kGuardBytes);
    std::memset(block, (flags & LMEM_ZEROINIT) ? 0 : kUninitialisedFill, bytes);
    std::memset(block + bytes, kGuardFill, kGuardBytes);
    std::lock_guard lock(heap.mutex);
    heap.blocks.emplace(block, Block{kind, generation, bytes, caller});
    return block;
}

// Local and global blocks come from one heap on Win32, so either free takes either kind.
void* Free(const char* api, void* pointer) {
    if (pointer == nullptr) return nullptr;
    auto* address = static_cast<unsigned char*>(pointer);
    Heap& heap = TheHeap();
    std::unique_lock lock(heap.mutex);
    const auto found = heap.blocks.find(address);
    if (found == heap.blocks.end()) {
        auto before = heap.blocks.upper_bound(address);
        if (before != heap.blocks.begin()) {
            --before;
            if (address < before->first + before->second.bytes)
                VerifierStop(std::string(api) + " of " + Hex(address) + ", inside " +
                             Describe(before->first, before->second));
        }
        VerifierStop(std::string(api) + " of " + Hex(address) +
                     ", which is not a live block (freed already, or never allocated)");
    }
    CheckGuards(address, found->second);
    for (const auto& [overlapped, use] : heap.inFlight) {
        const auto* record = static_cast<const unsigned char*>(overlapped);
        if (Overlaps(address, found->second.bytes, record, sizeof(OVERLAPPED)) ||
            Overlaps(address, found->second.bytes, use.buffer, use.bytes)) {
            VerifierStop(std::string(api) + " of " + Describe(address, found->second) +
                         " while a request using it is in flight (OVERLAPPED " + Hex(overlapped) +
                         ")");
        }
    }
    heap.blocks.erase(found);
    lock.unlock();
    std::free(address - kGuardBytes);
    return nullptr;
}

std::size_t LiveBlocks(HeapKind kind) {
    const std::uint64_t generation = CurrentGeneration();
    Heap& heap = TheHeap();
    std::lock_guard lock(heap.mutex);
    std::size_t count = 0;
    for (const auto& [pointer, block] : heap.blocks) {
        if (block.kind == kind && block.generation == generation) ++count;
    }
    return count;
}

}  // namespace

std::size_t LiveLocalBlocks() { return LiveBlocks(HeapKind::Local); }
std::size_t LiveGlobalBlocks() { return LiveBlocks(HeapKind::Global); }

void FailNthHeapAllocation(std::size_t n) {
    const std::uint64_t generation = CurrentGeneration();
    Heap& heap = TheHeap();
    std::lock_guard lock(heap.mutex);
    heap.failCountdown = n;
    heap.injectionGeneration = generation;
}

std::size_t HeapAllocationCount() {
    Heap& heap = TheHeap();
    std::lock_guard lock(heap.mutex);
    return heap.allocations;
}

void StopFailingHeapAllocations() {
    Heap& heap = TheHeap();
    std::lock_guard lock(heap.mutex);
    heap.failCountdown = 0;
}

void BeginInFlight(const void* overlapped, const void* buffer, std::size_t bytes) {
    const std::uint64_t generation = CurrentGeneration();
    Heap& heap = TheHeap();
    std::lock_guard lock(heap.mutex);
    const auto [entry, added] = heap.inFlight.try_emplace(
        overlapped, InFlight{generation, static_cast<const unsigned char*>(buffer), bytes});
    // A request of a kernel that is gone will never complete: its record is free again.
    if (!added && entry->second.generation != generation) {
        entry->second = InFlight{generation, static_cast<const unsigned char*>(buffer), bytes};
    } else if (!added) {
        VerifierStop("OVERLAPPED " + Hex(overlapped) +
                     " reused for a new request while its request is in flight");
    }
}

void EndInFlight(const void* overlapped) {
    Heap& heap = TheHeap();
    std::lock_guard lock(heap.mutex);
    heap.inFlight.erase(overlapped);
}

void CheckHeapAtSessionEnd() {
    const std::uint64_t generation = CurrentGeneration();
    Heap& heap = TheHeap();
    std::lock_guard lock(heap.mutex);
    for (const auto& [address, block] : heap.blocks) CheckGuards(address, block);
    for (const auto& [address, block] : heap.blocks) {
        if (block.generation == generation)
            VerifierStop("leaked at the end of the session: " + Describe(address, block));
    }
}

}  // namespace platform::win32

using platform::win32::HeapKind;

extern "C" HLOCAL WINAPI LocalAlloc(UINT uFlags, SIZE_T uBytes) {
    return platform::win32::Allocate(HeapKind::Local, uFlags, uBytes, __builtin_return_address(0));
}

extern "C" HLOCAL WINAPI LocalFree(HLOCAL hMem) { return platform::win32::Free("LocalFree", hMem); }

extern "C" HGLOBAL WINAPI GlobalAlloc(UINT uFlags, SIZE_T dwBytes) {
    return platform::win32::Allocate(HeapKind::Global, uFlags, dwBytes, __builtin_return_address(0));
}

extern "C" HGLOBAL WINAPI GlobalFree(HGLOBAL hMem) { return platform::win32::Free("GlobalFree", hMem); }
