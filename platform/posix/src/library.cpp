// LoadLibrary, GetProcAddress and FreeLibrary over dlopen.
#include <dlfcn.h>
#include <link.h>

#include <map>
#include <mutex>

#include "runtime.h"

namespace {

// One dlopen handle per loaded module, with the number of LoadLibrary calls
// not yet matched by FreeLibrary. Guarded by `tableLock`.
struct LoadedModule {
    void* handle;
    unsigned loads;
};

std::mutex tableLock;

std::map<void*, LoadedModule>& modules() {
    static std::map<void*, LoadedModule> table;
    return table;
}

// The load address of the module behind a dlopen handle (its dynamic
// section lies inside the module), or null.
void* loadAddress(void* handle) {
    link_map* map = nullptr;
    if (dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || !map) return nullptr;
    Dl_info info{};
    if (!dladdr(map->l_ld, &info)) return nullptr;
    return info.dli_fbase;
}

}  // namespace

DVAPI HMODULE LoadLibraryA(LPCSTR path) {
    if (!path) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    void* handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    void* base = loadAddress(handle);
    if (!base) {
        dlclose(handle);
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    std::lock_guard<std::mutex> hold(tableLock);
    auto found = modules().find(base);
    if (found != modules().end()) {
        // Already held here: keep one dlopen reference per module.
        dlclose(handle);
        ++found->second.loads;
    } else {
        modules().emplace(base, LoadedModule{handle, 1});
    }
    SetLastError(ERROR_SUCCESS);
    return static_cast<HMODULE>(base);
}

DVAPI HMODULE LoadLibraryW(LPCWSTR path) {
    if (!path) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return LoadLibraryA(dvrt::toUtf8(path).c_str());
}

DVAPI FARPROC GetProcAddress(HMODULE module, LPCSTR name) {
    if (!name) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    void* handle = RTLD_DEFAULT;
    if (module) {
        std::lock_guard<std::mutex> hold(tableLock);
        auto found = modules().find(static_cast<void*>(module));
        if (found == modules().end()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return nullptr;
        }
        handle = found->second.handle;
    }
    void* symbol = dlsym(handle, name);
    if (!symbol) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<FARPROC>(symbol);
}

DVAPI BOOL FreeLibrary(HMODULE module) {
    void* handle = nullptr;
    {
        std::lock_guard<std::mutex> hold(tableLock);
        auto found = modules().find(static_cast<void*>(module));
        if (!module || found == modules().end()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        if (--found->second.loads > 0) return TRUE;
        handle = found->second.handle;
        modules().erase(found);
    }
    dlclose(handle);
    return TRUE;
}
