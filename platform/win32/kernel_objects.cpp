#include "kernel_objects.h"

#include <atomic>
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

namespace {

std::uintptr_t NextHandleValue() {
    static std::atomic<std::uintptr_t> next{0x100};
    return next.fetch_add(4);
}

}  // namespace

HANDLE HandleTable::Insert(std::shared_ptr<KernelObject> object) {
    const std::uintptr_t value = NextHandleValue();
    std::lock_guard lock(mutex_);
    objects_.emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<KernelObject> HandleTable::Find(HANDLE handle) const {
    std::lock_guard lock(mutex_);
    const auto found = objects_.find(reinterpret_cast<std::uintptr_t>(handle));
    return found == objects_.end() ? nullptr : found->second;
}

std::shared_ptr<KernelObject> HandleTable::Remove(HANDLE handle) {
    std::lock_guard lock(mutex_);
    const auto found = objects_.find(reinterpret_cast<std::uintptr_t>(handle));
    if (found == objects_.end()) return nullptr;
    std::shared_ptr<KernelObject> object = std::move(found->second);
    objects_.erase(found);
    return object;
}

std::size_t HandleTable::Count() const {
    std::lock_guard lock(mutex_);
    return objects_.size();
}

std::shared_ptr<Event> HandleTable::FindNamedEvent(const std::string& name) const {
    std::lock_guard lock(mutex_);
    const auto found = namedEvents_.find(name);
    return found == namedEvents_.end() ? nullptr : found->second.lock();
}

void HandleTable::NameEvent(const std::string& name, const std::shared_ptr<Event>& event) {
    std::lock_guard lock(mutex_);
    namedEvents_[name] = event;
}

void HandleTable::AbandonAll() {
    std::lock_guard lock(mutex_);
    for (auto& [value, object] : objects_) {
        if (auto* file = dynamic_cast<File*>(object.get())) file->Abandon();
    }
}

}  // namespace platform::win32
