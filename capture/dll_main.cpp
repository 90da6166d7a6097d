#include "capture_api.h"

#include "bridge/device_channel.h"

// The library's state is zero at load. An unload by FreeLibrary (reserved NULL) gives back the
// event kept for the process; at process end Windows reclaims it anyway.
LORVCAP_API BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved)
{
    UNREFERENCED_PARAMETER(module);
    if (reason == DLL_PROCESS_DETACH && reserved == nullptr)
        ReleaseBulkEvent();
    return TRUE;
}
