#include "kernel_objects.h"

#include <mutex>

namespace platform::win32 {

void Waitable::Set() {
    {
        std::lock_guard lock(clock_.mutex());
        signalled_ = true;
    }
    clock_.NotifyAll();
}

void Waitable::Reset() {
    std::lock_guard lock(clock_.mutex());
    signalled_ = false;
}

bool Waitable::Wait(std::optional<Clock::TimePoint> deadline) {
    std::unique_lock lock(clock_.mutex());
    const bool signalled = clock_.WaitUntil(lock, [this] { return signalled_; }, deadline);
    if (signalled && !manualReset_) signalled_ = false;
    return signalled;
}

File::~File() {
    if (!abandoned_) kernel::CloseFile(kernel_, file_);
}

std::shared_ptr<Waitable> SignalOf(KernelObject& object) {
    if (auto* event = dynamic_cast<Event*>(&object)) return event->signal();
    if (auto* file = dynamic_cast<File*>(&object)) return file->signal();
    return nullptr;
}

}  // namespace platform::win32
