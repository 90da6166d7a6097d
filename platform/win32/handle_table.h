// One table of kernel-object handles per booted kernel. Handle values are multiples of 4 as on
// Windows and never reused in the process, so a closed or stale handle is always refused.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "windows.h"
#include "kernel_objects.h"

namespace platform::win32 {

class HandleTable {
public:
    HANDLE Insert(std::shared_ptr<KernelObject> object);
    // Null for a handle that is not open.
    std::shared_ptr<KernelObject> Find(HANDLE handle) const;
    template <typename T>
    std::shared_ptr<T> FindAs(HANDLE handle) const {
        return std::dynamic_pointer_cast<T>(Find(handle));
    }
    // Takes the handle out of the table; null when it was not open.
    std::shared_ptr<KernelObject> Remove(HANDLE handle);

    // Named events live as long as a handle to them is open.
    std::shared_ptr<Event> FindNamedEvent(const std::string& name) const;
    void NameEvent(const std::string& name, const std::shared_ptr<Event>& event);

    // The kernel is gone: mark every open file abandoned.
    void AbandonAll();

private:
    mutable std::mutex mutex_;
    std::map<std::uintptr_t, std::shared_ptr<KernelObject>> objects_;
    std::map<std::string, std::weak_ptr<Event>> namedEvents_;
};

}  // namespace platform::win32
