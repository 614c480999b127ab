// Component server of the V4L2 capture source: its class object, unloading
// and self-registration. Only the class keys are registered: the devices are
// not registry entries but the V4L2 nodes the device enumerator finds when it
// lists the video input category.
#include <atomic>
#include <new>
#include <string>

#include "framework/framework.h"
#include "platform/v4l2_io.h"
#include "v4l2/v4l2_source.h"

#define DV_V4L2_EXPORT __attribute__((visibility("default")))

extern "C" {
DV_V4L2_EXPORT HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv);
DV_V4L2_EXPORT HRESULT STDAPICALLTYPE DllCanUnloadNow();
DV_V4L2_EXPORT HRESULT STDAPICALLTYPE DllRegisterServer();
DV_V4L2_EXPORT HRESULT STDAPICALLTYPE DllUnregisterServer();
}

namespace {

std::atomic<LONG> serverLocks{0};

// Counts in the live-object count like every framework object, so
// DllCanUnloadNow answers S_FALSE while one exists.
class V4l2SourceFactory : public ComponentCore, public IClassFactory {
public:
    DV_FORWARD_IUNKNOWN
    HRESULT nonDelegatingQueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (riid == IID_IClassFactory) return getInterface(static_cast<IClassFactory*>(this), ppv);
        return ComponentCore::nonDelegatingQueryInterface(riid, ppv);
    }
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        return createV4l2Source(outer, riid, ppv);
    }
    STDMETHODIMP LockServer(BOOL lockIt) override {
        if (lockIt)
            ++serverLocks;
        else
            --serverLocks;
        return S_OK;
    }
};

std::wstring classKeyPath() {
    WCHAR text[40] = {};
    StringFromGUID2(CLSID_DvV4l2CaptureSource, text, 40);
    return std::wstring(L"CLSID\\") + text;
}

LSTATUS setString(HKEY key, const WCHAR* name, const std::wstring& value) {
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>((value.size() + 1) * sizeof(WCHAR)));
}

std::wstring thisModulePath() {
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            reinterpret_cast<LPCWSTR>(reinterpret_cast<void*>(&DllRegisterServer)), &module))
        return std::wstring();
    WCHAR path[MAX_PATH * 4] = {};
    DWORD length = GetModuleFileNameW(module, path, MAX_PATH * 4);
    if (length == 0 || length >= MAX_PATH * 4) return std::wstring();
    return std::wstring(path, length);
}

}  // namespace

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (clsid != CLSID_DvV4l2CaptureSource) return CLASS_E_CLASSNOTAVAILABLE;
    auto* factory = new (std::nothrow) V4l2SourceFactory;
    if (!factory) return E_OUTOFMEMORY;
    factory->nonDelegatingAddRef();
    HRESULT hr = factory->nonDelegatingQueryInterface(riid, ppv);
    factory->nonDelegatingRelease();
    return hr;
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() {
    return liveObjectCount() == 0 && serverLocks.load() == 0 ? S_OK : S_FALSE;
}

// HKCR\CLSID\{class} (default: the source's name) and its InprocServer32
// (default: this module's path, ThreadingModel "Both").
extern "C" HRESULT STDAPICALLTYPE DllRegisterServer() {
    const std::wstring path = thisModulePath();
    if (path.empty()) return E_FAIL;
    HKEY classKey = nullptr;
    LSTATUS status = RegCreateKeyExW(HKEY_CLASSES_ROOT, classKeyPath().c_str(), 0, nullptr,
                                     REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &classKey, nullptr);
    if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);
    status = setString(classKey, nullptr, L"Duoview V4L2 Capture Source");
    HKEY serverKey = nullptr;
    if (status == ERROR_SUCCESS)
        status = RegCreateKeyExW(classKey, L"InprocServer32", 0, nullptr, REG_OPTION_NON_VOLATILE,
                                 KEY_ALL_ACCESS, nullptr, &serverKey, nullptr);
    if (status == ERROR_SUCCESS) {
        status = setString(serverKey, nullptr, path);
        if (status == ERROR_SUCCESS) status = setString(serverKey, L"ThreadingModel", L"Both");
        RegCloseKey(serverKey);
    }
    RegCloseKey(classKey);
    return HRESULT_FROM_WIN32(status);
}

extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer() {
    const LSTATUS status = RegDeleteTreeW(HKEY_CLASSES_ROOT, classKeyPath().c_str());
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND ? S_OK : HRESULT_FROM_WIN32(status);
}
