#include "capture_api.h"

#include "bridge/device_channel.h"
#include "engine/capture_context.h"

// The library's state is zero at load. An unload by FreeLibrary (reserved NULL) gives back the
// event kept for the process, and a channel that a failed Leave kept open for another try (an
// application that gave up on it cannot close it otherwise); at process end Windows reclaims
// them anyway.
LORVCAP_API BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved)
{
    UNREFERENCED_PARAMETER(module);
    if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
        ReleaseHeldChannel();
        ReleaseBulkEvent();
    }
    return TRUE;
}
