// What tests can see of LocalAlloc and GlobalAlloc: live blocks (to catch leaks) and injected
// allocation failures (to reach the failure paths of their callers); and what the verifier
// keeps of the memory that requests in flight still use.
#pragma once

#include <cstddef>

namespace platform::win32 {

// Blocks allocated since the current kernel booted and not freed yet.
std::size_t LiveLocalBlocks();
std::size_t LiveGlobalBlocks();

// The nth LocalAlloc or GlobalAlloc from now on (1 = the next one) returns NULL with
// ERROR_NOT_ENOUGH_MEMORY; the others succeed. A new kernel boot stops the injection.
void FailNthHeapAllocation(std::size_t n);
void StopFailingHeapAllocations();
// LocalAlloc and GlobalAlloc calls since the process started: the allocation points that a
// sweep of injected failures walks through.
std::size_t HeapAllocationCount();

// An overlapped request owns its OVERLAPPED record and its buffer from the call until its
// completion: freeing either, or issuing another request with the record, is a verifier stop.
void BeginInFlight(const void* overlapped, const void* buffer, std::size_t bytes);
void EndInFlight(const void* overlapped);

// Stops on a damaged guard, then on a block of the current session still live.
void CheckHeapAtSessionEnd();

}  // namespace platform::win32
