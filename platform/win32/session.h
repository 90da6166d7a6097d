// The API's state for one booted kernel: its handle table and the generation number that the
// other per-boot records (last errors, heap counts, message boxes) compare against. Each test
// boots its own kernel, so nothing of an earlier boot may leak into the next one.
#pragma once

#include <cstdint>
#include <memory>

#include "handle_table.h"
#include "kernel.h"

namespace platform::win32 {

struct Session {
    Session(kernel::Kernel& kernel, std::uint64_t generation)
        : kernel(kernel), generation(generation) {}

    kernel::Kernel& kernel;
    const std::uint64_t generation;
    HandleTable handles;
};

// The session of the running kernel; a fresh one when a different kernel (or a fresh clock)
// is seen than at the last call; null while no kernel runs. The kernel gives no boot serial,
// so a new boot is recognised by the kernel and clock addresses and by time running backwards;
// ResetProcessState() makes it certain.
std::shared_ptr<Session> CurrentSession();

// Generation of the current session, 0 when no kernel runs.
std::uint64_t CurrentGeneration();

// Drops the current session and everything kept per boot, as if a new kernel had booted.
void ResetProcessState();

}  // namespace platform::win32
