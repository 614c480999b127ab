// Registration of the module's classes (component server keys under
// HKEY_CLASSES_ROOT\CLSID), of the filter with the filter mapper, and of the
// filter as a video input device.

#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

#include "filter/component_server.h"
#include "filter/stereo_interfaces.h"
#include "platform/com_ptr.h"
#include "platform/registry_key.h"

namespace {

// The older filter mapper, tried when IFilterMapper2's class cannot be created.
constexpr CLSID legacyFilterMapperClass = {
    0xE436EBB2, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};

// The "file not found" result with which the mapper reports a missing registration.
const HRESULT notFound = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);

const REGPINTYPES videoRgb24Type = {&MEDIATYPE_Video, &MEDIASUBTYPE_RGB24};

WCHAR input1Name[] = L"Input1";
WCHAR input2Name[] = L"Input2";
WCHAR output1Name[] = L"Output1";

const REGFILTERPINS filterPins[] = {
    {input1Name, FALSE, FALSE, FALSE, FALSE, &CLSID_NULL, L"Output1", 1, &videoRgb24Type},
    {input2Name, FALSE, FALSE, FALSE, FALSE, &CLSID_NULL, L"Output2", 1, &videoRgb24Type},
    {output1Name, FALSE, TRUE, FALSE, FALSE, &CLSID_NULL, L"Input1", 1, &videoRgb24Type},
};

const REGFILTERPINS2 captureDevicePins[] = {
    {0, 1, 1, &videoRgb24Type, 0, nullptr, nullptr},
    {0, 1, 1, &videoRgb24Type, 0, nullptr, nullptr},
    {REG_PINFLAG_B_OUTPUT, 1, 1, &videoRgb24Type, 0, nullptr, &PIN_CATEGORY_CAPTURE},
};

HRESULT lastErrorResult(LSTATUS status) {
    return HRESULT_FROM_WIN32(static_cast<DWORD>(status));
}

// HKEY_CLASSES_ROOT\CLSID\{...} of `classId`.
std::wstring classKeyName(const CLSID& classId) {
    WCHAR text[40] = {};
    StringFromGUID2(classId, text, 40);
    return std::wstring(L"CLSID\\") + text;
}

LSTATUS setStringValue(HKEY key, const WCHAR* name, const std::wstring& value) {
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>((value.size() + 1) * sizeof(WCHAR)));
}

HRESULT writeServerKeys(const ClassEntry& entry, const std::wstring& modulePath) {
    RegistryKey classKey;
    LSTATUS status =
        RegCreateKeyExW(HKEY_CLASSES_ROOT, classKeyName(*entry.classId).c_str(), 0, nullptr,
                        REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, classKey.receive(), nullptr);
    if (status != ERROR_SUCCESS) return lastErrorResult(status);
    status = setStringValue(classKey.get(), nullptr, entry.name);
    if (status != ERROR_SUCCESS) return lastErrorResult(status);
    RegistryKey serverKey;
    status = RegCreateKeyExW(classKey.get(), L"InprocServer32", 0, nullptr, REG_OPTION_NON_VOLATILE,
                             KEY_ALL_ACCESS, nullptr, serverKey.receive(), nullptr);
    if (status != ERROR_SUCCESS) return lastErrorResult(status);
    status = setStringValue(serverKey.get(), nullptr, modulePath);
    if (status != ERROR_SUCCESS) return lastErrorResult(status);
    status = setStringValue(serverKey.get(), L"ThreadingModel", L"Both");
    if (status != ERROR_SUCCESS) return lastErrorResult(status);
    return S_OK;
}

// Deletes `parent`\`name` with everything below it, depth first. A key that
// cannot be opened counts as already removed.
LSTATUS deleteKeyTree(HKEY parent, const std::wstring& name) {
    RegistryKey key;
    if (RegOpenKeyExW(parent, name.c_str(), 0, KEY_ALL_ACCESS, key.receive()) != ERROR_SUCCESS)
        return ERROR_SUCCESS;
    std::vector<std::wstring> children;
    for (DWORD index = 0;; ++index) {
        WCHAR child[256];
        DWORD chars = 256;
        if (RegEnumKeyExW(key.get(), index, child, &chars, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            break;
        children.emplace_back(child, chars);
    }
    for (const std::wstring& child : children) {
        const LSTATUS status = deleteKeyTree(key.get(), child);
        if (status != ERROR_SUCCESS) return status;
    }
    key.reset();
    return RegDeleteKeyW(parent, name.c_str());
}

// This module's full path as the platform's ANSI file name, widened.
HRESULT modulePathOf(std::wstring* path) {
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            reinterpret_cast<LPCWSTR>(&modulePathOf), &module)) {
        return HRESULT_FROM_WIN32(GetLastError());
    }
    char ansi[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameA(module, ansi, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        const DWORD error = GetLastError();
        return error ? HRESULT_FROM_WIN32(error) : E_FAIL;
    }
#ifdef _WIN32
    WCHAR wide[MAX_PATH] = {};
    const int chars = MultiByteToWideChar(CP_ACP, 0, ansi, -1, wide, MAX_PATH);
    if (chars <= 0) return HRESULT_FROM_WIN32(GetLastError());
    *path = wide;
#else
    WCHAR wide[MAX_PATH] = {};
    const size_t chars = std::mbstowcs(wide, ansi, MAX_PATH - 1);
    if (chars == static_cast<size_t>(-1)) return E_FAIL;
    *path = std::wstring(wide, chars);
#endif
    return S_OK;
}

HRESULT createFilterMapper(ComPtr<IFilterMapper2>* mapper) {
    HRESULT hr = CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper2,
                                  reinterpret_cast<void**>(mapper->ReleaseAndGetAddressOf()));
    if (SUCCEEDED(hr)) return hr;
    // The older mapper class, driven through the same record-based interface.
    return CoCreateInstance(legacyFilterMapperClass, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper2,
                            reinterpret_cast<void**>(mapper->ReleaseAndGetAddressOf()));
}

// Component server keys, then the general filter registration (or their
// removal, in the reverse order).
HRESULT generalRegistration(bool registering) {
    std::wstring modulePath;
    HRESULT hr = modulePathOf(&modulePath);
    if (FAILED(hr)) return hr;

    if (registering) {
        for (size_t i = 0; i < classTableSize; ++i) {
            hr = writeServerKeys(classTable[i], modulePath);
            if (FAILED(hr)) return hr;
        }
    }

    const HRESULT init = CoInitialize(nullptr);
    {
        ComPtr<IFilterMapper2> mapper;
        hr = createFilterMapper(&mapper);
        if (SUCCEEDED(hr)) {
            for (size_t i = 0; i < classTableSize; ++i) {
                const FilterSetupRecord* setup = classTable[i].setup;
                if (!setup) continue;
                hr = mapper->UnregisterFilter(nullptr, nullptr, *setup->classId);
                if (registering) {
                    REGFILTER2 record{};
                    record.dwVersion = 1;
                    record.dwMerit = setup->merit;
                    record.cPins = setup->pinCount;
                    record.rgPins = setup->pins;
                    hr = mapper->RegisterFilter(*setup->classId, setup->name, nullptr, nullptr, nullptr,
                                                &record);
                }
                if (hr == notFound) hr = S_OK;
                if (FAILED(hr)) break;
            }
        }
    }
    CoFreeUnusedLibraries();
    if (SUCCEEDED(init)) CoUninitialize();

    if (!registering && SUCCEEDED(hr)) {
        for (size_t i = 0; i < classTableSize; ++i) {
            const LSTATUS status = deleteKeyTree(HKEY_CLASSES_ROOT, classKeyName(*classTable[i].classId));
            if (status != ERROR_SUCCESS) hr = lastErrorResult(status);
        }
    }
    return hr;
}

}  // namespace

const FilterSetupRecord stereoFilterSetup = {&CLSID_StereoCameraFilter, virtualCameraFriendlyName,
                                             MERIT_DO_NOT_USE, sizeof(filterPins) / sizeof(filterPins[0]),
                                             filterPins};

HRESULT serverRegister() {
    HRESULT hr = generalRegistration(true);
    if (FAILED(hr)) return hr;

    const HRESULT init = CoInitialize(nullptr);
    {
        ComPtr<IFilterMapper2> mapper;
        hr = CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper2,
                              reinterpret_cast<void**>(mapper.GetAddressOf()));
        if (SUCCEEDED(hr)) {
            REGFILTER2 record{};
            record.dwVersion = 2;
            record.dwMerit = MERIT_DO_NOT_USE;
            record.cPins2 = sizeof(captureDevicePins) / sizeof(captureDevicePins[0]);
            record.rgPins2 = captureDevicePins;
            IMoniker* deviceMoniker = nullptr;
            hr = mapper->RegisterFilter(CLSID_StereoCameraFilter, virtualCameraFriendlyName, &deviceMoniker,
                                        &CLSID_VideoInputDeviceCategory, virtualCameraFriendlyName, &record);
            if (deviceMoniker) deviceMoniker->Release();
        }
    }
    if (SUCCEEDED(init)) CoUninitialize();
    return hr;
}

HRESULT serverUnregister() {
    HRESULT hr = generalRegistration(false);
    if (FAILED(hr)) return hr;

    const HRESULT init = CoInitialize(nullptr);
    {
        ComPtr<IFilterMapper2> mapper;
        hr = CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper2,
                              reinterpret_cast<void**>(mapper.GetAddressOf()));
        if (SUCCEEDED(hr))
            hr = mapper->UnregisterFilter(&CLSID_VideoInputDeviceCategory, virtualCameraFriendlyName,
                                          CLSID_StereoCameraFilter);
    }
    if (SUCCEEDED(init)) CoUninitialize();
    return hr;
}
