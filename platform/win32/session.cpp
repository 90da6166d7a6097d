#include "session.h"

#include <mutex>
#include <utility>

namespace platform::win32 {
namespace {

struct Tracker {
    std::mutex mutex;
    std::shared_ptr<Session> session;
    kernel::Kernel* kernel = nullptr;
    Clock* clock = nullptr;
    Clock::TimePoint lastSeen{};
    std::uint64_t generation = 0;
    bool resetRequested = false;
};

Tracker& TheTracker() {
    static Tracker tracker;
    return tracker;
}

// The old kernel may be gone: its files must not be closed through it.
void Retire(const std::shared_ptr<Session>& session) {
    if (session) session->handles.AbandonAll();
}

}  // namespace

std::shared_ptr<Session> CurrentSession() {
    kernel::Kernel* kernel = kernel::Kernel::Current();
    Tracker& tracker = TheTracker();
    std::shared_ptr<Session> retired;  // released after the lock, outside any other lock
    std::lock_guard lock(tracker.mutex);
    if (kernel == nullptr) {
        retired = std::exchange(tracker.session, nullptr);
        Retire(retired);
        tracker.kernel = nullptr;
        tracker.clock = nullptr;
        return nullptr;
    }
    const Clock::TimePoint now = kernel->clock().Now();
    const bool sameBoot = tracker.session && !tracker.resetRequested && kernel == tracker.kernel &&
                          &kernel->clock() == tracker.clock && now >= tracker.lastSeen;
    if (!sameBoot) {
        retired = std::exchange(tracker.session,
                                std::make_shared<Session>(*kernel, ++tracker.generation));
        Retire(retired);
        tracker.kernel = kernel;
        tracker.clock = &kernel->clock();
        tracker.resetRequested = false;
    }
    tracker.lastSeen = now;
    return tracker.session;
}

std::uint64_t CurrentGeneration() {
    const std::shared_ptr<Session> session = CurrentSession();
    return session ? session->generation : 0;
}

void ResetProcessState() {
    Tracker& tracker = TheTracker();
    std::shared_ptr<Session> retired;
    std::lock_guard lock(tracker.mutex);
    retired = std::exchange(tracker.session, nullptr);
    Retire(retired);
    tracker.resetRequested = true;
    // Records compare generations, so a reset with no kernel running must still move it on.
    ++tracker.generation;
}

}  // namespace platform::win32
