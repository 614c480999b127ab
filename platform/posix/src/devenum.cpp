// CLSID_SystemDeviceEnum and CLSID_FilterMapper2 over the registry entries
//   HKCR\CLSID\{category}\Instance\{instance}
//     FriendlyName  REG_SZ     the name given to RegisterFilter
//     CLSID         REG_SZ     the filter's class identifier, "{...}"
//     FilterData    REG_BINARY the registration record (format below)
// that IFilterMapper2::RegisterFilter writes. A null category means
// CLSID_LegacyAmFilterCategory, a null instance name the filter's class
// identifier in its "{...}" form.
//
// FilterData (little-endian 32-bit words; GUIDs as their 16 bytes):
//   version (1 or 2, as given), merit, pin count, then per pin:
//   flags (REG_PINFLAG_*; for version 1 made of bZero, bRendered, bMany, bOutput),
//   instances (version 1: 0), media type count, medium count, pin category
//   (GUID_NULL if none), the media types (major, minor; GUID_NULL for a null
//   pointer) and the mediums (GUID, dw1, dw2). Version-1 pin names and
//   "connects to" fields are not kept.
//
// Device monikers read the registry when bound, so they follow later changes.
// The video input category also lists, after its registry entries, the V4L2
// capture nodes present when the enumerator is made (v4l2_devices.cpp).
#include <string>
#include <vector>

#include "device_moniker.h"
#include "platform/registry_key.h"
#include "runtime.h"

namespace {

using dvrt::guidString;

// The class identifier device monikers report through IPersist.
DEFINE_GUID(CLSID_CDeviceMoniker, 0x4315d437, 0x5b8c, 0x11d0, 0xbd, 0x3b, 0x00, 0xa0, 0xc9, 0x11, 0xce, 0x86);
// Private: answered by this module's device monikers only, to find their entry.
DEFINE_GUID(IID_DvDeviceMonikerEntry, 0x6a0f3c52, 0x2d8e, 0x4b71, 0x9a, 0x44, 0x1e, 0x5c, 0x70, 0xd2, 0x83,
            0x19);

std::wstring entryPath(const std::wstring& categoryKey, const std::wstring& instance) {
    return L"CLSID\\" + categoryKey + L"\\Instance\\" + instance;
}

// Reads a REG_SZ/REG_EXPAND_SZ value; the Win32 status on failure,
// ERROR_INVALID_DATA for another type.
LSTATUS readString(HKEY key, LPCWSTR name, std::wstring* out) {
    DWORD type = 0;
    DWORD size = 0;
    LSTATUS st = RegQueryValueExW(key, name, nullptr, &type, nullptr, &size);
    if (st != ERROR_SUCCESS) return st;
    if (type != REG_SZ && type != REG_EXPAND_SZ) return ERROR_INVALID_DATA;
    std::vector<BYTE> bytes(size);
    st = RegQueryValueExW(key, name, nullptr, &type, bytes.data(), &size);
    if (st != ERROR_SUCCESS) return st;
    std::wstring text(size / sizeof(WCHAR), L'\0');
    if (!text.empty()) std::memcpy(&text[0], bytes.data(), text.size() * sizeof(WCHAR));
    const size_t nul = text.find(L'\0');
    if (nul != std::wstring::npos) text.resize(nul);
    *out = text;
    return ERROR_SUCCESS;
}

LSTATUS writeString(HKEY key, LPCWSTR name, const std::wstring& text) {
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>((text.size() + 1) * sizeof(WCHAR)));
}

class PropertyBag final : public dvrt::PropertyBagBase {
public:
    explicit PropertyBag(std::wstring keyPath) : path(std::move(keyPath)) {}
    // Strings come as VT_BSTR, DWORDs as VT_I4; a missing name answers the
    // registry's HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND). Binary values
    // (FilterData) would need SAFEARRAY, which this platform does not offer:
    // E_NOTIMPL.
    STDMETHODIMP Read(LPCOLESTR name, VARIANT* value, IErrorLog* /*log*/) override {
        if (!name || !value) return E_POINTER;
        RegistryKey key;
        LSTATUS st = RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, key.receive());
        if (st != ERROR_SUCCESS) return HRESULT_FROM_WIN32(st);
        DWORD type = 0;
        DWORD size = 0;
        st = RegQueryValueExW(key.get(), name, nullptr, &type, nullptr, &size);
        if (st != ERROR_SUCCESS) return HRESULT_FROM_WIN32(st);
        if (type == REG_SZ || type == REG_EXPAND_SZ) {
            if (value->vt != VT_EMPTY && value->vt != VT_BSTR) return DISP_E_TYPEMISMATCH;
            std::wstring text;
            st = readString(key.get(), name, &text);
            if (st != ERROR_SUCCESS) return HRESULT_FROM_WIN32(st);
            return answerString(text, value);
        }
        if (type == REG_DWORD && size == sizeof(DWORD)) {
            if (value->vt != VT_EMPTY && value->vt != VT_I4) return DISP_E_TYPEMISMATCH;
            DWORD data = 0;
            st = RegQueryValueExW(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size);
            if (st != ERROR_SUCCESS) return HRESULT_FROM_WIN32(st);
            value->vt = VT_I4;
            value->lVal = static_cast<LONG>(data);
            return S_OK;
        }
        return E_NOTIMPL;
    }
    // VT_BSTR is stored as REG_SZ, VT_I4 as REG_DWORD; other types E_INVALIDARG.
    STDMETHODIMP Write(LPCOLESTR name, VARIANT* value) override {
        if (!name || !value) return E_POINTER;
        if (value->vt != VT_BSTR && value->vt != VT_I4) return E_INVALIDARG;
        RegistryKey key;
        LSTATUS st = RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                     KEY_ALL_ACCESS, nullptr, key.receive(), nullptr);
        if (st != ERROR_SUCCESS) return HRESULT_FROM_WIN32(st);
        if (value->vt == VT_BSTR) {
            const std::wstring text(value->bstrVal ? value->bstrVal : L"", SysStringLen(value->bstrVal));
            st = writeString(key.get(), name, text);
        } else {
            const DWORD data = static_cast<DWORD>(value->lVal);
            st = RegSetValueExW(key.get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data),
                                sizeof data);
        }
        return HRESULT_FROM_WIN32(st);
    }

private:
    ~PropertyBag() override = default;
    const std::wstring path;
};

class DeviceMoniker final : public dvrt::DeviceMonikerBase {
public:
    DeviceMoniker(std::wstring categoryKey, std::wstring instance)
        : DeviceMonikerBase(IID_DvDeviceMonikerEntry, CLSID_CDeviceMoniker),
          category(std::move(categoryKey)),
          instance(std::move(instance)) {}

    // Creates the object of the entry's CLSID value.
    STDMETHODIMP BindToObject(IBindCtx*, IMoniker*, REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        RegistryKey key;
        LSTATUS st = RegOpenKeyExW(HKEY_CLASSES_ROOT, path().c_str(), 0, KEY_READ, key.receive());
        if (st != ERROR_SUCCESS) return HRESULT_FROM_WIN32(st);
        std::wstring text;
        st = readString(key.get(), L"CLSID", &text);
        if (st != ERROR_SUCCESS) return HRESULT_FROM_WIN32(st);
        CLSID clsid;
        const HRESULT hr = CLSIDFromString(text.c_str(), &clsid);
        if (FAILED(hr)) return hr;
        return CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, riid, ppv);
    }
    STDMETHODIMP BindToStorage(IBindCtx*, IMoniker*, REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        auto* bag = new (std::nothrow) PropertyBag(path());
        if (!bag) return E_OUTOFMEMORY;
        return dvrt::handOut(bag, riid, ppv);
    }
    // "@device:sw:{category}\instance".
    STDMETHODIMP GetDisplayName(IBindCtx*, IMoniker*, LPOLESTR* name) override {
        if (!name) return E_POINTER;
        *name = dvrt::taskString(L"@device:sw:" + category + L"\\" + instance);
        return *name ? S_OK : E_OUTOFMEMORY;
    }

    std::wstring path() const { return entryPath(category, instance); }
    const std::wstring category;
    const std::wstring instance;

private:
    bool sameAs(const dvrt::DeviceMonikerBase& peer) const override {
        return dvrt::equalNoCase(static_cast<const DeviceMoniker&>(peer).path(), path());
    }
    ~DeviceMoniker() override = default;
};

class MonikerEnumerator final : public IEnumMoniker, public dvrt::RefCounted {
public:
    MonikerEnumerator(std::wstring categoryKey, std::vector<std::wstring> instances,
                      std::vector<V4l2CaptureNode> nodes, size_t position)
        : category(std::move(categoryKey)),
          instances(std::move(instances)),
          nodes(std::move(nodes)),
          position(position) {}
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IEnumMoniker) {
            *ppv = static_cast<IEnumMoniker*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    DVRT_REFCOUNT_METHODS
    STDMETHODIMP Next(ULONG count, IMoniker** out, ULONG* fetched) override {
        if (!out) return E_POINTER;
        if (count > 1 && !fetched) return E_INVALIDARG;
        ULONG got = 0;
        while (got < count && position < size()) {
            const HRESULT hr = position < instances.size()
                                   ? dvrt::createDeviceMoniker(category, instances[position], &out[got])
                                   : dvrt::createV4l2Moniker(nodes[position - instances.size()], &out[got]);
            if (FAILED(hr)) {
                for (ULONG i = 0; i < got; ++i)
                    out[i]->Release();
                if (fetched) *fetched = 0;
                return hr;
            }
            ++got;
            ++position;
        }
        if (fetched) *fetched = got;
        return got == count ? S_OK : S_FALSE;
    }
    STDMETHODIMP Skip(ULONG count) override {
        const size_t left = size() - position;
        if (count > left) {
            position = size();
            return S_FALSE;
        }
        position += count;
        return S_OK;
    }
    STDMETHODIMP Reset() override {
        position = 0;
        return S_OK;
    }
    STDMETHODIMP Clone(IEnumMoniker** out) override {
        if (!out) return E_POINTER;
        *out = new (std::nothrow) MonikerEnumerator(category, instances, nodes, position);
        return *out ? S_OK : E_OUTOFMEMORY;
    }

private:
    ~MonikerEnumerator() override = default;
    size_t size() const { return instances.size() + nodes.size(); }
    const std::wstring category;
    const std::vector<std::wstring> instances;  // taken when the enumerator was made
    const std::vector<V4l2CaptureNode> nodes;   // listed after the instances
    size_t position;
};

class DeviceEnumerator final : public ICreateDevEnum, public dvrt::RefCounted {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_ICreateDevEnum) {
            *ppv = static_cast<ICreateDevEnum*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    DVRT_REFCOUNT_METHODS

    // S_FALSE and no enumerator when the category has no entries.
    STDMETHODIMP CreateClassEnumerator(REFCLSID category, IEnumMoniker** out, DWORD /*flags*/) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        const std::wstring categoryKey = guidString(category);
        const std::wstring instanceKey = L"CLSID\\" + categoryKey + L"\\Instance";
        RegistryKey key;
        std::vector<std::wstring> instances;
        if (RegOpenKeyExW(HKEY_CLASSES_ROOT, instanceKey.c_str(), 0, KEY_READ, key.receive()) ==
            ERROR_SUCCESS) {
            for (DWORD i = 0;; ++i) {
                WCHAR name[256];
                DWORD chars = 256;
                if (RegEnumKeyExW(key.get(), i, name, &chars, nullptr, nullptr, nullptr, nullptr) !=
                    ERROR_SUCCESS)
                    break;
                instances.emplace_back(name, chars);
            }
        }
        std::vector<V4l2CaptureNode> nodes;
        if (category == CLSID_VideoInputDeviceCategory) nodes = dvListV4l2CaptureNodes();
        if (instances.empty() && nodes.empty()) return S_FALSE;
        *out = new (std::nothrow) MonikerEnumerator(categoryKey, std::move(instances), std::move(nodes), 0);
        return *out ? S_OK : E_OUTOFMEMORY;
    }

private:
    ~DeviceEnumerator() override = default;
};

// ---- filter mapper -------------------------------------------------------------
void putWord(std::vector<BYTE>* out, DWORD v) {
    for (int i = 0; i < 4; ++i)
        out->push_back(static_cast<BYTE>(v >> (8 * i)));
}
void putGuid(std::vector<BYTE>* out, const GUID* g) {
    const GUID value = g ? *g : GUID_NULL;
    putWord(out, value.Data1);
    out->push_back(static_cast<BYTE>(value.Data2));
    out->push_back(static_cast<BYTE>(value.Data2 >> 8));
    out->push_back(static_cast<BYTE>(value.Data3));
    out->push_back(static_cast<BYTE>(value.Data3 >> 8));
    out->insert(out->end(), value.Data4, value.Data4 + 8);
}

HRESULT encodeFilterData(const REGFILTER2& rf, std::vector<BYTE>* out) {
    out->clear();
    putWord(out, rf.dwVersion);
    putWord(out, rf.dwMerit);
    if (rf.dwVersion == 1) {
        if (rf.cPins && !rf.rgPins) return E_POINTER;
        putWord(out, rf.cPins);
        for (ULONG i = 0; i < rf.cPins; ++i) {
            const REGFILTERPINS& pin = rf.rgPins[i];
            if (pin.nMediaTypes && !pin.lpMediaType) return E_POINTER;
            const DWORD flags =
                (pin.bZero ? REG_PINFLAG_B_ZERO : 0) | (pin.bRendered ? REG_PINFLAG_B_RENDERER : 0) |
                (pin.bMany ? REG_PINFLAG_B_MANY : 0) | (pin.bOutput ? REG_PINFLAG_B_OUTPUT : 0);
            putWord(out, flags);
            putWord(out, 0);
            putWord(out, pin.nMediaTypes);
            putWord(out, 0);
            putGuid(out, nullptr);
            for (UINT t = 0; t < pin.nMediaTypes; ++t) {
                putGuid(out, pin.lpMediaType[t].clsMajorType);
                putGuid(out, pin.lpMediaType[t].clsMinorType);
            }
        }
        return S_OK;
    }
    if (rf.dwVersion != 2) return E_INVALIDARG;
    if (rf.cPins2 && !rf.rgPins2) return E_POINTER;
    putWord(out, rf.cPins2);
    for (ULONG i = 0; i < rf.cPins2; ++i) {
        const REGFILTERPINS2& pin = rf.rgPins2[i];
        if ((pin.nMediaTypes && !pin.lpMediaType) || (pin.nMediums && !pin.lpMedium)) return E_POINTER;
        putWord(out, pin.dwFlags);
        putWord(out, pin.cInstances);
        putWord(out, pin.nMediaTypes);
        putWord(out, pin.nMediums);
        putGuid(out, pin.clsPinCategory);
        for (UINT t = 0; t < pin.nMediaTypes; ++t) {
            putGuid(out, pin.lpMediaType[t].clsMajorType);
            putGuid(out, pin.lpMediaType[t].clsMinorType);
        }
        for (UINT m = 0; m < pin.nMediums; ++m) {
            putGuid(out, &pin.lpMedium[m].clsMedium);
            putWord(out, pin.lpMedium[m].dw1);
            putWord(out, pin.lpMedium[m].dw2);
        }
    }
    return S_OK;
}

class FilterMapper final : public IFilterMapper2, public dvrt::RefCounted {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IFilterMapper2) {
            *ppv = static_cast<IFilterMapper2*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    DVRT_REFCOUNT_METHODS

    // Lists the category under CLSID_ActiveMovieCategories.
    STDMETHODIMP CreateCategory(REFCLSID category, DWORD merit, LPCWSTR description) override {
        const std::wstring categoryKey = guidString(category);
        RegistryKey key;
        LSTATUS st = RegCreateKeyExW(
            HKEY_CLASSES_ROOT, entryPath(guidString(CLSID_ActiveMovieCategories), categoryKey).c_str(), 0,
            nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, key.receive(), nullptr);
        if (st == ERROR_SUCCESS)
            st = writeString(key.get(), L"FriendlyName", description ? description : L"");
        if (st == ERROR_SUCCESS) st = writeString(key.get(), L"CLSID", categoryKey);
        if (st == ERROR_SUCCESS) {
            st = RegSetValueExW(key.get(), L"Merit", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&merit),
                                sizeof merit);
        }
        return HRESULT_FROM_WIN32(st);
    }

    // Removes the instance key; a missing one answers HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND).
    STDMETHODIMP UnregisterFilter(const CLSID* category, LPCOLESTR instance, REFCLSID filter) override {
        const std::wstring categoryKey = guidString(category ? *category : CLSID_LegacyAmFilterCategory);
        const std::wstring name = instance ? std::wstring(instance) : guidString(filter);
        RegistryKey parent;
        LSTATUS st = RegOpenKeyExW(HKEY_CLASSES_ROOT, (L"CLSID\\" + categoryKey + L"\\Instance").c_str(), 0,
                                   KEY_ALL_ACCESS, parent.receive());
        if (st == ERROR_SUCCESS) st = RegDeleteTreeW(parent.get(), name.c_str());
        return HRESULT_FROM_WIN32(st);
    }

    // `moniker`, when given: if it holds a device moniker of this module, the
    // filter is written to that entry; if it holds null, it receives the
    // moniker of the new entry.
    STDMETHODIMP RegisterFilter(REFCLSID filter, LPCWSTR name, IMoniker** moniker, const CLSID* category,
                                LPCOLESTR instance, const REGFILTER2* rf2) override {
        if (!rf2) return E_POINTER;
        std::vector<BYTE> data;
        HRESULT hr = encodeFilterData(*rf2, &data);
        if (FAILED(hr)) return hr;
        std::wstring categoryKey = guidString(category ? *category : CLSID_LegacyAmFilterCategory);
        std::wstring instanceName = instance ? std::wstring(instance) : guidString(filter);
        if (moniker && *moniker) {
            IMoniker* own = nullptr;
            if (FAILED(
                    (*moniker)->QueryInterface(IID_DvDeviceMonikerEntry, reinterpret_cast<void**>(&own)))) {
                return E_INVALIDARG;
            }
            auto* device = static_cast<DeviceMoniker*>(own);
            categoryKey = device->category;
            instanceName = device->instance;
            own->Release();
        }
        RegistryKey key;
        LSTATUS st =
            RegCreateKeyExW(HKEY_CLASSES_ROOT, entryPath(categoryKey, instanceName).c_str(), 0, nullptr,
                            REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, key.receive(), nullptr);
        if (st == ERROR_SUCCESS) st = writeString(key.get(), L"FriendlyName", name ? name : L"");
        if (st == ERROR_SUCCESS) st = writeString(key.get(), L"CLSID", guidString(filter));
        if (st == ERROR_SUCCESS) {
            st = RegSetValueExW(key.get(), L"FilterData", 0, REG_BINARY, data.data(),
                                static_cast<DWORD>(data.size()));
        }
        if (st != ERROR_SUCCESS) return HRESULT_FROM_WIN32(st);
        if (moniker && !*moniker) return dvrt::createDeviceMoniker(categoryKey, instanceName, moniker);
        return S_OK;
    }

    STDMETHODIMP EnumMatchingFilters(IEnumMoniker** out, DWORD, BOOL, DWORD, BOOL, DWORD, const GUID*,
                                     const REGPINMEDIUM*, const CLSID*, BOOL, BOOL, DWORD, const GUID*,
                                     const REGPINMEDIUM*, const CLSID*) override {
        if (out) *out = nullptr;
        return E_NOTIMPL;
    }

private:
    ~FilterMapper() override = default;
};

}  // namespace

namespace dvrt {

HRESULT createDeviceMoniker(const std::wstring& categoryKey, const std::wstring& instance, IMoniker** out) {
    if (!out) return E_POINTER;
    *out = new (std::nothrow) DeviceMoniker(categoryKey, instance);
    return *out ? S_OK : E_OUTOFMEMORY;
}

HRESULT createDeviceEnumerator(REFIID riid, void** ppv) {
    auto* e = new (std::nothrow) DeviceEnumerator;
    if (!e) return E_OUTOFMEMORY;
    return handOut(e, riid, ppv);
}

HRESULT createFilterMapper(REFIID riid, void** ppv) {
    auto* m = new (std::nothrow) FilterMapper;
    if (!m) return E_OUTOFMEMORY;
    return handOut(m, riid, ppv);
}

}  // namespace dvrt
