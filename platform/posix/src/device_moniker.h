// The part of IMoniker that the runtime's device monikers (registered
// entries and V4L2 nodes) answer alike. Internal to the runtime.
#pragma once

#include <string>

#include "runtime.h"

namespace dvrt {

// The part of IPropertyBag that the device monikers' bags (registered
// entries, V4L2 nodes) answer alike: IUnknown/IPropertyBag and the count.
class PropertyBagBase : public IPropertyBag, public RefCounted {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IPropertyBag) {
            *ppv = static_cast<IPropertyBag*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    DVRT_REFCOUNT_METHODS

protected:
    // Read's answer for a string: `text` as a new VT_BSTR in *value (its
    // previous content cleared); DISP_E_TYPEMISMATCH when *value asks for
    // another type, E_OUTOFMEMORY when the string cannot be allocated.
    static HRESULT answerString(const std::wstring& text, VARIANT* value) {
        if (value->vt != VT_EMPTY && value->vt != VT_BSTR) return DISP_E_TYPEMISMATCH;
        BSTR b = SysAllocStringLen(text.c_str(), static_cast<UINT>(text.size()));
        if (!b) return E_OUTOFMEMORY;
        VariantClear(value);
        value->vt = VT_BSTR;
        value->bstrVal = b;
        return S_OK;
    }
};

// A device moniker binds to its object and to its property bag, names itself
// and compares with monikers of its own kind; composition, reduction,
// persistence and the rest are refused with E_NOTIMPL. `kindIid` is a private
// interface that only monikers of one kind answer (with their IMoniker), so
// IsEqual finds a peer of the same kind and hands it to sameAs. `classId` is
// what GetClassID reports. Thread: free-threaded; the derived state is fixed
// at construction.
class DeviceMonikerBase : public IMoniker, public RefCounted {
public:
    DeviceMonikerBase(REFIID kindIid, REFCLSID classId) : kindIid(kindIid), classId(classId) {}

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IPersist || riid == IID_IPersistStream ||
            riid == IID_IMoniker || riid == kindIid) {
            *ppv = static_cast<IMoniker*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    DVRT_REFCOUNT_METHODS

    STDMETHODIMP GetClassID(CLSID* clsid) override {
        if (!clsid) return E_POINTER;
        *clsid = classId;
        return S_OK;
    }
    STDMETHODIMP IsDirty() override { return S_FALSE; }
    STDMETHODIMP Load(IStream*) override { return E_NOTIMPL; }
    STDMETHODIMP Save(IStream*, BOOL) override { return E_NOTIMPL; }
    STDMETHODIMP GetSizeMax(ULARGE_INTEGER*) override { return E_NOTIMPL; }

    STDMETHODIMP Reduce(IBindCtx*, DWORD, IMoniker**, IMoniker** reduced) override {
        if (reduced) *reduced = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP ComposeWith(IMoniker*, BOOL, IMoniker** composite) override {
        if (composite) *composite = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP Enum(BOOL, IEnumMoniker** out) override {
        if (out) *out = nullptr;
        return E_NOTIMPL;
    }
    // S_OK for a moniker of the same kind that sameAs accepts, else S_FALSE.
    STDMETHODIMP IsEqual(IMoniker* other) override {
        if (!other) return E_INVALIDARG;
        IMoniker* same = nullptr;
        if (FAILED(other->QueryInterface(kindIid, reinterpret_cast<void**>(&same)))) return S_FALSE;
        const bool equal = sameAs(*static_cast<DeviceMonikerBase*>(same));
        same->Release();
        return equal ? S_OK : S_FALSE;
    }
    STDMETHODIMP Hash(DWORD*) override { return E_NOTIMPL; }
    STDMETHODIMP IsRunning(IBindCtx*, IMoniker*, IMoniker*) override { return E_NOTIMPL; }
    STDMETHODIMP GetTimeOfLastChange(IBindCtx*, IMoniker*, FILETIME*) override { return E_NOTIMPL; }
    STDMETHODIMP Inverse(IMoniker** inverse) override {
        if (inverse) *inverse = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP CommonPrefixWith(IMoniker*, IMoniker** prefix) override {
        if (prefix) *prefix = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP RelativePathTo(IMoniker*, IMoniker** rel) override {
        if (rel) *rel = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP ParseDisplayName(IBindCtx*, IMoniker*, LPOLESTR, ULONG* eaten, IMoniker** out) override {
        if (eaten) *eaten = 0;
        if (out) *out = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP IsSystemMoniker(DWORD* mksys) override {
        if (!mksys) return E_POINTER;
        *mksys = 0;  // MKSYS_NONE
        return S_FALSE;
    }

protected:
    ~DeviceMonikerBase() override = default;
    // Whether `peer`, a moniker of this one's kind (the derived class), names
    // the same device.
    virtual bool sameAs(const DeviceMonikerBase& peer) const = 0;

private:
    const IID kindIid;
    const CLSID classId;
};

}  // namespace dvrt
