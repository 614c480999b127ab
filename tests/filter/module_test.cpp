// The built Duoview2 module as a host sees it: loaded by path, registered
// through its own entry point, created through class activation.

#include <gtest/gtest.h>

#include <string>

#include "filter/stereo_interfaces.h"
#include "platform/com_ptr.h"
#include "platform/win.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace {

using EntryPoint = HRESULT(STDAPICALLTYPE*)();
using ClassObjectEntry = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);

class LoadedModule {
public:
    explicit LoadedModule(const char* path) {
#ifdef _WIN32
        handle = LoadLibraryA(path);
#else
        handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
#endif
    }
    ~LoadedModule() {
#ifdef _WIN32
        if (handle) FreeLibrary(handle);
#else
        if (handle) dlclose(handle);
#endif
    }
    LoadedModule(const LoadedModule&) = delete;
    LoadedModule& operator=(const LoadedModule&) = delete;

    explicit operator bool() const {
        return handle != nullptr;
    }
    template <class F>
    F entry(const char* name) const {
#ifdef _WIN32
        return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(handle, name)));
#else
        return reinterpret_cast<F>(dlsym(handle, name));
#endif
    }

private:
#ifdef _WIN32
    HMODULE handle = nullptr;
#else
    void* handle = nullptr;
#endif
};

TEST(Duoview2Module, RegistersAndCreatesTheFilterThroughClassActivation) {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    {
        LoadedModule module(DV_MODULE_PATH);
        ASSERT_TRUE(module) << DV_MODULE_PATH;
        auto registerServer = module.entry<EntryPoint>("DllRegisterServer");
        auto unregisterServer = module.entry<EntryPoint>("DllUnregisterServer");
        auto canUnload = module.entry<EntryPoint>("DllCanUnloadNow");
        auto getClassObject = module.entry<ClassObjectEntry>("DllGetClassObject");
        ASSERT_NE(registerServer, nullptr);
        ASSERT_NE(unregisterServer, nullptr);
        ASSERT_NE(canUnload, nullptr);
        ASSERT_NE(getClassObject, nullptr);
        // Nothing but the entry points is visible.
        EXPECT_EQ(module.entry<void*>("_Z12loadSettingsv"), nullptr);
        EXPECT_EQ(module.entry<void*>("loadSettings"), nullptr);

        EXPECT_EQ(canUnload(), S_OK);
        ASSERT_EQ(registerServer(), S_OK);
        {
            ComPtr<IBaseFilter> filter;
            ASSERT_EQ(CoCreateInstance(CLSID_StereoCameraFilter, nullptr, CLSCTX_INPROC_SERVER,
                                       IID_IBaseFilter, reinterpret_cast<void**>(filter.GetAddressOf())),
                      S_OK);
            EXPECT_EQ(canUnload(), S_FALSE);  // the same module instance serves the activation
            ComPtr<IEnumPins> pins;
            ASSERT_EQ(filter->EnumPins(pins.GetAddressOf()), S_OK);
            IPin* got[4] = {};
            ULONG fetched = 0;
            EXPECT_EQ(pins->Next(4, got, &fetched), S_FALSE);
            EXPECT_EQ(fetched, 3u);
            for (ULONG i = 0; i < fetched; ++i)
                got[i]->Release();
            ComPtr<IStereoImageControl> control;
            ASSERT_EQ(filter.As(&control), S_OK);
            int mode = -1;
            EXPECT_EQ(control->GetImageMode(&mode), S_OK);
            EXPECT_EQ(mode, 3);
        }
        EXPECT_EQ(canUnload(), S_OK);
        EXPECT_EQ(unregisterServer(), S_OK);
    }
    CoUninitialize();
}

}  // namespace
