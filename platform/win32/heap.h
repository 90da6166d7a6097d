// What tests can see of LocalAlloc and GlobalAlloc: live blocks (to catch leaks) and injected
// allocation failures (to reach the failure paths of their callers).
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

}  // namespace platform::win32
