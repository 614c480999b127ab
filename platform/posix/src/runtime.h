// Internal services shared by the runtime's sources (not exported).
#pragma once

#include <atomic>
#include <string>

#include "platform/com_ptr.h"
#include "platform/v4l2_io.h"
#include "platform/win.h"

namespace dvrt {

// Reference count for the runtime's own objects: starts at 1 (the creator's
// reference), deletes the object through its virtual destructor at 0.
class RefCounted {
public:
    RefCounted() = default;
    RefCounted(const RefCounted&) = delete;
    RefCounted& operator=(const RefCounted&) = delete;

protected:
    virtual ~RefCounted() = default;
    ULONG addRef() noexcept { return refs.fetch_add(1, std::memory_order_relaxed) + 1; }
    ULONG release() noexcept {
        const ULONG left = refs.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (left == 0) delete this;
        return left;
    }
    std::atomic<ULONG> refs{1};
};

#define DVRT_REFCOUNT_METHODS                 \
    STDMETHODIMP_(ULONG) AddRef() override {  \
        return addRef();                      \
    }                                         \
    STDMETHODIMP_(ULONG) Release() override { \
        return release();                     \
    }

// Hands `object` (one reference owned by the caller) out as `riid` through
// `ppv`, then drops the caller's reference. The result is QueryInterface's.
template <class T>
HRESULT handOut(T* object, REFIID riid, void** ppv) {
    const HRESULT hr = object->QueryInterface(riid, ppv);
    object->Release();
    return hr;
}

// Creation functions of the runtime's own classes (aggregation is not
// supported). Each answers like IClassFactory::CreateInstance.
HRESULT createFilterGraph(REFIID riid, void** ppv);
HRESULT createMemoryAllocator(REFIID riid, void** ppv);
HRESULT createSystemClock(REFIID riid, void** ppv);
HRESULT createDeviceEnumerator(REFIID riid, void** ppv);
HRESULT createFilterMapper(REFIID riid, void** ppv);
// A device moniker for the entry HKCR\CLSID\{category}\Instance\{instance}.
HRESULT createDeviceMoniker(const std::wstring& categoryKey, const std::wstring& instance, IMoniker** out);
// A moniker of a V4L2 capture node (v4l2_devices.cpp).
HRESULT createV4l2Moniker(const V4l2CaptureNode& node, IMoniker** out);

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" (upper-case hex).
std::wstring guidString(REFGUID guid);
// UTF-8 <-> wide text. Bytes that are not valid UTF-8 map to U+DC80..U+DCFF
// and back, so any byte string survives the round trip.
std::wstring fromUtf8(const std::string& text);
std::string toUtf8(const std::wstring& text);
// Case-insensitive comparison of registry and other names.
bool equalNoCase(const std::wstring& a, const std::wstring& b);
std::wstring upperCase(const std::wstring& text);
// Copies `text` into a new CoTaskMemAlloc block; null when allocation fails.
LPWSTR taskString(const std::wstring& text);

}  // namespace dvrt
