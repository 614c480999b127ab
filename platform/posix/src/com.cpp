// COM basics: apartment counting, GUID text, BSTR and VARIANT, class
// activation through the registry and dlopen, module names, last error.
#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cwctype>
#include <map>
#include <mutex>
#include <string>

#include "runtime.h"

namespace dvrt {

std::wstring guidString(REFGUID g) {
    wchar_t text[40];
    std::swprintf(text, 40, L"{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2, g.Data3,
                  g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6],
                  g.Data4[7]);
    return text;
}

LPWSTR taskString(const std::wstring& text) {
    auto* out = static_cast<LPWSTR>(CoTaskMemAlloc((text.size() + 1) * sizeof(WCHAR)));
    if (out) std::wmemcpy(out, text.c_str(), text.size() + 1);
    return out;
}

}  // namespace dvrt

using namespace dvrt;

// ---- apartments ------------------------------------------------------------
// Per thread: how often CoInitialize(Ex) succeeded and in which mode. There is
// no marshalling, so the mode only decides RPC_E_CHANGED_MODE.
namespace {
thread_local int apartmentCount = 0;
thread_local DWORD apartmentMode = 0;
thread_local DWORD lastError = 0;
}  // namespace

DVAPI HRESULT CoInitializeEx(void* /*reserved*/, DWORD coInit) {
    const DWORD mode = coInit & COINIT_APARTMENTTHREADED;
    if (apartmentCount > 0) {
        if (mode != apartmentMode) return RPC_E_CHANGED_MODE;
        ++apartmentCount;
        return S_FALSE;
    }
    apartmentMode = mode;
    apartmentCount = 1;
    return S_OK;
}

DVAPI HRESULT CoInitialize(void* reserved) {
    return CoInitializeEx(reserved, COINIT_APARTMENTTHREADED);
}

DVAPI void CoUninitialize() {
    if (apartmentCount > 0) --apartmentCount;
}

// ---- GUID text -------------------------------------------------------------
DVAPI int StringFromGUID2(REFGUID guid, LPOLESTR out, int maxChars) {
    if (!out || maxChars < 39) return 0;
    const std::wstring text = guidString(guid);
    std::wmemcpy(out, text.c_str(), 39);
    return 39;
}

DVAPI HRESULT StringFromCLSID(REFCLSID clsid, LPOLESTR* out) {
    if (!out) return E_INVALIDARG;
    *out = taskString(guidString(clsid));
    return *out ? S_OK : E_OUTOFMEMORY;
}

namespace {
bool hexField(LPCOLESTR text, int count, uint64_t* value) {
    uint64_t v = 0;
    for (int i = 0; i < count; ++i) {
        const wchar_t c = text[i];
        int d;
        if (c >= L'0' && c <= L'9') {
            d = c - L'0';
        } else if (c >= L'a' && c <= L'f') {
            d = c - L'a' + 10;
        } else if (c >= L'A' && c <= L'F') {
            d = c - L'A' + 10;
        } else {
            return false;
        }
        v = (v << 4) | static_cast<uint64_t>(d);
    }
    *value = v;
    return true;
}
}  // namespace

DVAPI HRESULT CLSIDFromString(LPCOLESTR text, LPCLSID out) {
    if (!out) return E_INVALIDARG;
    *out = GUID_NULL;
    if (!text || !*text) return S_OK;
    // Exactly "{8-4-4-4-12}".
    if (std::wcslen(text) != 38 || text[0] != L'{' || text[9] != L'-' || text[14] != L'-' ||
        text[19] != L'-' || text[24] != L'-' || text[37] != L'}') {
        return CO_E_CLASSSTRING;
    }
    GUID g{};
    uint64_t v = 0;
    if (!hexField(text + 1, 8, &v)) return CO_E_CLASSSTRING;
    g.Data1 = static_cast<uint32_t>(v);
    if (!hexField(text + 10, 4, &v)) return CO_E_CLASSSTRING;
    g.Data2 = static_cast<uint16_t>(v);
    if (!hexField(text + 15, 4, &v)) return CO_E_CLASSSTRING;
    g.Data3 = static_cast<uint16_t>(v);
    static const int offsets[8] = {20, 22, 25, 27, 29, 31, 33, 35};
    for (int i = 0; i < 8; ++i) {
        if (!hexField(text + offsets[i], 2, &v)) return CO_E_CLASSSTRING;
        g.Data4[i] = static_cast<uint8_t>(v);
    }
    *out = g;
    return S_OK;
}

// ---- BSTR ------------------------------------------------------------------
// Layout as on Windows: a 32-bit byte length right before the characters, and
// a terminating NUL after them.
DVAPI BSTR SysAllocStringLen(const OLECHAR* text, UINT length) {
    if (length > (UINT_MAX - 16) / sizeof(OLECHAR)) return nullptr;
    const size_t bytes = static_cast<size_t>(length) * sizeof(OLECHAR);
    auto* block = static_cast<unsigned char*>(std::calloc(1, sizeof(DWORD) + bytes + sizeof(OLECHAR)));
    if (!block) return nullptr;
    const auto stored = static_cast<DWORD>(bytes);
    std::memcpy(block, &stored, sizeof stored);
    auto* chars = reinterpret_cast<BSTR>(block + sizeof(DWORD));
    if (text) std::memcpy(chars, text, bytes);
    return chars;
}

DVAPI BSTR SysAllocString(const OLECHAR* text) {
    if (!text) return nullptr;
    return SysAllocStringLen(text, static_cast<UINT>(std::wcslen(text)));
}

DVAPI void SysFreeString(BSTR text) {
    if (text) std::free(reinterpret_cast<unsigned char*>(text) - sizeof(DWORD));
}

DVAPI UINT SysStringLen(BSTR text) {
    if (!text) return 0;
    DWORD bytes;
    std::memcpy(&bytes, reinterpret_cast<unsigned char*>(text) - sizeof(DWORD), sizeof bytes);
    return bytes / sizeof(OLECHAR);
}

// ---- VARIANT ---------------------------------------------------------------
DVAPI void VariantInit(VARIANT* value) {
    if (!value) return;
    value->vt = VT_EMPTY;
    value->wReserved1 = value->wReserved2 = value->wReserved3 = 0;
}

namespace {
bool plainType(VARTYPE vt) {
    switch (vt) {
    case VT_EMPTY:
    case VT_NULL:
    case VT_I2:
    case VT_I4:
    case VT_BOOL:
    case VT_UI1:
    case VT_UI4:
    case VT_INT:
    case VT_UINT:
        return true;
    default:
        return false;
    }
}
}  // namespace

DVAPI HRESULT VariantClear(VARIANT* value) {
    if (!value) return E_INVALIDARG;
    switch (value->vt) {
    case VT_BSTR:
        SysFreeString(value->bstrVal);
        break;
    case VT_UNKNOWN:
    case VT_DISPATCH:
        if (value->punkVal) value->punkVal->Release();
        break;
    default:
        if (!plainType(value->vt)) return DISP_E_BADVARTYPE;
        break;
    }
    value->vt = VT_EMPTY;
    return S_OK;
}

DVAPI HRESULT VariantCopy(VARIANT* dest, const VARIANT* src) {
    if (!dest || !src) return E_INVALIDARG;
    if (dest == src) return S_OK;
    if (src->vt != VT_BSTR && src->vt != VT_UNKNOWN && src->vt != VT_DISPATCH && !plainType(src->vt)) {
        return DISP_E_BADVARTYPE;
    }
    const HRESULT hr = VariantClear(dest);
    if (FAILED(hr)) return hr;
    VARIANT copy = *src;
    if (src->vt == VT_BSTR && src->bstrVal) {
        copy.bstrVal = SysAllocStringLen(src->bstrVal, SysStringLen(src->bstrVal));
        if (!copy.bstrVal) return E_OUTOFMEMORY;
    } else if ((src->vt == VT_UNKNOWN || src->vt == VT_DISPATCH) && src->punkVal) {
        src->punkVal->AddRef();
    }
    *dest = copy;
    return S_OK;
}

// ---- class activation --------------------------------------------------------
namespace {

// Class object for one of the runtime's own classes. Static lifetime: the
// runtime library is never unloaded while the process uses COM.
class BuiltinFactory final : public IClassFactory {
public:
    using Create = HRESULT (*)(REFIID, void**);
    explicit constexpr BuiltinFactory(Create c) noexcept : create(c) {}
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IClassFactory) {
            *ppv = static_cast<IClassFactory*>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        return create(riid, ppv);
    }
    STDMETHODIMP LockServer(BOOL) override { return S_OK; }

private:
    Create create;
};

BuiltinFactory graphFactory{&createFilterGraph};
BuiltinFactory allocatorFactory{&createMemoryAllocator};
BuiltinFactory clockFactory{&createSystemClock};
BuiltinFactory devEnumFactory{&createDeviceEnumerator};
BuiltinFactory mapperFactory{&createFilterMapper};

IClassFactory* builtinFactory(REFCLSID clsid) {
    if (clsid == CLSID_FilterGraph) return &graphFactory;
    if (clsid == CLSID_MemoryAllocator) return &allocatorFactory;
    if (clsid == CLSID_SystemClock) return &clockFactory;
    if (clsid == CLSID_SystemDeviceEnum) return &devEnumFactory;
    if (clsid == CLSID_FilterMapper2) return &mapperFactory;
    return nullptr;
}

// Libraries loaded by class activation, by path. Guarded by `libraryLock`,
// which is also held while a library's DllGetClassObject runs, so that
// CoFreeUnusedLibraries cannot unload a library in the middle of that call.
// (Re-entrant: DllGetClassObject may itself activate classes.)
struct LoadedLibrary {
    void* handle;
    LPFNGETCLASSOBJECT getClassObject;
    LPFNCANUNLOADNOW canUnloadNow;
};
std::recursive_mutex libraryLock;
std::map<std::string, LoadedLibrary>& libraries() {
    static auto* table = new std::map<std::string, LoadedLibrary>;
    return *table;
}

// Reads the default value of HKCR\CLSID\{clsid}\InprocServer32.
HRESULT inprocServerPath(REFCLSID clsid, std::string* path) {
    const std::wstring keyName = L"CLSID\\" + guidString(clsid);
    HKEY classKey = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, keyName.c_str(), 0, KEY_READ, &classKey) != ERROR_SUCCESS) {
        return REGDB_E_CLASSNOTREG;
    }
    HKEY serverKey = nullptr;
    const LSTATUS st = RegOpenKeyExW(classKey, L"InprocServer32", 0, KEY_READ, &serverKey);
    RegCloseKey(classKey);
    if (st != ERROR_SUCCESS) return REGDB_E_CLASSNOTREG;
    DWORD type = 0;
    DWORD size = 0;
    LSTATUS q = RegQueryValueExA(serverKey, nullptr, nullptr, &type, nullptr, &size);
    std::string text;
    if (q == ERROR_SUCCESS && (type == REG_SZ || type == REG_EXPAND_SZ)) {
        text.resize(size);
        q = RegQueryValueExA(serverKey, nullptr, nullptr, &type, reinterpret_cast<LPBYTE>(&text[0]), &size);
        text.resize(q == ERROR_SUCCESS ? size : 0);
    }
    RegCloseKey(serverKey);
    const size_t nul = text.find('\0');
    if (nul != std::string::npos) text.resize(nul);
    if (text.empty()) return REGDB_E_CLASSNOTREG;
    *path = text;
    return S_OK;
}

}  // namespace

DVAPI HRESULT CoGetClassObject(REFCLSID clsid, DWORD clsContext, void* /*serverInfo*/, REFIID riid,
                               void** ppv) {
    if (!ppv) return E_INVALIDARG;
    *ppv = nullptr;
    if (!(clsContext & (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER))) return REGDB_E_CLASSNOTREG;
    if (IClassFactory* builtin = builtinFactory(clsid)) return builtin->QueryInterface(riid, ppv);

    std::string path;
    HRESULT hr = inprocServerPath(clsid, &path);
    if (FAILED(hr)) return hr;

    std::lock_guard<std::recursive_mutex> guard(libraryLock);
    auto found = libraries().find(path);
    if (found == libraries().end()) {
        void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!handle) return HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND);
        auto get = reinterpret_cast<LPFNGETCLASSOBJECT>(dlsym(handle, "DllGetClassObject"));
        if (!get) {
            dlclose(handle);
            return CO_E_ERRORINDLL;
        }
        auto canUnload = reinterpret_cast<LPFNCANUNLOADNOW>(dlsym(handle, "DllCanUnloadNow"));
        found = libraries().emplace(path, LoadedLibrary{handle, get, canUnload}).first;
    }
    return found->second.getClassObject(clsid, riid, ppv);
}

DVAPI HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD clsContext, REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    ComPtr<IClassFactory> factory;
    const HRESULT hr = CoGetClassObject(clsid, clsContext, nullptr, IID_IClassFactory,
                                        reinterpret_cast<void**>(factory.GetAddressOf()));
    if (FAILED(hr)) return hr;
    return factory->CreateInstance(outer, riid, ppv);
}

DVAPI void CoFreeUnusedLibraries() {
    std::lock_guard<std::recursive_mutex> guard(libraryLock);
    for (auto it = libraries().begin(); it != libraries().end();) {
        const LoadedLibrary& lib = it->second;
        if (lib.canUnloadNow && lib.canUnloadNow() == S_OK) {
            dlclose(lib.handle);
            it = libraries().erase(it);
        } else {
            ++it;
        }
    }
}

// ---- modules and errors --------------------------------------------------------
// A module handle is the load address of the shared object, as on Windows.
DVAPI BOOL GetModuleHandleExW(DWORD flags, LPCWSTR nameOrAddress, HMODULE* module) {
    if (!module) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *module = nullptr;
    if (!(flags & GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS)) {
        // Only the main program is known by name here (a null name).
        if (nameOrAddress) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return FALSE;
        }
        return TRUE;  // null: the main program, as GetModuleFileName(null) reads it
    }
    Dl_info info{};
    if (!dladdr(reinterpret_cast<const void*>(nameOrAddress), &info) || !info.dli_fbase) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return FALSE;
    }
    *module = static_cast<HMODULE>(info.dli_fbase);
    return TRUE;
}

namespace {
std::string mainProgramPath() {
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    return n > 0 ? std::string(self, static_cast<size_t>(n)) : std::string();
}

// Path of the module whose load address is `module` (null: the main program);
// empty when `module` is not a load address.
std::string modulePath(HMODULE module) {
    if (!module) return mainProgramPath();
    Dl_info info{};
    if (!dladdr(reinterpret_cast<const void*>(module), &info) ||
        info.dli_fbase != static_cast<void*>(module)) {
        return std::string();
    }
    if (!info.dli_fname || !*info.dli_fname) return mainProgramPath();
    char resolved[PATH_MAX];
    if (realpath(info.dli_fname, resolved)) return resolved;
    return info.dli_fname;
}
}  // namespace

namespace {

// GetModuleFileName's answer for `name` in a buffer of `chars` characters:
// the length copied; a truncated, terminated name and
// ERROR_INSUFFICIENT_BUFFER when it does not fit.
template <class Char>
DWORD answerModuleName(const std::basic_string<Char>& name, Char* path, DWORD chars) {
    if (name.empty()) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    if (!path || chars == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (name.size() >= chars) {
        std::char_traits<Char>::copy(path, name.c_str(), chars - 1);
        path[chars - 1] = 0;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return chars;
    }
    std::char_traits<Char>::copy(path, name.c_str(), name.size() + 1);
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(name.size());
}

}  // namespace

DVAPI DWORD GetModuleFileNameW(HMODULE module, LPWSTR path, DWORD chars) {
    return answerModuleName(fromUtf8(modulePath(module)), path, chars);
}

DVAPI DWORD GetModuleFileNameA(HMODULE module, LPSTR path, DWORD chars) {
    return answerModuleName(modulePath(module), path, chars);
}

DVAPI DWORD GetLastError() {
    return lastError;
}
DVAPI void SetLastError(DWORD error) {
    lastError = error;
}
