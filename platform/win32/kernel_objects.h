// The objects behind Win32 handles (events, and open files of a driver's device) and the table
// of handles. Signal states are guarded by the clock's mutex, so a completion on another thread
// and a timed wait on the virtual clock cannot miss each other.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "clock.h"
#include "kernel.h"
#include "user_io.h"
#include "windows.h"

namespace platform::win32 {

class KernelObject {
public:
    virtual ~KernelObject() = default;
    virtual const char* TypeName() const = 0;  // for verifier stops
};

// A dispatcher object: signalled or not; a wait on an auto-reset one takes the signal.
class Waitable {
public:
    Waitable(Clock& clock, bool manualReset, bool signalled)
        : clock_(clock), manualReset_(manualReset), signalled_(signalled) {}

    Clock& clock() { return clock_; }
    void Set();
    void Reset();
    // With the clock's mutex held: marks signalled; the caller notifies the clock afterwards.
    void SetLocked() { signalled_ = true; }
    // True when signalled before `deadline` (none: no limit).
    bool Wait(std::optional<Clock::TimePoint> deadline);

private:
    Clock& clock_;
    const bool manualReset_;
    bool signalled_;
};

class Event : public KernelObject {
public:
    Event(Clock& clock, bool manualReset, bool signalled)
        : signal_(std::make_shared<Waitable>(clock, manualReset, signalled)) {}
    const char* TypeName() const override { return "event"; }
    const std::shared_ptr<Waitable>& signal() const { return signal_; }

private:
    std::shared_ptr<Waitable> signal_;
};

// An open device. Closing the last reference sends cleanup and close to the driver, on the
// thread that drops it: the handle's closer, or a call still running on the handle.
class File : public KernelObject {
public:
    File(kernel::Kernel& kernel, kernel::FileObject* file, bool overlapped)
        : kernel_(kernel),
          file_(file),
          overlapped_(overlapped),
          signal_(std::make_shared<Waitable>(kernel.clock(), true, false)) {}
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    ~File() override;
    const char* TypeName() const override { return "file"; }

    kernel::Kernel& kernel() { return kernel_; }
    kernel::FileObject* object() { return file_; }
    bool overlapped() const { return overlapped_; }
    // Signalled when a request on the file completes, as the file object is on Windows; held
    // by the completions, which must not keep the file itself open.
    const std::shared_ptr<Waitable>& signal() const { return signal_; }
    // Its kernel has gone: forget the file object instead of closing it.
    void Abandon() { abandoned_ = true; }

private:
    kernel::Kernel& kernel_;
    kernel::FileObject* file_;
    const bool overlapped_;
    std::shared_ptr<Waitable> signal_;
    std::atomic<bool> abandoned_ = false;
};

// One table of kernel-object handles per booted kernel. Handle values are multiples of 4 as on
// Windows and never reused in the process, so a closed or stale handle is always told apart.
class HandleTable {
public:
    // `origin` names the call that opened it, for the leak check.
    HANDLE Insert(std::shared_ptr<KernelObject> object, std::string origin);
    // Null for a handle that is not open.
    std::shared_ptr<KernelObject> Find(HANDLE handle) const;
    // Takes the handle out of the table; null when it was not open.
    std::shared_ptr<KernelObject> Remove(HANDLE handle);
    std::size_t Count() const;

    // Named events live as long as a handle to them is open.
    std::shared_ptr<Event> FindNamedEvent(const std::string& name) const;
    void NameEvent(const std::string& name, const std::shared_ptr<Event>& event);

    // The kernel is gone: mark every open file abandoned.
    void AbandonAll();
    // Verifier stop on the first handle still open.
    void CheckNoneOpen() const;

private:
    struct Entry {
        std::shared_ptr<KernelObject> object;
        std::string origin;
    };
    mutable std::mutex mutex_;
    std::map<std::uintptr_t, Entry> objects_;
    std::map<std::string, std::weak_ptr<Event>> namedEvents_;
};

// The object behind a handle passed to `api`, as Application Verifier's handle checks want it:
// a NULL, closed, never opened or wrong-type handle is a verifier stop. `table` is null while no
// kernel runs, when no handle is valid.
std::shared_ptr<KernelObject> UseHandle(const HandleTable* table, HANDLE handle, const char* api);
[[noreturn]] void StopWrongType(HANDLE handle, const KernelObject& object, const char* api,
                                const char* wanted);
template <typename T>
std::shared_ptr<T> UseHandleAs(const HandleTable* table, HANDLE handle, const char* api,
                               const char* wanted) {
    std::shared_ptr<KernelObject> object = UseHandle(table, handle, api);
    auto typed = std::dynamic_pointer_cast<T>(object);
    if (!typed) StopWrongType(handle, *object, api, wanted);
    return typed;
}

// What a wait on the handle waits for: only events are waited on in this system.
std::shared_ptr<Waitable> SignalOf(KernelObject& object);

}  // namespace platform::win32
