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

// A new kernel may sit at the old one's address, so only its boot serial tells them apart.
bool SameBoot(const std::shared_ptr<Session>& session, const kernel::Kernel* kernel) {
    return session && kernel != nullptr && session->bootSerial == kernel->BootSerial();
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
    if (!SameBoot(tracker.session, kernel)) {
        retired = std::exchange(tracker.session,
                                std::make_shared<Session>(*kernel, ++tracker.generation));
        Retire(retired);
    }
    return tracker.session;
}

std::size_t OpenHandles() {
    std::shared_ptr<Session> session = CurrentSession();
    return session ? session->handles.Count() : 0;
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
    if (!SameBoot(retired, kernel)) Retire(retired);
    ++tracker.generation;
}

}  // namespace platform::win32
