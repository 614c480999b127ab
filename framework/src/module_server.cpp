// Class objects, unloading and class keys of a component server module.
#include "framework/module_server.h"

#include <atomic>
#include <new>

namespace {

std::atomic<LONG> serverLocks{0};

// An address inside this module: internal linkage, so it cannot resolve to
// another module's copy of the framework.
void moduleAnchor() {}

LSTATUS setString(HKEY key, const WCHAR* name, const std::wstring& value) {
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>((value.size() + 1) * sizeof(WCHAR)));
}

}  // namespace

HRESULT ClassFactory::nonDelegatingQueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    if (riid == IID_IClassFactory) return getInterface(static_cast<IClassFactory*>(this), ppv);
    return ComponentCore::nonDelegatingQueryInterface(riid, ppv);
}

STDMETHODIMP ClassFactory::CreateInstance(IUnknown* outer, REFIID riid, void** ppv) {
    return create(context, outer, riid, ppv);
}

STDMETHODIMP ClassFactory::LockServer(BOOL lockIt) {
    if (lockIt)
        ++serverLocks;
    else
        --serverLocks;
    return S_OK;
}

HRESULT makeClassObject(ComponentCreator create, const void* context, REFIID riid, void** ppv) {
    return answerNewComponent(new (std::nothrow) ClassFactory(create, context), S_OK, riid, ppv);
}

HRESULT moduleUnloadAnswer() {
    return liveObjectCount() == 0 && serverLocks.load() == 0 ? S_OK : S_FALSE;
}

HRESULT answerNewComponent(ComponentCore* made, HRESULT status, REFIID riid, void** ppv) {
    if (!made) return E_OUTOFMEMORY;
    made->nonDelegatingAddRef();
    if (SUCCEEDED(status)) status = made->nonDelegatingQueryInterface(riid, ppv);
    made->nonDelegatingRelease();
    return status;
}

std::wstring thisModulePath() {
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            reinterpret_cast<LPCWSTR>(reinterpret_cast<void*>(&moduleAnchor)), &module))
        return std::wstring();
    WCHAR path[MAX_PATH * 4] = {};
    DWORD length = GetModuleFileNameW(module, path, MAX_PATH * 4);
    if (length == 0 || length >= MAX_PATH * 4) return std::wstring();
    return std::wstring(path, length);
}

std::wstring classKeyPath(REFCLSID clsid) {
    WCHAR text[40] = {};
    StringFromGUID2(clsid, text, 40);
    return std::wstring(L"CLSID\\") + text;
}

HRESULT writeClassKeys(REFCLSID clsid, const WCHAR* name, const std::wstring& modulePath) {
    HKEY classKey = nullptr;
    LSTATUS status = RegCreateKeyExW(HKEY_CLASSES_ROOT, classKeyPath(clsid).c_str(), 0, nullptr,
                                     REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &classKey, nullptr);
    if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);
    status = setString(classKey, nullptr, name);
    HKEY serverKey = nullptr;
    if (status == ERROR_SUCCESS)
        status = RegCreateKeyExW(classKey, L"InprocServer32", 0, nullptr, REG_OPTION_NON_VOLATILE,
                                 KEY_ALL_ACCESS, nullptr, &serverKey, nullptr);
    if (status == ERROR_SUCCESS) {
        status = setString(serverKey, nullptr, modulePath);
        if (status == ERROR_SUCCESS) status = setString(serverKey, L"ThreadingModel", L"Both");
        RegCloseKey(serverKey);
    }
    RegCloseKey(classKey);
    return status == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(status);
}

HRESULT removeClassKeys(REFCLSID clsid) {
    const LSTATUS status = RegDeleteTreeW(HKEY_CLASSES_ROOT, classKeyPath(clsid).c_str());
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND ? S_OK : HRESULT_FROM_WIN32(status);
}
