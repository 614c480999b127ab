// Modules, registration, devices and stored settings for the host.
#include "components.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#include <climits>
#endif

#include "filter/settings_store.h"
#include "filter/stereo_interfaces.h"
#include "platform/registry_key.h"
#include "platform/trace.h"

namespace {

std::wstring widen(const std::string& text) {
#ifdef _WIN32
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    std::wstring out(n > 0 ? n : 1, L'\0');
    if (n > 0) MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, &out[0], n);
    out.resize(std::wcslen(out.c_str()));
    return out;
#else
    std::wstring out;
    std::mbstate_t state{};
    const char* in = text.c_str();
    const size_t n = std::mbsrtowcs(nullptr, &in, 0, &state);
    if (n == static_cast<size_t>(-1)) {
        for (unsigned char c : text)
            out += static_cast<wchar_t>(c);
        return out;
    }
    out.resize(n);
    in = text.c_str();
    state = std::mbstate_t{};
    std::mbsrtowcs(&out[0], &in, n, &state);
    return out;
#endif
}

// As the product converts a friendly name: wcstombs, at most 255 bytes.
std::string narrowName(const wchar_t* name) {
    char buffer[256] = {};
    if (name) std::wcstombs(buffer, name, sizeof buffer - 1);
    return buffer;
}

std::string lower(const std::string& text) {
    std::string out = text;
    for (char& c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

LSTATUS openSettingsKey(RegistryKey* key) {
    return RegCreateKeyExA(HKEY_CURRENT_USER, settingsKeyPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                           KEY_ALL_ACCESS, nullptr, key->receive(), nullptr);
}

}  // namespace

std::string hresultText(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(static_cast<uint32_t>(hr)));
    if (hr == HRESULT_FROM_WIN32(ERROR_BUSY))
        return std::string(text) + ", a camera is busy: another program is using it (--trace names it)";
    if (hr == HRESULT_FROM_WIN32(ERROR_DEVICE_NOT_CONNECTED))
        return std::string(text) + ", a camera is no longer connected";
    return text;
}

std::string programFolder() {
#ifdef _WIN32
    WCHAR path[MAX_PATH * 2] = {};
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH * 2);
    std::wstring wide(path, n);
    const size_t cut = wide.find_last_of(L"\\/");
    wide = cut == std::wstring::npos ? L"." : wide.substr(0, cut);
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(bytes > 0 ? bytes : 1, '\0');
    if (bytes > 0) WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, &out[0], bytes, nullptr, nullptr);
    out.resize(std::strlen(out.c_str()));
    return out;
#else
    char path[PATH_MAX] = {};
    const DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    std::string text(path, n);
    const size_t cut = text.find_last_of('/');
    return cut == std::string::npos ? "." : text.substr(0, cut);
#endif
}

std::string absolutePath(const std::string& path) {
#ifdef _WIN32
    std::wstring wide = widen(path);
    for (wchar_t& c : wide)
        if (c == L'/') c = L'\\';
    WCHAR full[MAX_PATH * 2] = {};
    const DWORD n = GetFullPathNameW(wide.c_str(), MAX_PATH * 2, full, nullptr);
    if (n == 0 || n >= MAX_PATH * 2) return path;
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, full, -1, nullptr, 0, nullptr, nullptr);
    std::string out(bytes > 0 ? bytes : 1, '\0');
    if (bytes > 0) WideCharToMultiByte(CP_UTF8, 0, full, -1, &out[0], bytes, nullptr, nullptr);
    out.resize(std::strlen(out.c_str()));
    return out;
#else
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) ? std::string(resolved) : path;
#endif
}

bool fileExists(const std::string& path) {
#ifdef _WIN32
    const DWORD attributes = GetFileAttributesW(widen(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
#else
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
#endif
}

std::string findModule(const std::string& fileName, const std::string& buildTreeRelative) {
    const std::string folder = programFolder();
    const std::string beside = folder + "/" + fileName;
    if (fileExists(beside)) return absolutePath(beside);
    if (!buildTreeRelative.empty()) {
        const std::string inTree = folder + "/" + buildTreeRelative;
        if (fileExists(inTree)) return absolutePath(inTree);
    }
    return std::string();
}

HRESULT callModuleEntry(const std::string& path, const char* entry) {
    HMODULE module = LoadLibraryW(widen(path).c_str());
    if (!module) {
        const DWORD error = GetLastError();
        return HRESULT_FROM_WIN32(error ? error : ERROR_MOD_NOT_FOUND);
    }
    typedef HRESULT(STDAPICALLTYPE * EntryPoint)();
    auto function = reinterpret_cast<EntryPoint>(reinterpret_cast<void*>(GetProcAddress(module, entry)));
    const HRESULT hr = function ? function() : HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
    FreeLibrary(module);
    return hr;
}

std::string registeredServerPath(REFCLSID clsid) {
    WCHAR text[40] = {};
    StringFromGUID2(clsid, text, 40);
    const std::wstring keyPath = std::wstring(L"CLSID\\") + text + L"\\InprocServer32";
    RegistryKey key;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, keyPath.c_str(), 0, KEY_READ, key.receive()) != ERROR_SUCCESS)
        return "";
    WCHAR value[1024] = {};
    DWORD size = sizeof(value) - sizeof(WCHAR);
    DWORD type = 0;
    if (RegQueryValueExW(key.get(), nullptr, nullptr, &type, reinterpret_cast<BYTE*>(value), &size) !=
            ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
        return "";
    std::string out;
#ifdef _WIN32
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, value, -1, nullptr, 0, nullptr, nullptr);
    out.assign(bytes > 0 ? bytes : 1, '\0');
    if (bytes > 0) WideCharToMultiByte(CP_UTF8, 0, value, -1, &out[0], bytes, nullptr, nullptr);
    out.resize(std::strlen(out.c_str()));
#else
    char buffer[4096] = {};
    std::wcstombs(buffer, value, sizeof buffer - 1);
    out = buffer;
#endif
    return out;
}

HRESULT listVideoDevices(std::vector<VideoDevice>* devices) {
    devices->clear();
    ComPtr<ICreateDevEnum> enumerator;
    HRESULT hr = CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER, IID_ICreateDevEnum,
                                  reinterpret_cast<void**>(enumerator.GetAddressOf()));
    if (FAILED(hr)) return hr;
    ComPtr<IEnumMoniker> list;
    hr = enumerator->CreateClassEnumerator(CLSID_VideoInputDeviceCategory, list.GetAddressOf(), 0);
    if (hr != S_OK) return SUCCEEDED(hr) ? S_OK : hr;  // S_FALSE: the category is empty
    ComPtr<IMoniker> moniker;
    while (list->Next(1, moniker.ReleaseAndGetAddressOf(), nullptr) == S_OK) {
        ComPtr<IPropertyBag> bag;
        if (FAILED(moniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag,
                                          reinterpret_cast<void**>(bag.GetAddressOf()))))
            continue;
        VARIANT name;
        VariantInit(&name);
        if (SUCCEEDED(bag->Read(L"FriendlyName", &name, nullptr)) && name.vt == VT_BSTR)
            devices->push_back(VideoDevice{narrowName(name.bstrVal), moniker});
        VariantClear(&name);
    }
    return S_OK;
}

std::string virtualCameraName() {
    return narrowName(virtualCameraFriendlyName);
}

int findDevice(const std::vector<VideoDevice>& devices, const std::string& name) {
    for (size_t i = 0; i < devices.size(); ++i)
        if (devices[i].name == name) return static_cast<int>(i);
    const std::string wanted = lower(name);
    for (int pass = 0; pass < 2; ++pass) {
        int found = -1;
        for (size_t i = 0; i < devices.size(); ++i) {
            const std::string candidate = lower(devices[i].name);
            const bool match = pass == 0 ? candidate == wanted : candidate.find(wanted) != std::string::npos;
            if (!match) continue;
            // Two webcams of one model share a name: that name is not ambiguous.
            if (found >= 0 && devices[static_cast<size_t>(found)].name != devices[i].name) return -1;
            if (found < 0) found = static_cast<int>(i);
        }
        if (found >= 0) return found;
    }
    return -1;
}

int nameOccurrence(const std::vector<VideoDevice>& devices, int index) {
    int before = 0;
    for (int i = 0; i < index; ++i)
        before += devices[static_cast<size_t>(i)].name == devices[static_cast<size_t>(index)].name ? 1 : 0;
    return before;
}

int nthDeviceNamed(const std::vector<VideoDevice>& devices, const std::string& name, int occurrence) {
    for (size_t i = 0; i < devices.size(); ++i)
        if (devices[i].name == name && occurrence-- == 0) return static_cast<int>(i);
    return -1;
}

CameraPair resolveCameraPair(const std::vector<VideoDevice>& devices, const std::string& leftName,
                             const std::string& rightName) {
    CameraPair pair;
    if (!leftName.empty()) pair.left = findDevice(devices, leftName);
    if (!rightName.empty()) pair.right = findDevice(devices, rightName);
    if (leftName.empty() || rightName.empty()) return pair;
    if (pair.left >= 0 && pair.left == pair.right) {
        const std::string& name = devices[static_cast<size_t>(pair.left)].name;
        const int twin = nthDeviceNamed(devices, name, nameOccurrence(devices, pair.left) + 1);
        if (twin >= 0)
            pair.right = twin;
        else
            pair.same = true;
    } else if (pair.left < 0 && pair.right < 0 && leftName == rightName) {
        pair.same = true;
    }
    return pair;
}

bool openVirtualCamera(const std::vector<VideoDevice>& devices, VirtualCamera* camera, std::string* error) {
    *camera = VirtualCamera{};
    const std::string vcamName = virtualCameraName();
    const int index = findDevice(devices, vcamName);
    if (index < 0) {
        *error = "\"" + vcamName + "\" is not listed by the device enumerator";
        return false;
    }
    VirtualCamera opened;
    const HRESULT hr = devices[static_cast<size_t>(index)].moniker->BindToObject(
        nullptr, nullptr, IID_IBaseFilter, reinterpret_cast<void**>(opened.filter.GetAddressOf()));
    if (FAILED(hr)) {
        *error = "cannot create the virtual camera (" + hresultText(hr) + ")";
        return false;
    }
    opened.filter->FindPin(L"Output1", opened.output.GetAddressOf());
    if (!opened.output || FAILED(opened.filter.As(&opened.imageControl)) ||
        FAILED(opened.output.As(&opened.selection)) || FAILED(opened.output.As(&opened.streamConfig))) {
        *error = "the virtual camera lacks Output1 or its private interfaces";
        return false;
    }
    *camera = opened;
    return true;
}

StoredSettings readStoredSettings() {
    StoredSettings stored;
    RegistryKey key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, settingsKeyPath, 0, KEY_READ, key.receive()) != ERROR_SUCCESS)
        return stored;
    auto number = [&](const char* name, DWORD* value) {
        DWORD type = 0, size = sizeof(DWORD);
        return RegQueryValueExA(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(value), &size) ==
                   ERROR_SUCCESS &&
               type == REG_DWORD && size == sizeof(DWORD);
    };
    auto text = [&](const char* name) {
        char buffer[257] = {};
        DWORD type = 0, size = 256;
        if (RegQueryValueExA(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) !=
                ERROR_SUCCESS ||
            type != REG_SZ || size == 0 || size > 256)
            return std::string();
        return std::string(buffer, std::strlen(buffer));
    };
    stored.hasMode = number("camMode", &stored.mode);
    stored.hasSwap = number("camPosition", &stored.swap);
    stored.hasSize = number("camSize", &stored.size);
    stored.leftName = text("lcamName");
    stored.rightName = text("rcamName");
    return stored;
}

LSTATUS writeStoredNumber(const char* valueName, DWORD value) {
    RegistryKey key;
    const LSTATUS status = openSettingsKey(&key);
    if (status != ERROR_SUCCESS) return status;
    return RegSetValueExA(key.get(), valueName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                          sizeof(value));
}

LSTATUS writeStoredName(const char* valueName, const std::string& name) {
    RegistryKey key;
    const LSTATUS status = openSettingsKey(&key);
    if (status != ERROR_SUCCESS) return status;
    return RegSetValueExA(key.get(), valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(name.c_str()),
                          static_cast<DWORD>(name.size()));
}

std::string enableProductTrace(int level) {
    const std::string text = std::to_string(level);
#ifdef _WIN32
    // The process environment block, which the product reads with
    // GetEnvironmentVariable.
    SetEnvironmentVariableA("DV_TRACE", text.c_str());
    SetEnvironmentVariableA("DV_TRACE_FILE", "1");
    dvTraceReload();
    char path[MAX_PATH + 16];
    const std::string file = dvTraceLogPath(path, sizeof(path)) ? path : "(no temporary folder)";
    return "OutputDebugString and " + file;
#else
    setenv("DV_TRACE", text.c_str(), 1);
    dvTraceReload();  // the platform library keeps the level once per process
    return "stderr";
#endif
}
