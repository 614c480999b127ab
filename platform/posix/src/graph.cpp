// CLSID_FilterGraph: a synchronous filter graph manager offering
// IFilterGraph2, IMediaControl, IMediaEventSink and IMediaEvent.
//
// Locks:
//  - `graphLock` (re-entrant) guards the filter list, the state and the clock.
//    It is held while the graph calls into filters for membership, connection
//    and state changes, on the host's thread; a filter may call back into the
//    graph from there (AddFilter, ConnectDirect, Reconnect, RemoveFilter from
//    inside IPin::Connect or Disconnect).
//  - `eventLock` guards the event queue only. IMediaEventSink::Notify and the
//    IMediaEvent calls take nothing else, so streaming threads may post events
//    while the host's thread waits in a filter's Stop under `graphLock`.
// Streaming threads must not call the other graph methods.
//
// Behaviour chosen where the platform leaves room (as the reference graph
// manager seen under Wine does it):
//  - AddFilter with a taken name answers VFW_S_DUPLICATE_NAME and names the
//    filter "<name> 0001" (then 0002, ...); a null name becomes "Filter"
//    (numbered the same way, answered S_OK). The same filter may be added twice.
//  - RemoveFilter of a filter while the graph is not stopped stops that filter
//    first, then disconnects its pins (both ends) and calls JoinFilterGraph(null, null).
//  - Reconnect/ReconnectEx disconnect both ends and connect them again at once,
//    with the given type; with no type the pins negotiate anew.
//  - Connect is direct only (ConnectDirect with no type); Render and the other
//    intelligent-connect methods answer E_NOTIMPL.
//  - State changes go to every filter, downstream filters first. Run from
//    stopped pauses first; Stop from running pauses first. Each Run starts the
//    stream at clock time now + 10 ms. A filter failure stops the whole graph
//    and is returned.
//  - Events are queued as posted. EC_COMPLETE is passed on for every filter
//    that posts it, with parameter 2 cleared; EC_COMPLETE, EC_ERRORABORT and
//    EC_USERABORT end WaitForCompletion (which leaves the event queued).
#include <algorithm>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "runtime.h"

namespace {

constexpr REFERENCE_TIME runStartOffset = 100000;  // 10 ms

struct GraphEntry {
    ComPtr<IBaseFilter> filter;
    std::wstring name;
};

// Releases PIN_INFO's filter reference.
struct PinInfo : PIN_INFO {
    PinInfo()
        : PIN_INFO{} {}  // NOLINT(clang-analyzer-optin.cplusplus.UninitializedObject): {} zeroes every field
    ~PinInfo() {
        if (pFilter) pFilter->Release();
    }
};

class FilterGraph;

class FilterEnumerator final : public IEnumFilters, public dvrt::RefCounted {
public:
    FilterEnumerator(FilterGraph* graph, size_t position);
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IEnumFilters) {
            *ppv = static_cast<IEnumFilters*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    DVRT_REFCOUNT_METHODS
    STDMETHODIMP Next(ULONG count, IBaseFilter** out, ULONG* fetched) override;
    STDMETHODIMP Skip(ULONG count) override;
    STDMETHODIMP Reset() override;
    STDMETHODIMP Clone(IEnumFilters** out) override;

private:
    ComPtr<IFilterGraph> owner;  // keeps the graph alive while enumerating
    FilterGraph* graph;
    size_t position;
    uint32_t version;
};

class FilterGraph final : public IFilterGraph2,
                          public IMediaControl,
                          public IMediaEventSink,
                          public IMediaEvent,
                          public dvrt::RefCounted {
public:
    FilterGraph() {
        dvrt::createSystemClock(IID_IReferenceClock, reinterpret_cast<void**>(clock.GetAddressOf()));
    }

    // ---- IUnknown ----
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IFilterGraph || riid == IID_IGraphBuilder ||
            riid == IID_IFilterGraph2) {
            *ppv = static_cast<IFilterGraph2*>(this);
        } else if (riid == IID_IMediaControl || riid == IID_IDispatch) {
            *ppv = static_cast<IMediaControl*>(this);
        } else if (riid == IID_IMediaEventSink) {
            *ppv = static_cast<IMediaEventSink*>(this);
        } else if (riid == IID_IMediaEvent) {
            *ppv = static_cast<IMediaEvent*>(this);
        } else {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return addRef(); }
    // The last release stops the graph and removes every filter; calls that
    // filters make into the graph meanwhile still find it alive.
    STDMETHODIMP_(ULONG) Release() override {
        const ULONG left = refs.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (left == 0) {
            refs.store(1);
            shutdown();
            delete this;
        }
        return left;
    }

    // ---- IFilterGraph ----
    STDMETHODIMP AddFilter(IBaseFilter* filter, LPCWSTR name) override {
        if (!filter) return E_POINTER;
        std::lock_guard<std::recursive_mutex> guard(graphLock);
        const std::wstring base = name ? std::wstring(name) : std::wstring(L"Filter");
        std::wstring unique = base;
        HRESULT result = S_OK;
        if (nameTaken(unique)) {
            for (unsigned n = 1;; ++n) {
                wchar_t suffix[16];
                std::swprintf(suffix, 16, L" %04u", n);
                unique = base + suffix;
                if (!nameTaken(unique)) break;
            }
            if (name) result = VFW_S_DUPLICATE_NAME;
        }
        filters.push_back(GraphEntry{ComPtr<IBaseFilter>(filter), unique});
        ++version;
        const HRESULT hr = filter->JoinFilterGraph(this, unique.c_str());
        if (FAILED(hr)) {
            for (auto it = filters.begin(); it != filters.end(); ++it) {
                if (it->filter.Get() == filter && it->name == unique) {
                    filters.erase(it);
                    ++version;
                    break;
                }
            }
            return hr;
        }
        if (clock) filter->SetSyncSource(clock.Get());
        return result;
    }

    STDMETHODIMP RemoveFilter(IBaseFilter* filter) override {
        if (!filter) return E_POINTER;
        std::lock_guard<std::recursive_mutex> guard(graphLock);
        if (!contains(filter)) return VFW_E_NOT_FOUND;
        ComPtr<IBaseFilter> keep(filter);
        if (state != State_Stopped) filter->Stop();
        disconnectPins(filter);
        // Connected filters may have changed the list meanwhile.
        for (auto it = filters.begin(); it != filters.end(); ++it) {
            if (it->filter.Get() == filter) {
                filters.erase(it);
                ++version;
                break;
            }
        }
        filter->JoinFilterGraph(nullptr, nullptr);
        return S_OK;
    }

    STDMETHODIMP EnumFilters(IEnumFilters** out) override {
        if (!out) return E_POINTER;
        *out = new (std::nothrow) FilterEnumerator(this, 0);
        return *out ? S_OK : E_OUTOFMEMORY;
    }

    STDMETHODIMP FindFilterByName(LPCWSTR name, IBaseFilter** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (!name) return E_POINTER;
        std::lock_guard<std::recursive_mutex> guard(graphLock);
        for (const auto& entry : filters) {
            if (entry.name == name) return entry.filter.CopyTo(out);
        }
        return VFW_E_NOT_FOUND;
    }

    STDMETHODIMP ConnectDirect(IPin* out, IPin* in, const AM_MEDIA_TYPE* mt) override {
        if (!out || !in) return E_POINTER;
        std::lock_guard<std::recursive_mutex> guard(graphLock);
        if (!pinInGraph(out) || !pinInGraph(in)) return VFW_E_NOT_IN_GRAPH;
        PIN_DIRECTION outDir = PINDIR_INPUT;
        PIN_DIRECTION inDir = PINDIR_OUTPUT;
        if (FAILED(out->QueryDirection(&outDir)) || FAILED(in->QueryDirection(&inDir)) ||
            outDir != PINDIR_OUTPUT || inDir != PINDIR_INPUT) {
            return VFW_E_INVALID_DIRECTION;
        }
        return out->Connect(in, mt);
    }

    STDMETHODIMP Reconnect(IPin* pin) override { return ReconnectEx(pin, nullptr); }

    STDMETHODIMP Disconnect(IPin* pin) override {
        if (!pin) return E_POINTER;
        std::lock_guard<std::recursive_mutex> guard(graphLock);
        return pin->Disconnect();
    }

    STDMETHODIMP SetDefaultSyncSource() override {
        std::lock_guard<std::recursive_mutex> guard(graphLock);
        for (const auto& entry : snapshot())
            entry.filter->SetSyncSource(clock.Get());
        return S_OK;
    }

    // ---- IGraphBuilder ----
    STDMETHODIMP Connect(IPin* out, IPin* in) override { return ConnectDirect(out, in, nullptr); }
    STDMETHODIMP Render(IPin*) override { return E_NOTIMPL; }
    STDMETHODIMP RenderFile(LPCWSTR, LPCWSTR) override { return E_NOTIMPL; }
    STDMETHODIMP AddSourceFilter(LPCWSTR, LPCWSTR, IBaseFilter** filter) override {
        if (filter) *filter = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP SetLogFile(DWORD_PTR) override { return E_NOTIMPL; }
    STDMETHODIMP Abort() override { return E_NOTIMPL; }
    STDMETHODIMP ShouldOperationContinue() override { return E_NOTIMPL; }

    // ---- IFilterGraph2 ----
    STDMETHODIMP AddSourceFilterForMoniker(IMoniker*, IBindCtx*, LPCWSTR, IBaseFilter** filter) override {
        if (filter) *filter = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP ReconnectEx(IPin* pin, const AM_MEDIA_TYPE* mt) override {
        if (!pin) return E_POINTER;
        std::lock_guard<std::recursive_mutex> guard(graphLock);
        ComPtr<IPin> peer;
        if (FAILED(pin->ConnectedTo(peer.GetAddressOf())) || !peer) return VFW_E_NOT_CONNECTED;
        PIN_DIRECTION dir = PINDIR_INPUT;
        HRESULT hr = pin->QueryDirection(&dir);
        if (FAILED(hr)) return hr;
        IPin* out = dir == PINDIR_OUTPUT ? pin : peer.Get();
        IPin* in = dir == PINDIR_OUTPUT ? peer.Get() : pin;
        hr = out->Disconnect();
        if (FAILED(hr)) return hr;
        in->Disconnect();
        return out->Connect(in, mt);
    }
    STDMETHODIMP RenderEx(IPin*, DWORD, DWORD*) override { return E_NOTIMPL; }

    // ---- IDispatch (of IMediaControl and IMediaEvent) ----
    STDMETHODIMP GetTypeInfoCount(UINT* count) override {
        if (count) *count = 0;
        return E_NOTIMPL;
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return E_NOTIMPL;
    }

    // ---- IMediaControl ----
    STDMETHODIMP Run() override {
        std::lock_guard<std::recursive_mutex> guard(graphLock);
        if (state == State_Running) return S_OK;
        const auto sorted = downstreamFirst();
        HRESULT result = S_OK;
        if (state == State_Stopped) {
            resetCompletion();
            result = changeAll(sorted, State_Paused);
            if (FAILED(result)) return result;
        }
        REFERENCE_TIME now = 0;
        if (clock) clock->GetTime(&now);
        streamStart = now + runStartOffset;
        const HRESULT hr = changeAll(sorted, State_Running);
        if (FAILED(hr)) return hr;
        return result == S_FALSE ? S_FALSE : hr;
    }
    STDMETHODIMP Pause() override {
        std::lock_guard<std::recursive_mutex> guard(graphLock);
        if (state == State_Paused) return S_OK;
        if (state == State_Stopped) resetCompletion();
        return changeAll(downstreamFirst(), State_Paused);
    }
    STDMETHODIMP Stop() override {
        std::lock_guard<std::recursive_mutex> guard(graphLock);
        if (state == State_Stopped) return S_OK;
        const auto sorted = downstreamFirst();
        if (state == State_Running) {
            for (auto* f : sorted)
                f->Pause();
        }
        HRESULT result = S_OK;
        for (auto* f : sorted) {
            const HRESULT hr = f->Stop();
            if (FAILED(hr) && SUCCEEDED(result)) result = hr;
        }
        state = State_Stopped;
        resetCompletion();
        return result;
    }
    STDMETHODIMP GetState(LONG timeoutMs, OAFilterState* out) override {
        if (!out) return E_POINTER;
        std::vector<GraphEntry> entries;
        {
            std::lock_guard<std::recursive_mutex> guard(graphLock);
            *out = state;
            entries = snapshot();
        }
        for (const auto& entry : entries) {
            FILTER_STATE fs = State_Stopped;
            const HRESULT hr = entry.filter->GetState(static_cast<DWORD>(timeoutMs), &fs);
            if (hr == VFW_S_STATE_INTERMEDIATE || FAILED(hr)) return hr;
        }
        return S_OK;
    }
    STDMETHODIMP RenderFile(BSTR) override { return E_NOTIMPL; }
    STDMETHODIMP AddSourceFilter(BSTR, IDispatch** unk) override {
        if (unk) *unk = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP get_FilterCollection(IDispatch** unk) override {
        if (unk) *unk = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP get_RegFilterCollection(IDispatch** unk) override {
        if (unk) *unk = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP StopWhenReady() override {
        std::lock_guard<std::recursive_mutex> guard(graphLock);
        const HRESULT hr = Pause();
        if (FAILED(hr)) return hr;
        return Stop();
    }

    // ---- IMediaEventSink (any thread) ----
    STDMETHODIMP Notify(LONG code, LONG_PTR param1, LONG_PTR param2) override {
        std::lock_guard<std::mutex> guard(eventLock);
        if (code == EC_COMPLETE) param2 = 0;  // the posting filter is not passed on
        events.push_back(Event{code, param1, param2});
        if (code == EC_COMPLETE || code == EC_ERRORABORT || code == EC_USERABORT) {
            completed = true;
            completionCode = code;
        }
        eventPosted.notify_all();
        return S_OK;
    }

    // ---- IMediaEvent (any thread) ----
    STDMETHODIMP GetEventHandle(OAEVENT* handle) override {
        if (handle) *handle = 0;
        return E_NOTIMPL;
    }
    STDMETHODIMP GetEvent(LONG* code, LONG_PTR* param1, LONG_PTR* param2, LONG timeoutMs) override {
        if (!code || !param1 || !param2) return E_POINTER;
        *code = 0;
        *param1 = *param2 = 0;
        std::unique_lock<std::mutex> guard(eventLock);
        if (!waitFor(guard, timeoutMs, [this] { return !events.empty(); })) return E_ABORT;
        const Event e = events.front();
        events.pop_front();
        *code = e.code;
        *param1 = e.param1;
        *param2 = e.param2;
        return S_OK;
    }
    STDMETHODIMP WaitForCompletion(LONG timeoutMs, LONG* code) override {
        if (!code) return E_POINTER;
        *code = 0;
        {
            std::lock_guard<std::recursive_mutex> guard(graphLock);
            if (state != State_Running) return VFW_E_WRONG_STATE;
        }
        std::unique_lock<std::mutex> guard(eventLock);
        if (!waitFor(guard, timeoutMs, [this] { return completed; })) return E_ABORT;
        *code = completionCode;
        return S_OK;
    }
    STDMETHODIMP CancelDefaultHandling(LONG) override { return S_OK; }
    STDMETHODIMP RestoreDefaultHandling(LONG) override { return S_OK; }
    // No event of this graph carries owned parameters.
    STDMETHODIMP FreeEventParams(LONG, LONG_PTR, LONG_PTR) override { return S_OK; }

    // ---- for FilterEnumerator (takes graphLock) ----
    HRESULT filterAt(size_t index, uint32_t expectedVersion, ComPtr<IBaseFilter>* out) {
        std::lock_guard<std::recursive_mutex> guard(graphLock);
        if (expectedVersion != version) return VFW_E_ENUM_OUT_OF_SYNC;
        if (index >= filters.size()) return S_FALSE;
        *out = filters[index].filter;
        return S_OK;
    }
    uint32_t currentVersion() {
        std::lock_guard<std::recursive_mutex> guard(graphLock);
        return version;
    }

private:
    struct Event {
        LONG code;
        LONG_PTR param1;
        LONG_PTR param2;
    };

    ~FilterGraph() override = default;

    void shutdown() {
        std::lock_guard<std::recursive_mutex> guard(graphLock);
        Stop();
        while (!filters.empty()) {
            ComPtr<IBaseFilter> first = filters.front().filter;
            const size_t before = filters.size();
            RemoveFilter(first.Get());
            if (filters.size() >= before) filters.erase(filters.begin());  // never loop forever
        }
    }

    template <class Pred>
    bool waitFor(std::unique_lock<std::mutex>& guard, LONG timeoutMs, Pred ready) {
        if (timeoutMs < 0) {  // INFINITE
            eventPosted.wait(guard, ready);
            return true;
        }
        return eventPosted.wait_for(guard, std::chrono::milliseconds(timeoutMs), ready);
    }

    void resetCompletion() {
        std::lock_guard<std::mutex> guard(eventLock);
        completed = false;
        completionCode = 0;
    }

    bool nameTaken(const std::wstring& name) const {
        return std::any_of(filters.begin(), filters.end(),
                           [&](const GraphEntry& e) { return e.name == name; });
    }
    bool contains(IBaseFilter* filter) const {
        return std::any_of(filters.begin(), filters.end(),
                           [&](const GraphEntry& e) { return e.filter.Get() == filter; });
    }
    std::vector<GraphEntry> snapshot() const { return filters; }

    bool pinInGraph(IPin* pin) const {
        PinInfo info;
        if (FAILED(pin->QueryPinInfo(&info)) || !info.pFilter) return false;
        return contains(info.pFilter);
    }

    // Disconnects every connected pin of `filter` and its peer.
    static void disconnectPins(IBaseFilter* filter) {
        for (const auto& pin : pinsOf(filter)) {
            ComPtr<IPin> peer;
            if (SUCCEEDED(pin->ConnectedTo(peer.GetAddressOf())) && peer) {
                peer->Disconnect();
                pin->Disconnect();
            }
        }
    }

    static std::vector<ComPtr<IPin>> pinsOf(IBaseFilter* filter) {
        std::vector<ComPtr<IPin>> pins;
        ComPtr<IEnumPins> e;
        if (FAILED(filter->EnumPins(e.GetAddressOf())) || !e) return pins;
        while (true) {
            IPin* pin = nullptr;
            ULONG fetched = 0;
            if (e->Next(1, &pin, &fetched) != S_OK || !pin) break;
            ComPtr<IPin> owned;
            owned.Attach(pin);
            pins.push_back(owned);
        }
        return pins;
    }

    // The distinct filters ordered so that every filter comes after the
    // filters its output pins are connected to (renderers first).
    std::vector<IBaseFilter*> downstreamFirst() const {
        std::vector<IBaseFilter*> distinct;
        for (const auto& entry : filters) {
            if (std::find(distinct.begin(), distinct.end(), entry.filter.Get()) == distinct.end()) {
                distinct.push_back(entry.filter.Get());
            }
        }
        std::map<IBaseFilter*, std::vector<IBaseFilter*>> downstream;
        for (IBaseFilter* f : distinct) {
            for (const auto& pin : pinsOf(f)) {
                PIN_DIRECTION dir = PINDIR_INPUT;
                ComPtr<IPin> peer;
                if (FAILED(pin->QueryDirection(&dir)) || dir != PINDIR_OUTPUT ||
                    FAILED(pin->ConnectedTo(peer.GetAddressOf())) || !peer) {
                    continue;
                }
                PinInfo info;
                if (SUCCEEDED(peer->QueryPinInfo(&info)) && info.pFilter && contains(info.pFilter)) {
                    downstream[f].push_back(info.pFilter);
                }
            }
        }
        std::vector<IBaseFilter*> order;
        std::map<IBaseFilter*, bool> visited;
        // Iterative depth-first walk, appending a filter after its downstream ones.
        for (IBaseFilter* root : distinct) {
            if (visited[root]) continue;
            std::vector<std::pair<IBaseFilter*, size_t>> stack{{root, 0}};
            visited[root] = true;
            while (!stack.empty()) {
                auto& [f, next] = stack.back();
                const auto& outs = downstream[f];
                if (next < outs.size()) {
                    IBaseFilter* d = outs[next++];
                    if (!visited[d]) {
                        visited[d] = true;
                        stack.emplace_back(d, 0);
                    }
                } else {
                    order.push_back(f);
                    stack.pop_back();
                }
            }
        }
        return order;
    }

    // Moves every filter in `sorted` to `target`; on a failure the whole graph
    // is stopped and the failure returned. S_FALSE if a filter answered it.
    HRESULT changeAll(const std::vector<IBaseFilter*>& sorted, FILTER_STATE target) {
        HRESULT result = S_OK;
        for (IBaseFilter* f : sorted) {
            const HRESULT hr = target == State_Running ? f->Run(streamStart) : f->Pause();
            if (FAILED(hr)) {
                for (IBaseFilter* g : sorted)
                    g->Stop();
                state = State_Stopped;
                return hr;
            }
            if (hr == S_FALSE) result = S_FALSE;
        }
        state = target;
        return result;
    }

    std::recursive_mutex graphLock;
    std::vector<GraphEntry> filters;  // in order of addition
    uint32_t version = 0;             // bumped whenever `filters` changes
    FILTER_STATE state = State_Stopped;
    ComPtr<IReferenceClock> clock;
    REFERENCE_TIME streamStart = 0;

    std::mutex eventLock;
    std::condition_variable eventPosted;
    std::deque<Event> events;
    bool completed = false;
    LONG completionCode = 0;
};

FilterEnumerator::FilterEnumerator(FilterGraph* g, size_t pos)
    : owner(static_cast<IFilterGraph*>(g)), graph(g), position(pos), version(g->currentVersion()) {}

STDMETHODIMP FilterEnumerator::Next(ULONG count, IBaseFilter** out, ULONG* fetched) {
    if (!out) return E_POINTER;
    if (count > 1 && !fetched) return E_INVALIDARG;
    ULONG got = 0;
    while (got < count) {
        ComPtr<IBaseFilter> f;
        const HRESULT hr = graph->filterAt(position, version, &f);
        if (hr == VFW_E_ENUM_OUT_OF_SYNC) {
            for (ULONG i = 0; i < got; ++i)
                out[i]->Release();
            if (fetched) *fetched = 0;
            return hr;
        }
        if (hr != S_OK) break;
        out[got++] = f.Detach();
        ++position;
    }
    if (fetched) *fetched = got;
    return got == count ? S_OK : S_FALSE;
}

STDMETHODIMP FilterEnumerator::Skip(ULONG count) {
    for (ULONG i = 0; i < count; ++i) {
        ComPtr<IBaseFilter> f;
        const HRESULT hr = graph->filterAt(position, version, &f);
        if (hr != S_OK) return hr == S_FALSE ? S_FALSE : hr;
        ++position;
    }
    return S_OK;
}

STDMETHODIMP FilterEnumerator::Reset() {
    position = 0;
    version = graph->currentVersion();
    return S_OK;
}

STDMETHODIMP FilterEnumerator::Clone(IEnumFilters** out) {
    if (!out) return E_POINTER;
    auto* copy = new (std::nothrow) FilterEnumerator(graph, position);
    if (!copy) return E_OUTOFMEMORY;
    copy->version = version;
    *out = copy;
    return S_OK;
}

}  // namespace

namespace dvrt {
HRESULT createFilterGraph(REFIID riid, void** ppv) {
    auto* graph = new (std::nothrow) FilterGraph;
    if (!graph) return E_OUTOFMEMORY;
    return handOut(graph, riid, ppv);
}
}  // namespace dvrt
