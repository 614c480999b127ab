#include "framework/filter_core.h"

#include <algorithm>
#include <cwchar>
#include <new>

#include "framework/pin_core.h"
#include "platform/trace.h"

namespace {

const char* stateName(FILTER_STATE state) {
    switch (state) {
    case State_Stopped:
        return "stopped";
    case State_Paused:
        return "paused";
    default:
        return "running";
    }
}

}  // namespace

FilterCore::FilterCore(REFCLSID id, CriticalSection* filterLock, IUnknown* outer)
    : ComponentCore(outer), classId(id), lock(filterLock) {}

FilterCore::~FilterCore() = default;

HRESULT FilterCore::nonDelegatingQueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    if (riid == IID_IBaseFilter || riid == IID_IMediaFilter || riid == IID_IPersist)
        return getInterface(static_cast<IBaseFilter*>(this), ppv);
    if (riid == IID_IAMovieSetup) return getInterface(static_cast<IAMovieSetup*>(this), ppv);
    return ComponentCore::nonDelegatingQueryInterface(riid, ppv);
}

HRESULT FilterCore::currentStreamTime(REFERENCE_TIME* out) {
    if (!out) return E_POINTER;
    ScopedLock hold(lock);
    if (!clock) return VFW_E_NO_CLOCK;
    REFERENCE_TIME now = 0;
    HRESULT hr = clock->GetTime(&now);
    if (FAILED(hr)) return hr;
    *out = now - startTime;
    return S_OK;
}

LONG FilterCore::pinSetVersion() {
    return pinVersion.load();
}

const FilterSetupRecord* FilterCore::registrationRecord() {
    return nullptr;
}

LONG FilterCore::bumpPinSetVersion() {
    return pinVersion.fetch_add(1) + 1;
}

IFilterGraph* FilterCore::filterGraph() const {
    ScopedLock hold(lock);
    return graph;
}

REFERENCE_TIME FilterCore::streamStartTime() const {
    ScopedLock hold(lock);
    return startTime;
}

// The sink is read under the filter lock; Notify runs outside the hold taken
// here (the graph's sink takes the graph's lock, which comes before ours).
HRESULT FilterCore::postGraphEvent(LONG code, LONG_PTR param1, LONG_PTR param2) {
    IMediaEventSink* sink = nullptr;
    {
        ScopedLock hold(lock);
        sink = eventSink;
    }
    if (!sink) return E_NOTIMPL;
    if (code == EC_COMPLETE) param2 = reinterpret_cast<LONG_PTR>(static_cast<IBaseFilter*>(this));
    return sink->Notify(code, param1, param2);
}

HRESULT FilterCore::reconnectPin(IPin* pin, const AM_MEDIA_TYPE* format) {
    IFilterGraph* graph = filterGraph();
    if (!graph) return E_NOINTERFACE;
    ComPtr<IFilterGraph2> graph2;
    if (SUCCEEDED(ComPtr<IFilterGraph>(graph).As(&graph2)) && graph2) return graph2->ReconnectEx(pin, format);
    return graph->Reconnect(pin);
}

STDMETHODIMP FilterCore::GetClassID(CLSID* out) {
    if (!out) return E_POINTER;
    *out = classId;
    return S_OK;
}

STDMETHODIMP FilterCore::Stop() {
    ScopedLock hold(lock);
    HRESULT result = S_OK;
    if (state.load() != State_Stopped) {
        const int n = pinCount();
        for (int i = 0; i < n; ++i) {
            PinCore* pin = pinAt(i);
            if (!pin || !pin->isConnected()) continue;
            HRESULT hr = pin->onDeactivate();
            if (FAILED(hr)) {
                DV_TRACE(TraceLevel::error, "filter \"%s\": Stop: pin %s did not deactivate: %s",
                         TraceText(filterName.c_str()).text, TraceText(pin->pinName().c_str()).text,
                         TraceHr(hr).text);
            }
            if (FAILED(hr) && SUCCEEDED(result)) result = hr;
        }
    }
    DV_TRACE(TraceLevel::state, "filter \"%s\": Stop (was %s)", TraceText(filterName.c_str()).text,
             stateName(state.load()));
    state.store(State_Stopped);
    return result;
}

STDMETHODIMP FilterCore::Pause() {
    ScopedLock hold(lock);
    if (state.load() == State_Stopped) {
        const int n = pinCount();
        for (int i = 0; i < n; ++i) {
            PinCore* pin = pinAt(i);
            if (!pin || !pin->isConnected()) continue;
            HRESULT hr = pin->onActivate();
            if (FAILED(hr)) {
                DV_TRACE(TraceLevel::error, "filter \"%s\": Pause: pin %s did not activate: %s",
                         TraceText(filterName.c_str()).text, TraceText(pin->pinName().c_str()).text,
                         TraceHr(hr).text);
                // Undo the pins already activated, so that the filter really is
                // stopped again (nothing stays committed or created).
                for (int j = 0; j < i; ++j) {
                    PinCore* done = pinAt(j);
                    if (done && done->isConnected()) done->onDeactivate();
                }
                return hr;
            }
        }
    }
    DV_TRACE(TraceLevel::state, "filter \"%s\": Pause (was %s)", TraceText(filterName.c_str()).text,
             stateName(state.load()));
    state.store(State_Paused);
    return S_OK;
}

STDMETHODIMP FilterCore::Run(REFERENCE_TIME start) {
    ScopedLock hold(lock);
    startTime = start;
    if (state.load() == State_Stopped) {
        // Through the interface, so that a derived filter's Pause runs.
        HRESULT hr = static_cast<IMediaFilter*>(this)->Pause();
        if (FAILED(hr)) return hr;
    }
    if (state.load() != State_Running) {
        const int n = pinCount();
        for (int i = 0; i < n; ++i) {
            PinCore* pin = pinAt(i);
            if (!pin || !pin->isConnected()) continue;
            HRESULT hr = pin->onRun(start);
            if (FAILED(hr)) {
                DV_TRACE(TraceLevel::error, "filter \"%s\": Run: pin %s did not start: %s",
                         TraceText(filterName.c_str()).text, TraceText(pin->pinName().c_str()).text,
                         TraceHr(hr).text);
                return hr;
            }
        }
    }
    DV_TRACE(TraceLevel::state, "filter \"%s\": Run (was %s)", TraceText(filterName.c_str()).text,
             stateName(state.load()));
    state.store(State_Running);
    return S_OK;
}

STDMETHODIMP FilterCore::GetState(DWORD, FILTER_STATE* out) {
    if (!out) return E_POINTER;
    *out = state.load();
    return S_OK;
}

STDMETHODIMP FilterCore::SetSyncSource(IReferenceClock* newClock) {
    ScopedLock hold(lock);
    clock = newClock;
    return S_OK;
}

STDMETHODIMP FilterCore::GetSyncSource(IReferenceClock** out) {
    if (!out) return E_POINTER;
    ScopedLock hold(lock);
    return clock.CopyTo(out);
}

STDMETHODIMP FilterCore::EnumPins(IEnumPins** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    auto* enumerator = new (std::nothrow) PinEnumerator(this);
    if (!enumerator) return E_OUTOFMEMORY;
    return getInterface(static_cast<IEnumPins*>(enumerator), reinterpret_cast<void**>(out));
}

STDMETHODIMP FilterCore::FindPin(LPCWSTR id, IPin** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (!id) return E_POINTER;
    ScopedLock hold(lock);
    const int n = pinCount();
    for (int i = 0; i < n; ++i) {
        PinCore* pin = pinAt(i);
        if (pin && pin->pinName() == id) return ComPtr<IPin>(static_cast<IPin*>(pin)).CopyTo(out);
    }
    return VFW_E_NOT_FOUND;
}

STDMETHODIMP FilterCore::QueryFilterInfo(FILTER_INFO* out) {
    if (!out) return E_POINTER;
    ScopedLock hold(lock);
    size_t length = hasName ? std::min<size_t>(filterName.size(), MAX_FILTER_NAME - 1) : 0;
    if (length) std::wmemcpy(out->achName, filterName.data(), length);
    out->achName[length] = L'\0';
    return ComPtr<IFilterGraph>(graph).CopyTo(&out->pGraph);
}

STDMETHODIMP FilterCore::JoinFilterGraph(IFilterGraph* newGraph, LPCWSTR newName) {
    ScopedLock hold(lock);
    graph = newGraph;
    eventSink = nullptr;
    if (newGraph) {
        // Kept without a reference: the sink is part of the graph, which owns us.
        ComPtr<IMediaEventSink> sink;
        if (SUCCEEDED(ComPtr<IFilterGraph>(newGraph).As(&sink))) eventSink = sink.Get();
    }
    if (newName) {
        filterName = newName;
        hasName = true;
    } else {
        filterName.clear();
        hasName = false;
    }
    return S_OK;
}

STDMETHODIMP FilterCore::QueryVendorInfo(LPWSTR*) {
    return E_NOTIMPL;
}

STDMETHODIMP FilterCore::Register() {
    const FilterSetupRecord* record = registrationRecord();
    if (!record) return S_FALSE;
    ComPtr<IFilterMapper2> mapper;
    HRESULT hr = CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper2,
                                  reinterpret_cast<void**>(mapper.GetAddressOf()));
    if (FAILED(hr)) return hr;
    REGFILTER2 rf2{};
    rf2.dwVersion = 1;
    rf2.dwMerit = record->merit;
    rf2.cPins = record->pinCount;
    rf2.rgPins = record->pins;
    return mapper->RegisterFilter(*record->classId, record->name, nullptr, nullptr, nullptr, &rf2);
}

STDMETHODIMP FilterCore::Unregister() {
    const FilterSetupRecord* record = registrationRecord();
    if (!record) return S_FALSE;
    ComPtr<IFilterMapper2> mapper;
    HRESULT hr = CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper2,
                                  reinterpret_cast<void**>(mapper.GetAddressOf()));
    if (FAILED(hr)) return hr;
    return mapper->UnregisterFilter(nullptr, nullptr, *record->classId);
}

// ---- PinEnumerator --------------------------------------------------------------

PinEnumerator::PinEnumerator(FilterCore* owner) : filterRef(static_cast<IBaseFilter*>(owner)), filter(owner) {
    refresh();
}

PinEnumerator::PinEnumerator(const PinEnumerator& other)
    : ComponentCore(nullptr),
      IEnumPins(),
      filterRef(other.filterRef),
      filter(other.filter),
      position(other.position),
      count(other.count),
      version(other.version),
      returned(other.returned) {}

HRESULT PinEnumerator::nonDelegatingQueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    if (riid == IID_IEnumPins) return getInterface(static_cast<IEnumPins*>(this), ppv);
    return ComponentCore::nonDelegatingQueryInterface(riid, ppv);
}

void PinEnumerator::refresh() {
    count = filter->pinCount();
    version = filter->pinSetVersion();
    position = 0;
}

STDMETHODIMP PinEnumerator::Next(ULONG requested, IPin** pins, ULONG* fetched) {
    if (!pins) return E_POINTER;
    if (!fetched && requested > 1) return E_INVALIDARG;
    if (fetched) *fetched = 0;
    // A changed pin set: start over but keep the list, so no pin comes twice.
    if (filter->pinSetVersion() != version) refresh();
    ULONG got = 0;
    while (got < requested && position < count) {
        PinCore* pin = filter->pinAt(position++);
        if (!pin) {
            // Hand back nothing rather than references the caller would not release.
            for (ULONG i = 0; i < got; ++i) {
                ComPtr<IPin> drop;
                drop.Attach(pins[i]);
                pins[i] = nullptr;
            }
            return VFW_E_ENUM_OUT_OF_SYNC;
        }
        if (std::find(returned.begin(), returned.end(), pin) != returned.end()) continue;
        returned.push_back(pin);
        ComPtr<IPin>(static_cast<IPin*>(pin)).CopyTo(&pins[got++]);
    }
    if (fetched) *fetched = got;
    return got == requested ? S_OK : S_FALSE;
}

STDMETHODIMP PinEnumerator::Skip(ULONG skip) {
    if (filter->pinSetVersion() != version) return VFW_E_ENUM_OUT_OF_SYNC;
    if (static_cast<ULONG>(count - position) < skip) return S_FALSE;
    position += static_cast<int>(skip);
    return S_OK;
}

STDMETHODIMP PinEnumerator::Reset() {
    refresh();
    returned.clear();
    return S_OK;
}

STDMETHODIMP PinEnumerator::Clone(IEnumPins** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (filter->pinSetVersion() != version) return VFW_E_ENUM_OUT_OF_SYNC;
    auto* copy = new (std::nothrow) PinEnumerator(*this);
    if (!copy) return E_OUTOFMEMORY;
    return getInterface(static_cast<IEnumPins*>(copy), reinterpret_cast<void**>(out));
}
