// Events, waits, CloseHandle, GetTickCount and Sleep: everything that is not file I/O. Waits
// and sleeps run on the machine's one clock, so a 2000 ms time-out costs no real time on the
// virtual clock.
#include <chrono>
#include <mutex>
#include <string>

#include "session.h"
#include "windows.h"

namespace {

using platform::win32::CurrentSession;
using platform::win32::Event;
using platform::win32::KernelObject;
using platform::win32::Session;

const platform::win32::HandleTable* TableOf(const std::shared_ptr<Session>& session) {
    return session ? &session->handles : nullptr;
}

std::shared_ptr<Event> UseEvent(HANDLE hEvent, const char* api) {
    return platform::win32::UseHandleAs<Event>(TableOf(CurrentSession()), hEvent, api, "an event");
}

}  // namespace

extern "C" HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                                      BOOL bInitialState, LPCSTR lpName) {
    (void)lpEventAttributes;  // no security and no inheritance in one process
    const std::shared_ptr<Session> session = CurrentSession();
    if (!session) {
        SetLastError(ERROR_NOT_READY);
        return nullptr;
    }
    if (lpName != nullptr) {
        if (auto existing = session->handles.FindNamedEvent(lpName)) {
            HANDLE handle = session->handles.Insert(existing, std::string("CreateEventA ") + lpName);
            SetLastError(ERROR_ALREADY_EXISTS);
            return handle;
        }
    }
    auto event = std::make_shared<Event>(session->kernel.clock(), bManualReset != FALSE,
                                         bInitialState != FALSE);
    if (lpName != nullptr) session->handles.NameEvent(lpName, event);
    HANDLE handle = session->handles.Insert(
        std::move(event), lpName != nullptr ? std::string("CreateEventA ") + lpName : "CreateEventA");
    SetLastError(ERROR_SUCCESS);
    return handle;
}

extern "C" BOOL WINAPI SetEvent(HANDLE hEvent) {
    UseEvent(hEvent, "SetEvent")->signal()->Set();
    return TRUE;
}

extern "C" BOOL WINAPI ResetEvent(HANDLE hEvent) {
    UseEvent(hEvent, "ResetEvent")->signal()->Reset();
    return TRUE;
}

extern "C" DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    const std::shared_ptr<KernelObject> object =
        platform::win32::UseHandle(TableOf(CurrentSession()), hHandle, "WaitForSingleObject");
    const auto signal = SignalOf(*object);
    if (!signal) platform::win32::StopWrongType(hHandle, *object, "WaitForSingleObject", "an event");
    std::optional<platform::Clock::TimePoint> deadline;
    if (dwMilliseconds != INFINITE) {
        deadline = signal->clock().Now() + std::chrono::milliseconds(dwMilliseconds);
    }
    return signal->Wait(deadline) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

extern "C" BOOL WINAPI CloseHandle(HANDLE hObject) {
    const std::shared_ptr<Session> session = CurrentSession();
    std::shared_ptr<KernelObject> object = session ? session->handles.Remove(hObject) : nullptr;
    // Another thread may have closed it between a look-up and the removal: one stop either way.
    if (!object) platform::win32::UseHandle(TableOf(session), hObject, "CloseHandle");
    // A file's cleanup and close go to the driver here, unless a call on another thread still
    // uses it; then they go when that call returns.
    object.reset();
    return TRUE;
}

extern "C" DWORD WINAPI GetTickCount(void) {
    const auto session = platform::win32::CurrentSession();
    return session ? session->kernel.clock().TickCount() : 0;
}

extern "C" void WINAPI Sleep(DWORD dwMilliseconds) {
    const auto session = platform::win32::CurrentSession();
    if (!session || dwMilliseconds == 0) return;
    platform::Clock& clock = session->kernel.clock();
    if (dwMilliseconds == INFINITE) {
        // Never returns; the virtual clock reports it if nothing else can run.
        std::unique_lock lock(clock.mutex());
        clock.WaitUntil(lock, [] { return false; }, std::nullopt);
        return;
    }
    clock.SleepFor(std::chrono::milliseconds(dwMilliseconds));
}
