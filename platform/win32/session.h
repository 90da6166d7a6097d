// The API's state for one booted kernel: its handle table and the generation number that the
// other per-boot records (last errors, heap counts, message boxes) compare against. Each test
// boots its own kernel, so nothing of an earlier boot may leak into the next one.
#pragma once

#include <cstdint>
#include <memory>

#include "kernel.h"
#include "kernel_objects.h"

namespace platform::win32 {

struct Session {
    Session(kernel::Kernel& kernel, std::uint64_t generation)
        : kernel(kernel), bootSerial(kernel.BootSerial()), generation(generation) {}

    kernel::Kernel& kernel;  // valid only while bootSerial is the running kernel's
    const std::uint64_t bootSerial;
    const std::uint64_t generation;
    HandleTable handles;
};

// The session of the running kernel, a fresh one after a new boot; null while no kernel runs.
std::shared_ptr<Session> CurrentSession();

// Handles open in the current session: what leak checks compare.
std::size_t OpenHandles();

// The current generation: it moves on with every new boot and every reset.
std::uint64_t CurrentGeneration();

// Drops the current session and everything kept per boot, as if a new kernel had booted; files
// still open on the running kernel are closed.
void ResetProcessState();

}  // namespace platform::win32
