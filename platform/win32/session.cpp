#include "session.h"

#include <mutex>
#include <utility>

namespace platform::win32 {
namespace {

struct Tracker {
    std::mutex mutex;
    std::shared_ptr<Session> session;
    std::uint64_t generation = 0;  // the current one; moves on with every boot and reset
};

Tracker& TheTracker() {
    static Tracker tracker;
    return tracker;
}

// The kernel keeps no boot serial, and a new kernel may sit at the old one's address. A named
// object in its namespace lives exactly as long as the kernel, so finding ours there means the
// same boot; creating it means a new one.
constexpr const wchar_t* kBootMarkerName = L"\\BaseNamedObjects\\Win32ApiSession";
constexpr const wchar_t* kBootMarkerTarget = L"\\BaseNamedObjects";

bool ClaimBootMarker() {
    UNICODE_STRING name;
    UNICODE_STRING target;
    RtlInitUnicodeString(&name, kBootMarkerName);
    RtlInitUnicodeString(&target, kBootMarkerTarget);
    return IoCreateSymbolicLink(&name, &target) == STATUS_SUCCESS;
}

void ReleaseBootMarker() {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, kBootMarkerName);
    IoDeleteSymbolicLink(&name);
}

// The old kernel may be gone: its files must not be closed through it.
void Retire(const std::shared_ptr<Session>& session) {
    if (session) session->handles.AbandonAll();
}

}  // namespace

std::shared_ptr<Session> CurrentSession() {
    kernel::Kernel* kernel = kernel::Kernel::Current();
    Tracker& tracker = TheTracker();
    std::shared_ptr<Session> retired;  // released after the lock
    std::lock_guard lock(tracker.mutex);
    if (kernel == nullptr) {
        retired = std::exchange(tracker.session, nullptr);
        Retire(retired);
        return nullptr;
    }
    const bool newBoot = ClaimBootMarker() || !tracker.session;
    if (newBoot) {
        retired = std::exchange(tracker.session,
                                std::make_shared<Session>(*kernel, ++tracker.generation));
        Retire(retired);
    }
    return tracker.session;
}

std::uint64_t CurrentGeneration() {
    CurrentSession();
    Tracker& tracker = TheTracker();
    std::lock_guard lock(tracker.mutex);
    return tracker.generation;
}

void ResetProcessState() {
    Tracker& tracker = TheTracker();
    std::shared_ptr<Session> retired;  // its files are closed after the lock
    std::lock_guard lock(tracker.mutex);
    retired = std::exchange(tracker.session, nullptr);
    kernel::Kernel* kernel = kernel::Kernel::Current();
    // Files of a kernel that still runs are closed properly, or its devices could never go.
    const bool sameBoot = kernel != nullptr && retired && &retired->kernel == kernel &&
                          !ClaimBootMarker();
    if (!sameBoot) Retire(retired);
    if (kernel != nullptr) ReleaseBootMarker();
    ++tracker.generation;
}

}  // namespace platform::win32
