#include "kernel_objects.h"

#include <atomic>
#include <cstdio>
#include <mutex>

#include "app_verifier.h"

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
    return nullptr;
}

namespace {

constexpr std::uintptr_t kFirstHandleValue = 0x100;
std::atomic<std::uintptr_t> nextHandleValue{kFirstHandleValue};

std::string HandleText(HANDLE handle) {
    char text[32];
    std::snprintf(text, sizeof text, "%p", handle);
    return text;
}

// Every value this process ever handed out and no longer in the table was closed (by the
// caller, or with the session that owned it).
bool WasIssued(std::uintptr_t value) {
    return value >= kFirstHandleValue && value < nextHandleValue.load() && value % 4 == 0;
}

}  // namespace

HANDLE HandleTable::Insert(std::shared_ptr<KernelObject> object, std::string origin) {
    const std::uintptr_t value = nextHandleValue.fetch_add(4);
    std::lock_guard lock(mutex_);
    objects_.emplace(value, Entry{std::move(object), std::move(origin)});
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<KernelObject> HandleTable::Find(HANDLE handle) const {
    std::lock_guard lock(mutex_);
    const auto found = objects_.find(reinterpret_cast<std::uintptr_t>(handle));
    return found == objects_.end() ? nullptr : found->second.object;
}

std::shared_ptr<KernelObject> HandleTable::Remove(HANDLE handle) {
    std::lock_guard lock(mutex_);
    const auto found = objects_.find(reinterpret_cast<std::uintptr_t>(handle));
    if (found == objects_.end()) return nullptr;
    std::shared_ptr<KernelObject> object = std::move(found->second.object);
    objects_.erase(found);
    return object;
}

std::size_t HandleTable::Count() const {
    std::lock_guard lock(mutex_);
    return objects_.size();
}

void HandleTable::CheckNoneOpen() const {
    std::unique_lock lock(mutex_);
    if (objects_.empty()) return;
    const auto& [value, entry] = *objects_.begin();
    const std::string what = "handle " + HandleText(reinterpret_cast<HANDLE>(value)) + " (" +
                             entry.object->TypeName() + " from " + entry.origin +
                             ") still open at the end of the session";
    lock.unlock();
    VerifierStop(what);
}

std::shared_ptr<KernelObject> UseHandle(const HandleTable* table, HANDLE handle, const char* api) {
    if (handle == nullptr) VerifierStop(std::string("NULL handle passed to ") + api);
    std::shared_ptr<KernelObject> object = table != nullptr ? table->Find(handle) : nullptr;
    if (object) return object;
    const bool issued = WasIssued(reinterpret_cast<std::uintptr_t>(handle));
    VerifierStop("invalid handle " + HandleText(handle) + " passed to " + api +
                 (issued ? " (already closed)" : " (never opened)"));
}

void StopWrongType(HANDLE handle, const KernelObject& object, const char* api, const char* wanted) {
    VerifierStop(std::string("handle ") + HandleText(handle) + " of the wrong type passed to " + api +
                 ": a " + object.TypeName() + ", where " + wanted + " is needed");
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
    for (auto& [value, entry] : objects_) {
        if (auto* file = dynamic_cast<File*>(entry.object.get())) file->Abandon();
    }
}

}  // namespace platform::win32
