// Component server of the test cameras: class objects, unloading and
// self-registration (class keys and the video input device category).
#include <atomic>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "framework/framework.h"
#include "testcams/test_camera_filter.h"
#include "testcams/test_cameras.h"

#ifdef _WIN32
#define DV_TESTCAMS_EXPORT
#else
#define DV_TESTCAMS_EXPORT __attribute__((visibility("default")))
#endif

extern "C" {
DV_TESTCAMS_EXPORT HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv);
DV_TESTCAMS_EXPORT HRESULT STDAPICALLTYPE DllCanUnloadNow();
DV_TESTCAMS_EXPORT HRESULT STDAPICALLTYPE DllRegisterServer();
DV_TESTCAMS_EXPORT HRESULT STDAPICALLTYPE DllUnregisterServer();
}

namespace {

std::atomic<LONG> serverLocks{0};

// The class object of one device. Counts in the live-object count like every
// framework object, so DllCanUnloadNow answers S_FALSE while one exists.
class TestCameraFactory : public ComponentCore, public IClassFactory {
public:
    explicit TestCameraFactory(const TestCameraDevice* device) : device(device) {}

    DV_FORWARD_IUNKNOWN
    HRESULT nonDelegatingQueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (riid == IID_IClassFactory) return getInterface(static_cast<IClassFactory*>(this), ppv);
        return ComponentCore::nonDelegatingQueryInterface(riid, ppv);
    }

    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        return createTestCamera(device, outer, riid, ppv);
    }
    STDMETHODIMP LockServer(BOOL lockIt) override {
        if (lockIt)
            ++serverLocks;
        else
            --serverLocks;
        return S_OK;
    }

private:
    const TestCameraDevice* device;  // static table entry
};

std::wstring classKeyPath(REFCLSID clsid) {
    WCHAR text[40] = {};
    StringFromGUID2(clsid, text, 40);
    return std::wstring(L"CLSID\\") + text;
}

LSTATUS setString(HKEY key, const WCHAR* name, const std::wstring& value) {
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>((value.size() + 1) * sizeof(WCHAR)));
}

// HKCR\CLSID\{clsid} (default: name) and its InprocServer32 (default: the
// module path, ThreadingModel "Both").
HRESULT writeClassKeys(const TestCameraDevice& device, const std::wstring& modulePath) {
    HKEY classKey = nullptr;
    LSTATUS status = RegCreateKeyExW(HKEY_CLASSES_ROOT, classKeyPath(*device.classId).c_str(), 0, nullptr,
                                     REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &classKey, nullptr);
    if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);
    status = setString(classKey, nullptr, device.name);
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

HRESULT registerInCategory(IFilterMapper2* mapper, const TestCameraDevice& device) {
    static const REGPINTYPES types[] = {{&MEDIATYPE_Video, &MEDIASUBTYPE_RGB24}};
    static const REGPINTYPES types32[] = {{&MEDIATYPE_Video, &MEDIASUBTYPE_RGB32}};
    REGFILTERPINS2 pin{};
    pin.dwFlags = REG_PINFLAG_B_OUTPUT;
    pin.cInstances = 1;
    pin.nMediaTypes = 1;
    pin.lpMediaType = device.kind == TestCameraKind::noRgb24 ? types32 : types;
    pin.clsPinCategory = &PIN_CATEGORY_CAPTURE;
    REGFILTER2 record{};
    record.dwVersion = 2;
    record.dwMerit = MERIT_DO_NOT_USE;
    record.cPins2 = 1;
    record.rgPins2 = &pin;
    return mapper->RegisterFilter(*device.classId, device.name, nullptr, &CLSID_VideoInputDeviceCategory,
                                  device.name, &record);
}

// Whether DllRegisterServer registers `device` (see test_cameras.h).
bool wanted(const TestCameraDevice& device) {
    const char* list = std::getenv("DV_TESTCAMS_DEVICES");
    if (list && *list) {
        std::string text(list);
        size_t begin = 0;
        while (begin <= text.size()) {
            size_t end = text.find(',', begin);
            if (end == std::string::npos) end = text.size();
            std::string item = text.substr(begin, end - begin);
            while (!item.empty() && std::isspace(static_cast<unsigned char>(item.front())))
                item.erase(0, 1);
            while (!item.empty() && std::isspace(static_cast<unsigned char>(item.back())))
                item.pop_back();
            if (findTestCameraByKey(item.c_str()) == &device) return true;
            begin = end + 1;
        }
        return false;
    }
    if (!device.variant) return true;
    const char* variants = std::getenv("DV_TESTCAMS_VARIANTS");
    return variants && std::strcmp(variants, "1") == 0;
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

// Initialises COM on this thread for the duration of a registration call.
class ComScope {
public:
    ComScope() : result(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
    ~ComScope() {
        if (SUCCEEDED(result)) CoUninitialize();
    }
    ComScope(const ComScope&) = delete;
    ComScope& operator=(const ComScope&) = delete;

private:
    HRESULT result;
};

}  // namespace

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    const TestCameraDevice* device = findTestCamera(clsid);
    if (!device) return CLASS_E_CLASSNOTAVAILABLE;
    auto* factory = new (std::nothrow) TestCameraFactory(device);
    if (!factory) return E_OUTOFMEMORY;
    factory->nonDelegatingAddRef();
    HRESULT hr = factory->nonDelegatingQueryInterface(riid, ppv);
    factory->nonDelegatingRelease();
    return hr;
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() {
    return liveObjectCount() == 0 && serverLocks.load() == 0 ? S_OK : S_FALSE;
}

extern "C" HRESULT STDAPICALLTYPE DllRegisterServer() {
    const std::wstring path = thisModulePath();
    if (path.empty()) return E_FAIL;
    ComScope com;
    ComPtr<IFilterMapper2> mapper;
    HRESULT hr = CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper2,
                                  reinterpret_cast<void**>(mapper.GetAddressOf()));
    if (FAILED(hr)) return hr;
    for (int i = 0; i < testCameraDeviceCount(); ++i) {
        const TestCameraDevice& device = testCameraDevices()[i];
        if (!wanted(device)) continue;
        hr = writeClassKeys(device, path);
        if (SUCCEEDED(hr)) hr = registerInCategory(mapper.Get(), device);
        if (FAILED(hr)) return hr;
    }
    return S_OK;
}

extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer() {
    ComScope com;
    ComPtr<IFilterMapper2> mapper;
    HRESULT hr = CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper2,
                                  reinterpret_cast<void**>(mapper.GetAddressOf()));
    if (FAILED(hr)) return hr;
    for (int i = 0; i < testCameraDeviceCount(); ++i) {
        const TestCameraDevice& device = testCameraDevices()[i];
        // Devices that were never registered answer a failure here: ignored.
        mapper->UnregisterFilter(&CLSID_VideoInputDeviceCategory, device.name, *device.classId);
        RegDeleteTreeW(HKEY_CLASSES_ROOT, classKeyPath(*device.classId).c_str());
    }
    return S_OK;
}
