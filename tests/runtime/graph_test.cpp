// The filter graph manager with small filters written here: naming and
// membership, direct connection and reconnection, re-entrant calls from a
// pin's Connect, state change order, streaming with events.
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

namespace {

// Calls made on the test filters, in order, from any thread.
class CallLog {
public:
    void add(const std::string& call) {
        std::lock_guard<std::mutex> guard(lock);
        calls.push_back(call);
    }
    std::vector<std::string> take() {
        std::lock_guard<std::mutex> guard(lock);
        return std::exchange(calls, {});
    }

private:
    std::mutex lock;
    std::vector<std::string> calls;
};

AM_MEDIA_TYPE videoType(const GUID& subtype) {
    AM_MEDIA_TYPE mt{};
    mt.majortype = MEDIATYPE_Video;
    mt.subtype = subtype;
    mt.bFixedSizeSamples = TRUE;
    mt.formattype = FORMAT_None;
    return mt;
}

class TestFilter;

class TestPin final : public IPin, public IMemInputPin {
public:
    TestPin(TestFilter* owner, PIN_DIRECTION dir, std::wstring name)
        : owner(owner), dir(dir), name(std::move(name)) {}

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IPin) {
            *ppv = static_cast<IPin*>(this);
        } else if (riid == IID_IMemInputPin && dir == PINDIR_INPUT) {
            *ppv = static_cast<IMemInputPin*>(this);
        } else {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    STDMETHODIMP Connect(IPin* receiver, const AM_MEDIA_TYPE* mt) override;
    STDMETHODIMP ReceiveConnection(IPin* connector, const AM_MEDIA_TYPE* mt) override {
        if (peer) return VFW_E_ALREADY_CONNECTED;
        if (mt->subtype == MEDIASUBTYPE_RGB8) return VFW_E_TYPE_NOT_ACCEPTED;
        peer = connector;
        connectedSubtype = mt->subtype;
        return S_OK;
    }
    STDMETHODIMP Disconnect() override;
    STDMETHODIMP ConnectedTo(IPin** out) override {
        if (!out) return E_POINTER;
        peer.CopyTo(out);
        return peer ? S_OK : VFW_E_NOT_CONNECTED;
    }
    STDMETHODIMP ConnectionMediaType(AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
    STDMETHODIMP QueryPinInfo(PIN_INFO* info) override;
    STDMETHODIMP QueryDirection(PIN_DIRECTION* out) override {
        *out = dir;
        return S_OK;
    }
    STDMETHODIMP QueryId(LPWSTR*) override { return E_NOTIMPL; }
    STDMETHODIMP QueryAccept(const AM_MEDIA_TYPE*) override { return S_OK; }
    STDMETHODIMP EnumMediaTypes(IEnumMediaTypes**) override { return E_NOTIMPL; }
    STDMETHODIMP QueryInternalConnections(IPin**, ULONG*) override { return E_NOTIMPL; }
    STDMETHODIMP EndOfStream() override;
    STDMETHODIMP BeginFlush() override { return S_OK; }
    STDMETHODIMP EndFlush() override { return S_OK; }
    STDMETHODIMP NewSegment(REFERENCE_TIME, REFERENCE_TIME, double) override { return S_OK; }

    STDMETHODIMP GetAllocator(IMemAllocator**) override { return VFW_E_NO_ALLOCATOR; }
    STDMETHODIMP NotifyAllocator(IMemAllocator*, BOOL) override { return S_OK; }
    STDMETHODIMP GetAllocatorRequirements(ALLOCATOR_PROPERTIES*) override { return E_NOTIMPL; }
    STDMETHODIMP Receive(IMediaSample* sample) override;
    STDMETHODIMP ReceiveMultiple(IMediaSample** samples, LONG count, LONG* done) override {
        *done = 0;
        for (LONG i = 0; i < count; ++i, ++*done) {
            const HRESULT hr = Receive(samples[i]);
            if (hr != S_OK) return hr;
        }
        return S_OK;
    }
    STDMETHODIMP ReceiveCanBlock() override { return S_FALSE; }

    TestFilter* const owner;  // pins count on their filter
    const PIN_DIRECTION dir;
    const std::wstring name;
    ComPtr<IPin> peer;
    ComPtr<IMemInputPin> peerInput;
    GUID connectedSubtype = GUID_NULL;
    int connectCount = 0;
    std::function<void()> onConnect;  // runs inside Connect, after success
};

// A filter with the given pins. As a source (an output pin and `samplesToSend`
// > 0) it streams from its own thread while running; as a sink (an input pin)
// it counts what it receives and posts EC_COMPLETE at end of stream.
class TestFilter final : public IBaseFilter {
public:
    TestFilter(std::string tag, CallLog* log, int inputs, int outputs) : tag(std::move(tag)), log(log) {
        for (int i = 0; i < inputs; ++i)
            pins.push_back(std::make_unique<TestPin>(this, PINDIR_INPUT, L"In"));
        for (int i = 0; i < outputs; ++i)
            pins.push_back(std::make_unique<TestPin>(this, PINDIR_OUTPUT, L"Out"));
    }
    ~TestFilter() { stopStreaming(); }

    TestPin* in() const { return pinOf(PINDIR_INPUT); }
    TestPin* out() const { return pinOf(PINDIR_OUTPUT); }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IPersist || riid == IID_IMediaFilter ||
            riid == IID_IBaseFilter) {
            *ppv = static_cast<IBaseFilter*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
    STDMETHODIMP_(ULONG) Release() override { return --refs; }  // owned by the test

    STDMETHODIMP GetClassID(CLSID* clsid) override {
        *clsid = GUID_NULL;
        return S_OK;
    }
    STDMETHODIMP Stop() override {
        log->add(tag + ".Stop");
        holdSamples = false;
        stopStreaming();
        state = State_Stopped;
        return S_OK;
    }
    STDMETHODIMP Pause() override {
        log->add(tag + ".Pause");
        if (failPause) return E_FAIL;
        if (state == State_Stopped && out() && out()->peerInput) {
            CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER, IID_IMemAllocator,
                             reinterpret_cast<void**>(allocator.ReleaseAndGetAddressOf()));
            ALLOCATOR_PROPERTIES request{2, 64, 1, 0}, actual{};
            allocator->SetProperties(&request, &actual);
            allocator->Commit();
        }
        state = State_Paused;
        return S_OK;
    }
    STDMETHODIMP Run(REFERENCE_TIME start) override {
        log->add(tag + ".Run");
        runStart = start;
        if (state != State_Running && samplesToSend != 0 && allocator) {
            streamer = std::thread([this] { stream(); });
        }
        state = State_Running;
        return S_OK;
    }
    STDMETHODIMP GetState(DWORD, FILTER_STATE* out) override {
        *out = state;
        return S_OK;
    }
    STDMETHODIMP SetSyncSource(IReferenceClock* c) override {
        clock = c;
        return S_OK;
    }
    STDMETHODIMP GetSyncSource(IReferenceClock** c) override { return clock.CopyTo(c); }
    STDMETHODIMP EnumPins(IEnumPins** out) override;
    STDMETHODIMP FindPin(LPCWSTR, IPin**) override { return E_NOTIMPL; }
    STDMETHODIMP QueryFilterInfo(FILTER_INFO*) override { return E_NOTIMPL; }
    STDMETHODIMP JoinFilterGraph(IFilterGraph* g, LPCWSTR n) override {
        graph = g;
        joinedName = n ? n : L"";
        sink = nullptr;
        if (g) {
            // Kept without a reference: the graph owns this filter.
            ComPtr<IMediaEventSink> s;
            if (SUCCEEDED(
                    g->QueryInterface(IID_IMediaEventSink, reinterpret_cast<void**>(s.GetAddressOf())))) {
                sink = s.Get();
            }
        }
        ++joinCalls;
        return S_OK;
    }
    STDMETHODIMP QueryVendorInfo(LPWSTR*) override { return E_NOTIMPL; }

    // Sink side, on the streaming thread.
    HRESULT receive(IMediaSample* sample) {
        BYTE* p = nullptr;
        sample->GetPointer(&p);
        if (p[0] != static_cast<BYTE>(received.load())) outOfOrder = true;
        ++received;
        if (holdSamples) {
            std::lock_guard<std::mutex> guard(heldLock);
            held.emplace_back(sample);
        }
        return S_OK;
    }
    void endOfStream() {
        if (sink)
            sink->Notify(EC_COMPLETE, S_OK, reinterpret_cast<LONG_PTR>(static_cast<IBaseFilter*>(this)));
    }

    const std::string tag;
    CallLog* const log;
    std::vector<std::unique_ptr<TestPin>> pins;
    std::atomic<ULONG> refs{1};
    IFilterGraph* graph = nullptr;
    IMediaEventSink* sink = nullptr;
    std::wstring joinedName;
    int joinCalls = 0;
    ComPtr<IReferenceClock> clock;
    FILTER_STATE state = State_Stopped;
    REFERENCE_TIME runStart = 0;
    bool failPause = false;
    int samplesToSend = 0;  // < 0: until stopped
    std::atomic<int> received{0};
    std::atomic<bool> outOfOrder{false};
    std::atomic<bool> holdSamples{false};
    std::mutex heldLock;
    std::vector<ComPtr<IMediaSample>> held;

private:
    TestPin* pinOf(PIN_DIRECTION d) const {
        for (const auto& p : pins) {
            if (p->dir == d) return p.get();
        }
        return nullptr;
    }
    void stream() {
        for (int i = 0; samplesToSend < 0 || i < samplesToSend; ++i) {
            ComPtr<IMediaSample> s;
            if (FAILED(allocator->GetBuffer(s.GetAddressOf(), nullptr, nullptr, 0))) return;  // decommitted
            BYTE* p = nullptr;
            s->GetPointer(&p);
            p[0] = static_cast<BYTE>(i);
            REFERENCE_TIME t = i * 333333;
            s->SetTime(&t, nullptr);
            out()->peerInput->Receive(s.Get());
        }
        out()->peer->EndOfStream();
    }
    void stopStreaming() {
        if (allocator) allocator->Decommit();  // releases a GetBuffer that waits
        {
            std::lock_guard<std::mutex> guard(heldLock);
            held.clear();
        }
        if (streamer.joinable()) streamer.join();
        allocator.Reset();
    }
    ComPtr<IMemAllocator> allocator;
    std::thread streamer;
};

ULONG TestPin::AddRef() {
    return owner->AddRef();
}
ULONG TestPin::Release() {
    return owner->Release();
}

HRESULT TestPin::Connect(IPin* receiver, const AM_MEDIA_TYPE* mt) {
    owner->log->add(owner->tag + ".Connect");
    if (peer) return VFW_E_ALREADY_CONNECTED;
    const AM_MEDIA_TYPE offered = mt ? *mt : videoType(MEDIASUBTYPE_RGB24);
    const HRESULT hr = receiver->ReceiveConnection(this, &offered);
    if (FAILED(hr)) return hr;
    peer = receiver;
    receiver->QueryInterface(IID_IMemInputPin, reinterpret_cast<void**>(peerInput.ReleaseAndGetAddressOf()));
    connectedSubtype = offered.subtype;
    ++connectCount;
    if (onConnect) onConnect();
    return S_OK;
}

HRESULT TestPin::Disconnect() {
    if (!peer) return S_FALSE;
    owner->log->add(owner->tag + ".Disconnect");
    peer.Reset();
    peerInput.Reset();
    return S_OK;
}

HRESULT TestPin::QueryPinInfo(PIN_INFO* info) {
    info->pFilter = owner;
    owner->AddRef();
    info->dir = dir;
    std::wcsncpy(info->achName, name.c_str(), MAX_PIN_NAME);
    return S_OK;
}

HRESULT TestPin::EndOfStream() {
    owner->endOfStream();
    return S_OK;
}

HRESULT TestPin::Receive(IMediaSample* sample) {
    return owner->receive(sample);
}

class PinEnumerator final : public IEnumPins {
public:
    explicit PinEnumerator(TestFilter* f) : filter(f) { filter->AddRef(); }
    STDMETHODIMP QueryInterface(REFIID, void** ppv) override {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
    STDMETHODIMP_(ULONG) Release() override {
        const ULONG left = --refs;
        if (left == 0) {
            filter->Release();
            delete this;
        }
        return left;
    }
    STDMETHODIMP Next(ULONG count, IPin** out, ULONG* fetched) override {
        ULONG got = 0;
        while (got < count && position < filter->pins.size()) {
            out[got] = filter->pins[position++].get();
            out[got++]->AddRef();
        }
        if (fetched) *fetched = got;
        return got == count ? S_OK : S_FALSE;
    }
    STDMETHODIMP Skip(ULONG) override { return E_NOTIMPL; }
    STDMETHODIMP Reset() override {
        position = 0;
        return S_OK;
    }
    STDMETHODIMP Clone(IEnumPins**) override { return E_NOTIMPL; }

private:
    TestFilter* filter;
    size_t position = 0;
    std::atomic<ULONG> refs{1};
};

HRESULT TestFilter::EnumPins(IEnumPins** out) {
    *out = new PinEnumerator(this);
    return S_OK;
}

class Graph : public FreshRegistry {
protected:
    void SetUp() override {
        FreshRegistry::SetUp();
        ASSERT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterGraph2,
                                   reinterpret_cast<void**>(graph.GetAddressOf())),
                  S_OK);
        ASSERT_EQ(graph.As(&control), S_OK);
        ASSERT_EQ(graph.As(&events), S_OK);
    }
    void TearDown() override {
        control.Reset();
        events.Reset();
        graph.Reset();  // before the filters it may still hold
        for (auto& f : filters)
            EXPECT_EQ(f->refs.load(), 1u) << f->tag;  // nothing outstanding
        filters.clear();
        FreshRegistry::TearDown();
    }
    // A filter owned by the test; it outlives the graph.
    TestFilter& make(const char* tag, int inputs, int outputs) {
        filters.push_back(std::make_unique<TestFilter>(tag, &log, inputs, outputs));
        return *filters.back();
    }
    IBaseFilter* base(TestFilter& f) { return static_cast<IBaseFilter*>(&f); }
    std::vector<IBaseFilter*> listed() {
        std::vector<IBaseFilter*> out;
        ComPtr<IEnumFilters> e;
        EXPECT_EQ(graph->EnumFilters(e.GetAddressOf()), S_OK);
        IBaseFilter* f = nullptr;
        while (e->Next(1, &f, nullptr) == S_OK) {
            out.push_back(f);
            f->Release();
        }
        return out;
    }
    CallLog log;
    std::vector<std::unique_ptr<TestFilter>> filters;
    ComPtr<IFilterGraph2> graph;
    ComPtr<IMediaControl> control;
    ComPtr<IMediaEvent> events;
};

TEST_F(Graph, AddFilterNamesAndMembership) {
    TestFilter& a = make("a", 0, 1);
    TestFilter& b = make("b", 0, 1);
    TestFilter& c = make("c", 0, 1);
    TestFilter& d = make("d", 0, 1);
    {
        EXPECT_EQ(graph->AddFilter(nullptr, L"x"), E_POINTER);
        ASSERT_EQ(graph->AddFilter(base(a), L"Cam"), S_OK);
        EXPECT_EQ(a.joinedName, L"Cam");
        EXPECT_EQ(a.graph, static_cast<IFilterGraph*>(graph.Get()));
        EXPECT_NE(a.sink, nullptr);
        EXPECT_NE(a.clock, nullptr);  // the graph's clock, given when added
        EXPECT_EQ(graph->AddFilter(base(b), L"Cam"), VFW_S_DUPLICATE_NAME);
        EXPECT_EQ(b.joinedName, L"Cam 0001");
        EXPECT_EQ(graph->AddFilter(base(c), L"Cam"), VFW_S_DUPLICATE_NAME);
        EXPECT_EQ(c.joinedName, L"Cam 0002");
        EXPECT_EQ(graph->AddFilter(base(a), L"Again"), S_OK);  // the same filter twice
        EXPECT_EQ(graph->AddFilter(base(d), nullptr), S_OK);
        EXPECT_FALSE(d.joinedName.empty());
        EXPECT_EQ(listed(), (std::vector<IBaseFilter*>{base(a), base(b), base(c), base(a), base(d)}));

        ComPtr<IBaseFilter> found;
        ASSERT_EQ(graph->FindFilterByName(L"Cam 0001", found.GetAddressOf()), S_OK);
        EXPECT_EQ(found.Get(), base(b));
        found.Reset();
        EXPECT_EQ(graph->FindFilterByName(L"cam", found.GetAddressOf()), VFW_E_NOT_FOUND);
        EXPECT_EQ(found, nullptr);

        // An enumerator notices changes of the list.
        ComPtr<IEnumFilters> e;
        ASSERT_EQ(graph->EnumFilters(e.GetAddressOf()), S_OK);
        ASSERT_EQ(graph->RemoveFilter(base(b)), S_OK);
        IBaseFilter* f[8] = {};
        ULONG fetched = 9;
        EXPECT_EQ(e->Next(8, f, &fetched), VFW_E_ENUM_OUT_OF_SYNC);
        EXPECT_EQ(fetched, 0u);
        ASSERT_EQ(e->Reset(), S_OK);
        EXPECT_EQ(e->Next(8, f, &fetched), S_FALSE);
        EXPECT_EQ(fetched, 4u);
        for (ULONG i = 0; i < fetched; ++i)
            f[i]->Release();

        EXPECT_EQ(b.graph, nullptr);
        EXPECT_EQ(b.joinedName, L"");
        EXPECT_EQ(graph->FindFilterByName(L"Cam 0001", found.GetAddressOf()), VFW_E_NOT_FOUND);
        EXPECT_EQ(graph->RemoveFilter(base(b)), VFW_E_NOT_FOUND);
        EXPECT_EQ(b.refs.load(), 1u);  // the graph let go of it
    }
    // The last release of the graph removes every filter.
    control.Reset();
    events.Reset();
    graph.Reset();
    for (TestFilter* f : {&a, &c, &d}) {
        EXPECT_EQ(f->graph, nullptr) << f->tag;
        EXPECT_EQ(f->refs.load(), 1u) << f->tag;
    }
}

TEST_F(Graph, ConnectDirectReconnectDisconnect) {
    TestFilter& src = make("src", 0, 1);
    TestFilter& sink = make("sink", 1, 0);
    EXPECT_EQ(graph->ConnectDirect(src.out(), sink.in(), nullptr), VFW_E_NOT_IN_GRAPH);
    ASSERT_EQ(graph->AddFilter(base(src), L"Source"), S_OK);
    ASSERT_EQ(graph->AddFilter(base(sink), L"Sink"), S_OK);
    EXPECT_EQ(graph->ConnectDirect(sink.in(), src.out(), nullptr), VFW_E_INVALID_DIRECTION);
    const AM_MEDIA_TYPE refused = videoType(MEDIASUBTYPE_RGB8);
    EXPECT_EQ(graph->ConnectDirect(src.out(), sink.in(), &refused), VFW_E_TYPE_NOT_ACCEPTED);
    ASSERT_EQ(graph->ConnectDirect(src.out(), sink.in(), nullptr), S_OK);
    EXPECT_EQ(src.out()->peer.Get(), static_cast<IPin*>(sink.in()));
    EXPECT_EQ(sink.in()->connectedSubtype, MEDIASUBTYPE_RGB24);
    log.take();

    // ReconnectEx from either end: both ends let go, then Connect runs again
    // with the given type.
    const AM_MEDIA_TYPE rgb32 = videoType(MEDIASUBTYPE_RGB32);
    ASSERT_EQ(graph->ReconnectEx(sink.in(), &rgb32), S_OK);
    EXPECT_EQ(src.out()->connectCount, 2);
    EXPECT_EQ(sink.in()->connectedSubtype, MEDIASUBTYPE_RGB32);
    EXPECT_EQ(log.take(), (std::vector<std::string>{"src.Disconnect", "sink.Disconnect", "src.Connect"}));
    ASSERT_EQ(graph->Reconnect(src.out()), S_OK);
    EXPECT_EQ(src.out()->connectCount, 3);
    EXPECT_EQ(sink.in()->connectedSubtype, MEDIASUBTYPE_RGB24);  // negotiated anew

    // Disconnect acts on the one pin given.
    ASSERT_EQ(graph->Disconnect(src.out()), S_OK);
    EXPECT_EQ(src.out()->peer, nullptr);
    EXPECT_NE(sink.in()->peer, nullptr);
    EXPECT_EQ(graph->Reconnect(src.out()), VFW_E_NOT_CONNECTED);
    ASSERT_EQ(graph->Disconnect(sink.in()), S_OK);
    EXPECT_EQ(graph->Reconnect(nullptr), E_POINTER);

    // Connect is a direct connection; removing a filter disconnects both ends.
    ASSERT_EQ(graph->Connect(src.out(), sink.in()), S_OK);
    ASSERT_EQ(graph->RemoveFilter(base(sink)), S_OK);
    EXPECT_EQ(src.out()->peer, nullptr);
    EXPECT_EQ(sink.in()->peer, nullptr);
    EXPECT_EQ(sink.joinCalls, 2);
    EXPECT_EQ(graph->Render(src.out()), E_NOTIMPL);
}

// A pin may add and connect filters from inside its own Connect, as a
// filter that inserts its cameras does.
TEST_F(Graph, ConnectMayCallBackIntoTheGraph) {
    TestFilter& host = make("host", 1, 0);
    TestFilter& vcam = make("vcam", 1, 1);
    TestFilter& camera = make("camera", 0, 1);
    ASSERT_EQ(graph->AddFilter(base(host), L"Host"), S_OK);
    ASSERT_EQ(graph->AddFilter(base(vcam), L"Virtual"), S_OK);
    HRESULT inner = E_FAIL;
    vcam.out()->onConnect = [&] {
        // Another thread can post events while the graph is busy here
        // (a streaming thread must never wait for the graph's lock).
        ComPtr<IMediaEventSink> sink;
        ASSERT_EQ(graph.As(&sink), S_OK);
        std::thread other([&] { sink->Notify(EC_REPAINT, 0, 0); });
        other.join();
        ASSERT_EQ(graph->AddFilter(base(camera), L"Stereo Camera 1"), S_OK);
        inner = graph->ConnectDirect(camera.out(), vcam.in(), nullptr);
    };
    ASSERT_EQ(graph->ConnectDirect(vcam.out(), host.in(), nullptr), S_OK);
    EXPECT_EQ(inner, S_OK);
    EXPECT_EQ(camera.out()->peer.Get(), static_cast<IPin*>(vcam.in()));
    ComPtr<IBaseFilter> found;
    EXPECT_EQ(graph->FindFilterByName(L"Stereo Camera 1", found.GetAddressOf()), S_OK);
    // The event the other thread posted meanwhile was queued.
    LONG code = 0;
    LONG_PTR p1 = -1, p2 = -1;
    ASSERT_EQ(events->GetEvent(&code, &p1, &p2, 0), S_OK);
    EXPECT_EQ(code, EC_REPAINT);
    EXPECT_EQ(events->FreeEventParams(code, p1, p2), S_OK);
}

TEST_F(Graph, StateChangesGoDownstreamFirst) {
    TestFilter& src = make("src", 0, 1);
    TestFilter& mid = make("mid", 1, 1);
    TestFilter& sink = make("sink", 1, 0);
    // Added in an order that is neither upstream nor downstream.
    ASSERT_EQ(graph->AddFilter(base(mid), L"Mid"), S_OK);
    ASSERT_EQ(graph->AddFilter(base(src), L"Src"), S_OK);
    ASSERT_EQ(graph->AddFilter(base(sink), L"Sink"), S_OK);
    ASSERT_EQ(graph->ConnectDirect(src.out(), mid.in(), nullptr), S_OK);
    ASSERT_EQ(graph->ConnectDirect(mid.out(), sink.in(), nullptr), S_OK);
    log.take();

    ASSERT_TRUE(SUCCEEDED(control->Run()));  // from stopped: pause first
    EXPECT_EQ(log.take(), (std::vector<std::string>{"sink.Pause", "mid.Pause", "src.Pause", "sink.Run",
                                                    "mid.Run", "src.Run"}));
    EXPECT_GT(src.runStart, 0);
    EXPECT_EQ(src.runStart, sink.runStart);
    OAFilterState state = -1;
    EXPECT_EQ(control->GetState(0, &state), S_OK);
    EXPECT_EQ(state, State_Running);
    EXPECT_EQ(control->Run(), S_OK);
    EXPECT_TRUE(log.take().empty());

    ASSERT_EQ(control->Pause(), S_OK);
    EXPECT_EQ(log.take(), (std::vector<std::string>{"sink.Pause", "mid.Pause", "src.Pause"}));
    ASSERT_TRUE(SUCCEEDED(control->Run()));
    EXPECT_EQ(log.take(), (std::vector<std::string>{"sink.Run", "mid.Run", "src.Run"}));
    ASSERT_TRUE(SUCCEEDED(control->Stop()));  // from running: pause first
    EXPECT_EQ(log.take(), (std::vector<std::string>{"sink.Pause", "mid.Pause", "src.Pause", "sink.Stop",
                                                    "mid.Stop", "src.Stop"}));
    EXPECT_EQ(control->GetState(0, &state), S_OK);
    EXPECT_EQ(state, State_Stopped);

    // A filter that fails to pause: the graph stops and reports the failure.
    mid.failPause = true;
    EXPECT_EQ(control->Run(), E_FAIL);
    EXPECT_EQ(log.take(),
              (std::vector<std::string>{"sink.Pause", "mid.Pause", "sink.Stop", "mid.Stop", "src.Stop"}));
    EXPECT_EQ(control->GetState(0, &state), S_OK);
    EXPECT_EQ(state, State_Stopped);
    mid.failPause = false;

    // Removing a filter from a running graph stops it first.
    ASSERT_TRUE(SUCCEEDED(control->Run()));
    log.take();
    ASSERT_EQ(graph->RemoveFilter(base(sink)), S_OK);
    EXPECT_EQ(log.take(), (std::vector<std::string>{"sink.Stop", "mid.Disconnect", "sink.Disconnect"}));
    control->Stop();
}

TEST_F(Graph, StreamingEndsWithCompletionEvent) {
    TestFilter& src = make("src", 0, 1);
    TestFilter& sink = make("sink", 1, 0);
    src.samplesToSend = 20;
    ASSERT_EQ(graph->AddFilter(base(src), L"Src"), S_OK);
    ASSERT_EQ(graph->AddFilter(base(sink), L"Sink"), S_OK);
    ASSERT_EQ(graph->ConnectDirect(src.out(), sink.in(), nullptr), S_OK);

    LONG code = -1;
    EXPECT_EQ(events->WaitForCompletion(0, &code), VFW_E_WRONG_STATE);
    LONG_PTR p1 = 0, p2 = 0;
    EXPECT_EQ(events->GetEvent(&code, &p1, &p2, 0), E_ABORT);

    ASSERT_TRUE(SUCCEEDED(control->Run()));
    ASSERT_EQ(events->WaitForCompletion(10000, &code), S_OK);
    EXPECT_EQ(code, EC_COMPLETE);
    EXPECT_EQ(sink.received.load(), 20);
    EXPECT_FALSE(sink.outOfOrder.load());
    ASSERT_EQ(events->GetEvent(&code, &p1, &p2, 1000), S_OK);
    EXPECT_EQ(code, EC_COMPLETE);
    EXPECT_EQ(p1, S_OK);
    EXPECT_EQ(p2, 0);
    EXPECT_EQ(events->FreeEventParams(code, p1, p2), S_OK);
    EXPECT_EQ(events->GetEvent(&code, &p1, &p2, 10), E_ABORT);
    ASSERT_TRUE(SUCCEEDED(control->Stop()));
}

// Stop while the source's thread waits for a buffer the sink holds: the
// allocator's decommit lets it go.
TEST_F(Graph, StopReleasesABlockedSource) {
    TestFilter& src = make("src", 0, 1);
    TestFilter& sink = make("sink", 1, 0);
    src.samplesToSend = -1;
    sink.holdSamples = true;
    ASSERT_EQ(graph->AddFilter(base(src), L"Src"), S_OK);
    ASSERT_EQ(graph->AddFilter(base(sink), L"Sink"), S_OK);
    ASSERT_EQ(graph->ConnectDirect(src.out(), sink.in(), nullptr), S_OK);
    ASSERT_TRUE(SUCCEEDED(control->Run()));
    // Both buffers held by the sink: the source's thread waits in GetBuffer.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (sink.received.load() < 2 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_GE(sink.received.load(), 2) << "the source never delivered";
    ASSERT_TRUE(SUCCEEDED(control->Stop()));  // returns: the source's thread has ended
    EXPECT_GE(sink.received.load(), 2);
    EXPECT_EQ(src.state, State_Stopped);
}

TEST_F(Graph, EventsFromManyThreads) {
    ComPtr<IMediaEventSink> sink;
    ASSERT_EQ(graph.As(&sink), S_OK);
    constexpr int perThread = 200;
    std::vector<std::thread> posters;
    for (int t = 0; t < 4; ++t) {
        posters.emplace_back([&, t] {
            for (int i = 0; i < perThread; ++i)
                sink->Notify(EC_REPAINT, t, i);
        });
    }
    std::vector<int> next(4, 0);
    bool ordered = true;
    for (int n = 0; n < 4 * perThread; ++n) {
        LONG code = 0;
        LONG_PTR p1 = 0, p2 = 0;
        ASSERT_EQ(events->GetEvent(&code, &p1, &p2, 10000), S_OK);
        ASSERT_EQ(code, EC_REPAINT);
        if (p2 != next[static_cast<size_t>(p1)]++) ordered = false;
    }
    for (auto& t : posters)
        t.join();
    EXPECT_TRUE(ordered);  // each poster's events in its order
    LONG code = 0;
    LONG_PTR p1 = 0, p2 = 0;
    EXPECT_EQ(events->GetEvent(&code, &p1, &p2, 0), E_ABORT);
    EXPECT_EQ(events->GetEvent(nullptr, &p1, &p2, 0), E_POINTER);
}

}  // namespace
