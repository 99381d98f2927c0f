// ryx.dll's load and unload notification: the registry of open readers exists from process attach to detach.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "api/registry.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE /*instance*/, DWORD reason, LPVOID reserved) {
    switch (reason) {
        case DLL_PROCESS_ATTACH:
            ryx::RegistryStartup();
            break;
        case DLL_PROCESS_DETACH:
            // On FreeLibrary only. When the process is ending (reserved not null) its other threads are already
            // gone, one of them possibly inside the registry's lock: waiting for it would hang the exit, and the
            // memory goes with the process anyway. Readers still open stay as they are in either case.
            if (reserved == nullptr) {
                ryx::RegistryShutdown();
            }
            break;
        default:  // thread attach and detach: nothing to do
            break;
    }
    return TRUE;
}
