// The calling thread's last error. A value left by an earlier boot reads as 0.
#include "session.h"
#include "windows.h"

namespace {

struct LastError {
    std::uint64_t generation = 0;
    DWORD error = ERROR_SUCCESS;
};

thread_local LastError tLastError;

}  // namespace

extern "C" DWORD WINAPI GetLastError(void) {
    if (tLastError.generation != platform::win32::CurrentGeneration()) return ERROR_SUCCESS;
    return tLastError.error;
}

extern "C" void WINAPI SetLastError(DWORD dwErrCode) {
    tLastError = {platform::win32::CurrentGeneration(), dwErrCode};
}
