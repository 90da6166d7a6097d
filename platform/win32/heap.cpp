// LocalAlloc and GlobalAlloc: fixed blocks only (this system never moves or locks memory).
// Every live block is known, so a double or foreign free fails cleanly instead of corrupting
// the heap, and tests can count what is left.
#include "heap.h"

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "session.h"
#include "windows.h"

namespace platform::win32 {
namespace {

enum class HeapKind { Local, Global };

struct Block {
    HeapKind kind;
    std::uint64_t generation;
};

struct Heap {
    std::mutex mutex;
    std::map<void*, Block> blocks;
    std::uint64_t injectionGeneration = 0;
    std::size_t failCountdown = 0;  // 0 = no failure injected
};

Heap& TheHeap() {
    static Heap heap;
    return heap;
}

// A fresh block that is not zero-filled shows a pattern, so that a caller relying on zeroes it
// did not ask for sees garbage here too rather than by luck on Windows only.
constexpr unsigned char kUninitialisedFill = 0xCD;
constexpr UINT kSupportedFlags = LMEM_ZEROINIT;

bool InjectedFailure(Heap& heap, std::uint64_t generation) {
    if (heap.failCountdown == 0) return false;
    if (heap.injectionGeneration != generation) {
        heap.failCountdown = 0;
        return false;
    }
    return --heap.failCountdown == 0;
}

void* Allocate(HeapKind kind, UINT flags, SIZE_T bytes) {
    if ((flags & ~kSupportedFlags) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const std::uint64_t generation = CurrentGeneration();
    Heap& heap = TheHeap();
    {
        std::lock_guard lock(heap.mutex);
        if (InjectedFailure(heap, generation)) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
    }
    // A zero-byte request still gets a distinct block, as on Windows.
    const std::size_t size = bytes == 0 ? 1 : bytes;
    void* block = (flags & LMEM_ZEROINIT) ? std::calloc(1, size) : std::malloc(size);
    if (block == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (!(flags & LMEM_ZEROINIT)) std::memset(block, kUninitialisedFill, size);
    std::lock_guard lock(heap.mutex);
    heap.blocks.emplace(block, Block{kind, generation});
    return block;
}

// Local and global blocks come from one heap on Win32, so either free takes either kind.
void* Free(void* block) {
    if (block == nullptr) return nullptr;
    Heap& heap = TheHeap();
    {
        std::lock_guard lock(heap.mutex);
        if (heap.blocks.erase(block) == 0) {
            SetLastError(ERROR_INVALID_HANDLE);
            return block;
        }
    }
    std::free(block);
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

void StopFailingHeapAllocations() {
    Heap& heap = TheHeap();
    std::lock_guard lock(heap.mutex);
    heap.failCountdown = 0;
}

}  // namespace platform::win32

using platform::win32::HeapKind;

extern "C" HLOCAL WINAPI LocalAlloc(UINT uFlags, SIZE_T uBytes) {
    return platform::win32::Allocate(HeapKind::Local, uFlags, uBytes);
}

extern "C" HLOCAL WINAPI LocalFree(HLOCAL hMem) { return platform::win32::Free(hMem); }

extern "C" HGLOBAL WINAPI GlobalAlloc(UINT uFlags, SIZE_T dwBytes) {
    return platform::win32::Allocate(HeapKind::Global, uFlags, dwBytes);
}

extern "C" HGLOBAL WINAPI GlobalFree(HGLOBAL hMem) { return platform::win32::Free(hMem); }
