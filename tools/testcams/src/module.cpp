// Component server of the test cameras: class objects, unloading and
// self-registration (class keys and the video input device category).
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>

#include "framework/framework.h"
#include "framework/module_server.h"
#include "testcams/test_camera_filter.h"
#include "testcams/test_cameras.h"

namespace {

// The class objects' creation function; the context is the device.
HRESULT createDeviceCamera(const void* device, IUnknown* outer, REFIID riid, void** ppv) {
    return createTestCamera(static_cast<const TestCameraDevice*>(device), outer, riid, ppv);
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
    return makeClassObject(createDeviceCamera, device, riid, ppv);
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() {
    return moduleUnloadAnswer();
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
        hr = writeClassKeys(*device.classId, device.name, path);
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
        removeClassKeys(*device.classId);
    }
    return S_OK;
}
