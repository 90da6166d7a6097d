// GetTickCount and Sleep on the machine's one clock.
#include <chrono>
#include <mutex>

#include "session.h"
#include "windows.h"

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
