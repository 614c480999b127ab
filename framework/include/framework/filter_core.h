// FilterCore: the base of every media filter of this system, and its pin
// enumerator.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "framework/component.h"
#include "framework/sync.h"
#include "platform/com_ptr.h"
#include "platform/win.h"

class PinCore;

// Registration data a filter may offer through IAMovieSetup (version-1 pins).
struct FilterSetupRecord {
    const CLSID* classId;
    const WCHAR* name;
    DWORD merit;
    UINT pinCount;
    const REGFILTERPINS* pins;
};

// The filter base: IBaseFilter (with IMediaFilter and IPersist) and
// IAMovieSetup, the stopped/paused/running state machine, graph and clock
// references, pin enumeration through pinCount/pinAt.
//
// Locking: state changes, FindPin, SetSyncSource/GetSyncSource and
// JoinFilterGraph take `lock`, the critical section supplied by the derived
// filter and shared with its pins. GetState reads without it.
class FilterCore : public ComponentCore, public IBaseFilter, public IAMovieSetup {
public:
    // `lock` is the derived filter's critical section (it may be constructed
    // after this base; only its address is stored). `outer` as ComponentCore.
    FilterCore(REFCLSID classId, CriticalSection* lock, IUnknown* outer = nullptr);
    ~FilterCore() override;

    DV_FORWARD_IUNKNOWN

    // IBaseFilter, IMediaFilter, IPersist, IAMovieSetup, then IUnknown.
    HRESULT nonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    // ---- hooks, in slot order ----
    // The stream time: the clock's time minus the start time; VFW_E_NO_CLOCK
    // without a clock.
    virtual HRESULT currentStreamTime(REFERENCE_TIME* out);
    // The pin version (changes when the set of pins changes).
    virtual LONG pinSetVersion();
    virtual int pinCount() = 0;
    // The pin at `index` (0..pinCount()-1), or null. Not counted: pins are owned
    // by the derived filter and live as long as it does.
    virtual PinCore* pinAt(int index) = 0;
    // Registration data for IAMovieSetup, or null (default).
    virtual const FilterSetupRecord* registrationRecord();

    // ---- helpers ----
    // Atomically increments the pin version; returns the new value.
    LONG bumpPinSetVersion();
    // Sends `code` to the graph's event sink; E_NOTIMPL without one. For
    // EC_COMPLETE, param2 is replaced by this filter's IBaseFilter.
    HRESULT postGraphEvent(LONG code, LONG_PTR param1, LONG_PTR param2);
    // Asks the graph to reconnect `pin`: IFilterGraph2::ReconnectEx(pin, format)
    // when offered, else IFilterGraph::Reconnect(pin). E_NOINTERFACE outside a graph.
    HRESULT reconnectPin(IPin* pin, const AM_MEDIA_TYPE* format);

    FILTER_STATE currentState() const { return state.load(); }
    bool isStopped() const { return state.load() == State_Stopped; }
    CriticalSection* filterLockPtr() const DV_RETURN_CAPABILITY(lock) { return lock; }
    // The graph this filter joined (not counted), or null; read under the
    // filter lock, which the caller may hold.
    IFilterGraph* filterGraph() const;
    // The start time given to Run; read under the filter lock.
    REFERENCE_TIME streamStartTime() const;
    // The name given by JoinFilterGraph.
    const std::wstring& graphName() const DV_REQUIRES(lock) { return filterName; }

    // IPersist
    STDMETHODIMP GetClassID(CLSID* out) override;
    // IMediaFilter
    STDMETHODIMP Stop() override;
    STDMETHODIMP Pause() override;
    STDMETHODIMP Run(REFERENCE_TIME start) override;
    STDMETHODIMP GetState(DWORD timeoutMs, FILTER_STATE* out) override;
    STDMETHODIMP SetSyncSource(IReferenceClock* newClock) override;
    STDMETHODIMP GetSyncSource(IReferenceClock** out) override;
    // IBaseFilter
    STDMETHODIMP EnumPins(IEnumPins** out) override;
    STDMETHODIMP FindPin(LPCWSTR id, IPin** out) override;
    STDMETHODIMP QueryFilterInfo(FILTER_INFO* out) override;
    STDMETHODIMP JoinFilterGraph(IFilterGraph* newGraph, LPCWSTR newName) override;
    STDMETHODIMP QueryVendorInfo(LPWSTR* out) override;
    // IAMovieSetup: (un)registers registrationRecord() with the filter mapper;
    // S_FALSE when there is none.
    STDMETHODIMP Register() override;
    STDMETHODIMP Unregister() override;

protected:
    std::atomic<FILTER_STATE> state{State_Stopped};
    CLSID classId;
    CriticalSection* lock;                              // the derived filter's lock, shared with the pins
    ComPtr<IReferenceClock> clock DV_GUARDED_BY(lock);  // set by SetSyncSource
    REFERENCE_TIME startTime DV_GUARDED_BY(lock) = 0;   // given to Run
    std::wstring filterName DV_GUARDED_BY(lock);
    bool hasName DV_GUARDED_BY(lock) = false;
    IFilterGraph* graph DV_GUARDED_BY(lock) = nullptr;         // weak: the graph owns us, not the reverse
    IMediaEventSink* eventSink DV_GUARDED_BY(lock) = nullptr;  // weak: part of `graph`
    std::atomic<LONG> pinVersion{1};
};

// IEnumPins over a filter's pins. Holds a reference on the filter.
class PinEnumerator : public ComponentCore, public IEnumPins {
public:
    explicit PinEnumerator(FilterCore* filter);
    PinEnumerator(const PinEnumerator& other);

    DV_FORWARD_IUNKNOWN
    HRESULT nonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    STDMETHODIMP Next(ULONG count, IPin** pins, ULONG* fetched) override;
    STDMETHODIMP Skip(ULONG count) override;
    STDMETHODIMP Reset() override;
    STDMETHODIMP Clone(IEnumPins** out) override;

private:
    void refresh();

    ComPtr<IBaseFilter> filterRef;  // keeps the filter (and so its pins) alive
    FilterCore* filter;             // the same object, for its hooks
    int position = 0;
    int count = 0;
    LONG version = 0;
    std::vector<PinCore*> returned;  // pins already handed out since the last Reset
};
