// The exported entry points of the Duoview2 module and its load/unload hooks.
// Everything else in the module stays private to it.

#include "filter/component_server.h"
#include "platform/win.h"

#ifdef _WIN32
#define DV_MODULE_ENTRY STDAPI
#else
#define DV_MODULE_ENTRY extern "C" __attribute__((visibility("default"))) HRESULT
#endif

DV_MODULE_ENTRY DllGetClassObject(REFCLSID classId, REFIID riid, void** ppv) {
    return serverGetClassObject(classId, riid, ppv);
}

DV_MODULE_ENTRY DllCanUnloadNow() {
    return serverCanUnloadNow();
}

DV_MODULE_ENTRY DllRegisterServer() {
    return serverRegister();
}

DV_MODULE_ENTRY DllUnregisterServer() {
    return serverUnregister();
}

#ifdef _WIN32

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    switch (reason) {
    case DLL_PROCESS_ATTACH:
        DisableThreadLibraryCalls(instance);
        moduleAttach(instance);
        break;
    case DLL_PROCESS_DETACH:
        // `reserved` is non-null when the process is exiting.
        moduleDetach(reserved != nullptr);
        break;
    default:
        break;
    }
    return TRUE;
}

#else

namespace {

// The shared object's load and unload play DllMain's process attach and
// detach. On an unload by dlclose the destructor below runs before this
// module's static destructors and atexit handlers; at process exit it runs
// after them. The static object below marks the exit case, in which the
// detach is left out: what it would free (the frame store's working images,
// the camera list) may already be destroyed, and goes with the process anyway.
// (A static destructor is tied to this module, unlike a plain atexit handler
// under some runtimes, so it never runs after the module is unloaded.)
bool processEnding = false;

struct ProcessEndingMarker {
    ~ProcessEndingMarker() { processEnding = true; }
} processEndingMarker;

__attribute__((constructor)) void onModuleLoad() {
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&onModuleLoad), &self);
    moduleAttach(self);
}

__attribute__((destructor)) void onModuleUnload() {
    if (!processEnding) moduleDetach(false);
}

}  // namespace

#endif
