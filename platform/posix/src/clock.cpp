// CLSID_SystemClock: a monotonic IReferenceClock in 100 ns units, read from
// the steady clock. Advise requests are not offered (there are no Win32 event
// or semaphore handles on this platform): AdviseTime, AdvisePeriodic and
// Unadvise answer E_NOTIMPL.
#include <chrono>
#include <mutex>

#include "runtime.h"

namespace {

class SystemClock final : public IReferenceClock, public dvrt::RefCounted {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IReferenceClock) {
            *ppv = static_cast<IReferenceClock*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    DVRT_REFCOUNT_METHODS

    // S_FALSE when the time equals the one returned by the previous call.
    STDMETHODIMP GetTime(REFERENCE_TIME* time) override {
        if (!time) return E_POINTER;
        const auto now = std::chrono::steady_clock::now().time_since_epoch();
        const REFERENCE_TIME t = std::chrono::duration_cast<std::chrono::nanoseconds>(now).count() / 100;
        std::lock_guard<std::mutex> guard(lock);
        const REFERENCE_TIME result = t > last ? t : last;  // never goes back
        const HRESULT hr = result == last ? S_FALSE : S_OK;
        last = result;
        *time = result;
        return hr;
    }
    STDMETHODIMP AdviseTime(REFERENCE_TIME, REFERENCE_TIME, HEVENT, DWORD_PTR* cookie) override {
        if (cookie) *cookie = 0;
        return E_NOTIMPL;
    }
    STDMETHODIMP AdvisePeriodic(REFERENCE_TIME, REFERENCE_TIME, HSEMAPHORE, DWORD_PTR* cookie) override {
        if (cookie) *cookie = 0;
        return E_NOTIMPL;
    }
    STDMETHODIMP Unadvise(DWORD_PTR) override { return E_NOTIMPL; }

private:
    std::mutex lock;
    REFERENCE_TIME last = 0;
};

}  // namespace

namespace dvrt {
HRESULT createSystemClock(REFIID riid, void** ppv) {
    auto* clock = new (std::nothrow) SystemClock;
    if (!clock) return E_OUTOFMEMORY;
    return handOut(clock, riid, ppv);
}
}  // namespace dvrt
