// COM basics: GUID text, BSTR/VARIANT, apartments, class activation through
// the registry and a real shared library, module names, last error.
#include <dlfcn.h>

#include <atomic>
#include <string>
#include <thread>

#include "test_support.h"

namespace {

DEFINE_GUID(CLSID_TestObject, 0xd1f0a2b3, 0x4c5d, 0x4e6f, 0x80, 0x91, 0xa2, 0xb3, 0xc4, 0xd5, 0xe6, 0xf7);
DEFINE_GUID(CLSID_NotInServer, 0xd1f0a2b3, 0x4c5d, 0x4e6f, 0x80, 0x91, 0xa2, 0xb3, 0xc4, 0xd5, 0xe6, 0xf8);

class Com : public FreshRegistry {
protected:
    // Writes HKCR\CLSID\{clsid}\InprocServer32 = path.
    void registerServer(REFCLSID clsid, const std::string& path) {
        wchar_t text[40];
        ASSERT_EQ(StringFromGUID2(clsid, text, 40), 39);
        const std::wstring keyName = std::wstring(L"CLSID\\") + text + L"\\InprocServer32";
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, keyName.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                  &key, nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(path.c_str()),
                                 static_cast<DWORD>(path.size() + 1)),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }
    static bool serverLoaded() {
        void* handle = dlopen(DV_TEST_SERVER_PATH, RTLD_NOW | RTLD_NOLOAD);
        if (handle) dlclose(handle);
        return handle != nullptr;
    }
};

// Counts its references, for VARIANT ownership checks.
class Counted final : public IUnknown {
public:
    STDMETHODIMP QueryInterface(REFIID, void** ppv) override {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
    STDMETHODIMP_(ULONG) Release() override { return --refs; }
    std::atomic<ULONG> refs{1};
};

TEST(GuidText, StringFromGUID2AndBack) {
    const GUID g = {0x2C651615, 0xC765, 0x413E, {0x8A, 0x80, 0xC8, 0xA2, 0x32, 0xF9, 0x50, 0x00}};
    wchar_t text[39];
    EXPECT_EQ(StringFromGUID2(g, text, 38), 0);  // no room for the NUL
    ASSERT_EQ(StringFromGUID2(g, text, 39), 39);
    EXPECT_STREQ(text, L"{2C651615-C765-413E-8A80-C8A232F95000}");

    CLSID back{};
    ASSERT_EQ(CLSIDFromString(text, &back), S_OK);
    EXPECT_EQ(back, g);
    ASSERT_EQ(CLSIDFromString(L"{2c651615-c765-413e-8a80-c8a232f95000}", &back), S_OK);
    EXPECT_EQ(back, g);
    for (const wchar_t* bad :
         {L"2C651615-C765-413E-8A80-C8A232F95000", L"{2C651615-C765-413E-8A80-C8A232F9500}",
          L"{2C651615-C765-413E-8A80-C8A232F9500G}", L"{2C651615+C765-413E-8A80-C8A232F95000}"}) {
        back = g;
        EXPECT_EQ(CLSIDFromString(bad, &back), CO_E_CLASSSTRING) << bad;
        EXPECT_EQ(back, GUID_NULL);
    }
    LPOLESTR owned = nullptr;
    ASSERT_EQ(StringFromCLSID(g, &owned), S_OK);
    EXPECT_STREQ(owned, text);
    CoTaskMemFree(owned);
}

TEST(Strings, BstrAndVariant) {
    BSTR b = SysAllocStringLen(L"ab\0cd", 5);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(SysStringLen(b), 5u);
    EXPECT_EQ(b[5], L'\0');
    EXPECT_EQ(SysAllocString(nullptr), nullptr);
    EXPECT_EQ(SysStringLen(nullptr), 0u);

    VARIANT a;
    VariantInit(&a);
    EXPECT_EQ(a.vt, VT_EMPTY);
    a.vt = VT_BSTR;
    a.bstrVal = b;
    VARIANT copy;
    VariantInit(&copy);
    ASSERT_EQ(VariantCopy(&copy, &a), S_OK);
    EXPECT_NE(copy.bstrVal, a.bstrVal);  // a deep copy
    EXPECT_EQ(SysStringLen(copy.bstrVal), 5u);
    EXPECT_EQ(std::wmemcmp(copy.bstrVal, L"ab\0cd", 5), 0);
    EXPECT_EQ(VariantClear(&copy), S_OK);
    EXPECT_EQ(copy.vt, VT_EMPTY);
    EXPECT_EQ(VariantClear(&a), S_OK);

    Counted object;
    VARIANT u;
    VariantInit(&u);
    u.vt = VT_UNKNOWN;
    u.punkVal = &object;
    object.AddRef();
    ASSERT_EQ(VariantCopy(&copy, &u), S_OK);
    EXPECT_EQ(object.refs.load(), 3u);
    VariantClear(&copy);
    VariantClear(&u);
    EXPECT_EQ(object.refs.load(), 1u);
    EXPECT_EQ(VariantClear(nullptr), E_INVALIDARG);
}

TEST(Apartments, CountedPerThread) {
    std::thread([] {
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_FALSE);
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), RPC_E_CHANGED_MODE);
        CoUninitialize();
        CoUninitialize();
        EXPECT_EQ(CoInitialize(nullptr), S_OK);  // a fresh start may choose another mode
        CoUninitialize();
    }).join();
}

TEST(LastError, IsPerThread) {
    SetLastError(42);
    std::thread([] {
        EXPECT_EQ(GetLastError(), 0u);
        SetLastError(7);
    }).join();
    EXPECT_EQ(GetLastError(), 42u);
}

TEST(Modules, HandleAndFileName) {
    HMODULE module = nullptr;
    ASSERT_TRUE(GetModuleHandleExW(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
        reinterpret_cast<LPCWSTR>(&CoTaskMemAlloc), &module));
    ASSERT_NE(module, nullptr);
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(module, path, MAX_PATH);
    ASSERT_GT(length, 0u);
    const std::wstring name(path, length);
    EXPECT_NE(name.find(L"libdvplatform.so"), std::wstring::npos) << std::string(name.begin(), name.end());
    EXPECT_EQ(path[0], L'/');

    // Too small a buffer: truncated, terminated, the buffer size returned.
    char shortPath[8];
    EXPECT_EQ(GetModuleFileNameA(module, shortPath, 8), 8u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(shortPath[7], '\0');

    char self[MAX_PATH];
    ASSERT_GT(GetModuleFileNameA(nullptr, self, MAX_PATH), 0u);
    EXPECT_NE(std::string(self).find("runtime_com_test"), std::string::npos);
    int onStack = 0;
    EXPECT_FALSE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                                    reinterpret_cast<LPCWSTR>(&onStack), &module));
}

TEST_F(Com, BuiltinClasses) {
    ComPtr<IFilterGraph2> graph;
    ASSERT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterGraph2,
                               reinterpret_cast<void**>(graph.GetAddressOf())),
              S_OK);
    ComPtr<IMediaControl> control;
    EXPECT_EQ(graph.As(&control), S_OK);
    for (const CLSID* clsid :
         {&CLSID_MemoryAllocator, &CLSID_SystemClock, &CLSID_SystemDeviceEnum, &CLSID_FilterMapper2}) {
        ComPtr<IUnknown> object;
        EXPECT_EQ(CoCreateInstance(*clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                   reinterpret_cast<void**>(object.GetAddressOf())),
                  S_OK);
        ComPtr<IUnknown> none;
        EXPECT_EQ(CoCreateInstance(*clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IPropertyPage,
                                   reinterpret_cast<void**>(none.GetAddressOf())),
                  E_NOINTERFACE);
        EXPECT_EQ(none, nullptr);
    }
    Counted outer;
    void* out = &outer;
    EXPECT_EQ(CoCreateInstance(CLSID_FilterGraph, &outer, CLSCTX_INPROC_SERVER, IID_IUnknown, &out),
              CLASS_E_NOAGGREGATION);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, nullptr),
              E_POINTER);
}

TEST_F(Com, UnregisteredClasses) {
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(CoCreateInstance(CLSID_TestObject, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &out),
              REGDB_E_CLASSNOTREG);
    EXPECT_EQ(out, nullptr);

    // A class key without InprocServer32 is not registered either.
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, L"CLSID\\{D1F0A2B3-4C5D-4E6F-8091-A2B3C4D5E6F7}", 0, nullptr,
                              0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(CoCreateInstance(CLSID_TestObject, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &out),
              REGDB_E_CLASSNOTREG);

    registerServer(CLSID_TestObject, "/nonexistent/library.so");
    EXPECT_EQ(CoCreateInstance(CLSID_TestObject, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &out),
              HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND));
    EXPECT_EQ(out, nullptr);
}

TEST_F(Com, ActivatesThroughInprocServerAndUnloads) {
    registerServer(CLSID_TestObject, DV_TEST_SERVER_PATH);
    registerServer(CLSID_NotInServer, DV_TEST_SERVER_PATH);
    ASSERT_FALSE(serverLoaded());

    ComPtr<IPersist> object;
    ASSERT_EQ(CoCreateInstance(CLSID_TestObject, nullptr, CLSCTX_INPROC_SERVER, IID_IPersist,
                               reinterpret_cast<void**>(object.GetAddressOf())),
              S_OK);
    CLSID clsid{};
    ASSERT_EQ(object->GetClassID(&clsid), S_OK);
    EXPECT_EQ(clsid, CLSID_TestObject);
    EXPECT_TRUE(serverLoaded());

    // The library answers for its own classes only.
    void* out = nullptr;
    EXPECT_EQ(CoCreateInstance(CLSID_NotInServer, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &out),
              CLASS_E_CLASSNOTAVAILABLE);
    // Only in-process activation exists.
    EXPECT_EQ(CoCreateInstance(CLSID_TestObject, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown, &out),
              REGDB_E_CLASSNOTREG);

    // Unloaded only once nothing of it is alive.
    CoFreeUnusedLibraries();
    EXPECT_TRUE(serverLoaded());
    object.Reset();
    CoFreeUnusedLibraries();
    EXPECT_FALSE(serverLoaded());

    // And loaded again on demand.
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(CoGetClassObject(CLSID_TestObject, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                               reinterpret_cast<void**>(factory.GetAddressOf())),
              S_OK);
    ASSERT_EQ(factory->LockServer(TRUE), S_OK);
    factory.Reset();
    CoFreeUnusedLibraries();
    EXPECT_TRUE(serverLoaded());  // the server lock keeps it
    ASSERT_EQ(CoGetClassObject(CLSID_TestObject, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                               reinterpret_cast<void**>(factory.GetAddressOf())),
              S_OK);
    factory->LockServer(FALSE);
    factory.Reset();
    CoFreeUnusedLibraries();
    EXPECT_FALSE(serverLoaded());
}

}  // namespace
