// Test helper (POSIX): a component library loaded by path for the lifetime of
// the object, and its Dll* entry points called by name.
#pragma once

#include <dlfcn.h>

#include "platform/win.h"

struct LoadedModule {
    explicit LoadedModule(const char* path) : handle(dlopen(path, RTLD_NOW | RTLD_LOCAL)) {}
    ~LoadedModule() {
        if (handle) dlclose(handle);
    }
    LoadedModule(const LoadedModule&) = delete;
    LoadedModule& operator=(const LoadedModule&) = delete;
    // The entry point's result, or E_NOTIMPL when the module or the entry is missing.
    HRESULT call(const char* name) const {
        auto entry = reinterpret_cast<HRESULT (*)()>(handle ? dlsym(handle, name) : nullptr);
        return entry ? entry() : E_NOTIMPL;
    }
    void* handle;
};
