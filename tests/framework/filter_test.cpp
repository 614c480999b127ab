// FilterCore: interfaces, reference counting, states, graph and clock, pin
// enumeration.
#include <cwchar>

#include "fakes.h"

namespace {

using FilterTest = FrameworkTest;

// Connects `out` to `in` through the framework (both filters stopped).
void connect(TestOutputPin* out, TestInputPin* in) {
    out->script.proposals.push_back(taggedFormat(1));
    ComPtr<FakeAllocator> alloc(new FakeAllocator);
    ASSERT_EQ(in->NotifyAllocator(alloc.Get(), FALSE), S_OK);
    ASSERT_EQ(out->Connect(in, nullptr), S_OK);
}

TEST_F(FilterTest, InterfaceListsPositiveAndNegative) {
    auto filter = makeFilter();
    IBaseFilter* base = filter.Get();
    for (const IID* iid :
         {&IID_IUnknown, &IID_IBaseFilter, &IID_IMediaFilter, &IID_IPersist, &IID_IAMovieSetup}) {
        ComPtr<IUnknown> got;
        EXPECT_EQ(base->QueryInterface(*iid, reinterpret_cast<void**>(got.GetAddressOf())), S_OK);
        EXPECT_NE(got, nullptr);
    }
    for (const IID* iid :
         {&IID_IPin, &IID_IMemInputPin, &IID_IEnumPins, &IID_IReferenceClock, &IID_IMediaSample}) {
        void* got = reinterpret_cast<void*>(0x1);
        EXPECT_EQ(base->QueryInterface(*iid, &got), E_NOINTERFACE);
        EXPECT_EQ(got, nullptr);
    }
    EXPECT_EQ(base->QueryInterface(IID_IBaseFilter, nullptr), E_POINTER);
    // One IUnknown identity whatever interface is asked.
    ComPtr<IUnknown> a, b;
    ComPtr<IAMovieSetup> setup;
    ASSERT_EQ(ComPtr<IBaseFilter>(base).As(&a), S_OK);
    ASSERT_EQ(ComPtr<IBaseFilter>(base).As(&setup), S_OK);
    ASSERT_EQ(setup.As(&b), S_OK);
    EXPECT_EQ(a.Get(), b.Get());
    EXPECT_EQ(refsOf(base), 4u);  // filter, a, b, setup
}

TEST_F(FilterTest, PinsCountOnTheirFilter) {
    auto filter = makeFilter();
    TestInputPin* in = filter->addInput(L"In");
    EXPECT_EQ(refsOf(filter.Get()), 1u);
    {
        ComPtr<IPin> pin(in);
        EXPECT_EQ(refsOf(filter.Get()), 2u);
        ComPtr<IMemInputPin> mem;
        ASSERT_EQ(pin.As(&mem), S_OK);
        EXPECT_EQ(refsOf(filter.Get()), 3u);
    }
    EXPECT_EQ(refsOf(filter.Get()), 1u);
    // Pin interface lists.
    for (const IID* iid : {&IID_IUnknown, &IID_IPin, &IID_IQualityControl, &IID_IMemInputPin}) {
        ComPtr<IUnknown> got;
        EXPECT_EQ(in->QueryInterface(*iid, reinterpret_cast<void**>(got.GetAddressOf())), S_OK);
    }
    TestOutputPin* out = filter->addOutput(L"Out");
    for (const IID* iid : {&IID_IMemInputPin, &IID_IBaseFilter, &IID_IEnumPins}) {
        void* got = reinterpret_cast<void*>(0x1);
        EXPECT_EQ(out->QueryInterface(*iid, &got), E_NOINTERFACE);
        EXPECT_EQ(got, nullptr);
    }
    EXPECT_EQ(out->QueryInterface(IID_IPin, nullptr), E_POINTER);
}

// A component whose destructor takes and drops references to itself.
class SelfReferencingComponent : public ComponentCore {
public:
    explicit SelfReferencingComponent(int* destroyed) : destroyed(destroyed) {}
    ~SelfReferencingComponent() override {
        ++*destroyed;
        ComPtr<IUnknown> again(innerUnknown());  // 1 -> 2 -> 1: must not destroy twice
    }
    int* destroyed;
};

TEST_F(FilterTest, ReleaseToZeroDestroysOnceAndAddRefIsAtLeastOne) {
    int destroyed = 0;
    auto* c = new SelfReferencingComponent(&destroyed);
    IUnknown* unk = c->innerUnknown();
    EXPECT_EQ(unk->AddRef(), 1u);
    EXPECT_EQ(unk->AddRef(), 2u);
    EXPECT_EQ(unk->Release(), 1u);
    EXPECT_EQ(unk->Release(), 0u);
    EXPECT_EQ(destroyed, 1);
}

TEST_F(FilterTest, AggregatedFilterDelegatesToItsOuterUnknown) {
    ComPtr<FakeUnknown> outer(new FakeUnknown);
    CriticalSection lock;
    class Inner : public FilterCore {
    public:
        Inner(IUnknown* outer, CriticalSection* lock) : FilterCore(CLSID_FrameworkTestFilter, lock, outer) {}
        int pinCount() override { return 0; }
        PinCore* pinAt(int) override { return nullptr; }
    };
    auto* inner = new Inner(outer->innerUnknown(), &lock);
    ComPtr<IUnknown> innerUnk(inner->innerUnknown());  // what the aggregating object keeps
    EXPECT_EQ(outer->refs(), 1);
    {
        ComPtr<IBaseFilter> base;
        ASSERT_EQ(innerUnk.As(&base), S_OK);
        EXPECT_EQ(outer->refs(), 2);  // the interface's reference counts on the outer object
        ComPtr<IUnknown> viaBase;
        // QueryInterface on the inner object's interfaces goes to the outer one,
        // which offers only IUnknown here.
        ComPtr<IPersist> persist;
        EXPECT_EQ(base.As(&persist), E_NOINTERFACE);
        ASSERT_EQ(base.As(&viaBase), S_OK);
        EXPECT_EQ(viaBase.Get(), outer->innerUnknown());
    }
    EXPECT_EQ(outer->refs(), 1);
}

TEST_F(FilterTest, NullArgumentsAndSimpleQueries) {
    auto filter = makeFilter();
    EXPECT_EQ(filter->GetClassID(nullptr), E_POINTER);
    CLSID id{};
    EXPECT_EQ(filter->GetClassID(&id), S_OK);
    EXPECT_EQ(id, CLSID_FrameworkTestFilter);
    EXPECT_EQ(filter->GetState(0, nullptr), E_POINTER);
    EXPECT_EQ(filter->GetSyncSource(nullptr), E_POINTER);
    EXPECT_EQ(filter->EnumPins(nullptr), E_POINTER);
    EXPECT_EQ(filter->QueryFilterInfo(nullptr), E_POINTER);
    EXPECT_EQ(filter->QueryVendorInfo(nullptr), E_NOTIMPL);
    IPin* pin = reinterpret_cast<IPin*>(0x1);
    EXPECT_EQ(filter->FindPin(L"x", nullptr), E_POINTER);
    EXPECT_EQ(filter->FindPin(nullptr, &pin), E_POINTER);
    EXPECT_EQ(pin, nullptr);
    EXPECT_EQ(filter->Register(), S_FALSE);  // no registration record
    EXPECT_EQ(filter->Unregister(), S_FALSE);
}

TEST_F(FilterTest, FindPinMatchesNamesExactly) {
    auto filter = makeFilter();
    filter->addInput(L"Input1");
    TestOutputPin* out = filter->addOutput(L"Output1");
    ComPtr<IPin> found;
    EXPECT_EQ(filter->FindPin(L"Output1", found.GetAddressOf()), S_OK);
    EXPECT_EQ(found.Get(), static_cast<IPin*>(out));
    IPin* none = reinterpret_cast<IPin*>(0x1);
    EXPECT_EQ(filter->FindPin(L"output1", &none), VFW_E_NOT_FOUND);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(filter->FindPin(L"Output", &none), VFW_E_NOT_FOUND);
}

TEST_F(FilterTest, JoinFilterGraphKeepsWeakGraphAndTruncatedName) {
    auto filter = makeFilter();
    ComPtr<FakeGraph> graph(new FakeGraph);
    ULONG graphRefs = refsOf(static_cast<IFilterGraph2*>(graph.Get()));
    std::wstring longName(200, L'n');
    ASSERT_EQ(filter->JoinFilterGraph(graph.Get(), longName.c_str()), S_OK);
    EXPECT_EQ(refsOf(static_cast<IFilterGraph2*>(graph.Get())), graphRefs);  // not counted

    FILTER_INFO info;
    std::wmemset(info.achName, L'?', MAX_FILTER_NAME);
    ASSERT_EQ(filter->QueryFilterInfo(&info), S_OK);
    EXPECT_EQ(std::wcslen(info.achName), static_cast<size_t>(MAX_FILTER_NAME - 1));
    ComPtr<IFilterGraph> infoGraph;
    infoGraph.Attach(info.pGraph);
    EXPECT_EQ(infoGraph.Get(), static_cast<IFilterGraph*>(graph.Get()));

    // EC_COMPLETE carries the filter itself as its second parameter.
    EXPECT_EQ(filter->postGraphEvent(EC_COMPLETE, 5, 99), S_OK);
    ASSERT_EQ(graph->events.size(), 1u);
    EXPECT_EQ(graph->events[0].p2, reinterpret_cast<LONG_PTR>(static_cast<IBaseFilter*>(filter.Get())));
    EXPECT_EQ(filter->postGraphEvent(EC_ERRORABORT, 1, 2), S_OK);
    EXPECT_EQ(graph->events[1].p2, 2);

    TestOutputPin* out = filter->addOutput(L"Out");
    EXPECT_EQ(filter->reconnectPin(out, nullptr), S_OK);
    graph->offerGraph2 = false;
    EXPECT_EQ(filter->reconnectPin(out, nullptr), S_OK);
    ASSERT_EQ(graph->reconnects.size(), 2u);
    EXPECT_TRUE(graph->reconnects[0].ex);
    EXPECT_FALSE(graph->reconnects[1].ex);

    ASSERT_EQ(filter->JoinFilterGraph(nullptr, nullptr), S_OK);
    ASSERT_EQ(filter->QueryFilterInfo(&info), S_OK);
    EXPECT_EQ(info.achName[0], L'\0');
    EXPECT_EQ(info.pGraph, nullptr);
    EXPECT_EQ(filter->postGraphEvent(EC_COMPLETE, 0, 0), E_NOTIMPL);
    EXPECT_EQ(filter->reconnectPin(out, nullptr), E_NOINTERFACE);
}

TEST_F(FilterTest, ClockAndStreamTime) {
    auto filter = makeFilter();
    REFERENCE_TIME t = -1;
    EXPECT_EQ(filter->currentStreamTime(&t), VFW_E_NO_CLOCK);
    ComPtr<FakeClock> clock(new FakeClock);
    clock->now = 5000;
    ASSERT_EQ(filter->SetSyncSource(clock.Get()), S_OK);
    ComPtr<IReferenceClock> got;
    ASSERT_EQ(filter->GetSyncSource(got.GetAddressOf()), S_OK);
    EXPECT_EQ(got.Get(), static_cast<IReferenceClock*>(clock.Get()));
    ASSERT_EQ(filter->Run(1000), S_OK);
    ASSERT_EQ(filter->currentStreamTime(&t), S_OK);
    EXPECT_EQ(t, 4000);
    ASSERT_EQ(filter->Stop(), S_OK);
    ASSERT_EQ(filter->SetSyncSource(nullptr), S_OK);
    IReferenceClock* none = reinterpret_cast<IReferenceClock*>(0x1);
    ASSERT_EQ(filter->GetSyncSource(&none), S_OK);
    EXPECT_EQ(none, nullptr);
}

// Two filters, upstream output connected to downstream input, and a second
// unconnected pin on each to show that only connected pins get hooks.
struct ConnectedPair {
    ComPtr<TestFilter> up = makeFilter();
    ComPtr<TestFilter> down = makeFilter();
    TestOutputPin* out = up->addOutput(L"Out");
    TestInputPin* spare = up->addInput(L"Spare");
    TestInputPin* in = down->addInput(L"In");
    std::vector<std::string> order;
    ConnectedPair() {
        connect(out, in);
        out->script.order = &order;
        spare->script.order = &order;
    }
    ~ConnectedPair() {
        up->Stop();
        down->Stop();
        out->Disconnect();
        in->Disconnect();
    }
};

TEST_F(FilterTest, FullStateCycleRunsTheRightHooks) {
    ConnectedPair p;
    FILTER_STATE s;
    auto* alloc = static_cast<FakeAllocator*>(p.out->currentAllocator());
    ASSERT_NE(alloc, nullptr);

    ASSERT_EQ(p.up->GetState(0, &s), S_OK);
    EXPECT_EQ(s, State_Stopped);
    ASSERT_EQ(p.up->Pause(), S_OK);
    EXPECT_EQ(alloc->commits, 1);  // output pins commit their allocator
    ASSERT_EQ(p.up->Run(10), S_OK);
    ASSERT_EQ(p.up->Run(20), S_OK);  // same state: no hook, start time stored
    EXPECT_EQ(p.up->streamStartTime(), 20);
    ASSERT_EQ(p.up->Pause(), S_OK);  // running -> paused: no hook
    ASSERT_EQ(p.up->GetState(0, &s), S_OK);
    EXPECT_EQ(s, State_Paused);
    ASSERT_EQ(p.up->Stop(), S_OK);
    ASSERT_EQ(p.up->Stop(), S_OK);  // again: no hook
    EXPECT_EQ(alloc->decommits, 1);
    EXPECT_EQ(p.order, (std::vector<std::string>{"activate:Out", "run:Out", "deactivate:Out"}));
}

TEST_F(FilterTest, RunFromStoppedPausesThroughTheDerivedFilterOnce) {
    ConnectedPair p;
    ASSERT_EQ(p.up->Run(0), S_OK);
    EXPECT_EQ(p.up->pauseCalls, 1);
    EXPECT_EQ(p.order, (std::vector<std::string>{"activate:Out", "run:Out"}));
    EXPECT_EQ(p.up->currentState(), State_Running);
}

TEST_F(FilterTest, FailedPauseStaysStoppedAndUndoesActivatedPins) {
    ConnectedPair p;
    // A second connected output pin that fails to activate.
    ComPtr<TestFilter> sink = makeFilter();
    TestInputPin* in2 = sink->addInput(L"In2");
    TestOutputPin* out2 = p.up->addOutput(L"Out2");
    connect(out2, in2);
    out2->script.order = &p.order;
    out2->script.activateResult = E_OUTOFMEMORY;

    EXPECT_EQ(p.up->Pause(), E_OUTOFMEMORY);
    EXPECT_EQ(p.up->currentState(), State_Stopped);
    EXPECT_EQ(p.order, (std::vector<std::string>{"activate:Out", "activate:Out2", "deactivate:Out"}));
    // Run reports the failed pause and stays stopped.
    p.order.clear();
    EXPECT_EQ(p.up->Run(0), E_OUTOFMEMORY);
    EXPECT_EQ(p.up->currentState(), State_Stopped);
    out2->Disconnect();
    in2->Disconnect();
}

TEST_F(FilterTest, FailedRunStaysPausedAndStopGoesOnAfterFailures) {
    ConnectedPair p;
    ComPtr<TestFilter> sink = makeFilter();
    TestInputPin* in2 = sink->addInput(L"In2");
    TestOutputPin* out2 = p.up->addOutput(L"Out2");
    connect(out2, in2);
    out2->script.order = &p.order;
    p.out->script.runResult = E_FAIL;
    EXPECT_EQ(p.up->Run(0), E_FAIL);
    EXPECT_EQ(p.up->currentState(), State_Paused);
    EXPECT_EQ(out2->script.runs, 0);  // the first failure ends the run step

    p.out->script.deactivateResult = E_UNEXPECTED;
    out2->script.deactivateResult = E_FAIL;
    p.order.clear();
    EXPECT_EQ(p.up->Stop(), E_UNEXPECTED);  // the first failure
    EXPECT_EQ(p.up->currentState(), State_Stopped);
    EXPECT_EQ(p.order, (std::vector<std::string>{"deactivate:Out", "deactivate:Out2"}));
    out2->Disconnect();
    in2->Disconnect();
}

// ---- pin enumeration ------------------------------------------------------------------

TEST_F(FilterTest, NextFiveOnThreePinsThenResetGivesTheSameThree) {
    auto filter = makeFilter();
    PinCore* pins[3] = {filter->addInput(L"A"), filter->addInput(L"B"), filter->addOutput(L"C")};
    ComPtr<IEnumPins> e;
    ASSERT_EQ(filter->EnumPins(e.GetAddressOf()), S_OK);
    for (int round = 0; round < 2; ++round) {
        IPin* got[5] = {};
        ULONG fetched = 99;
        EXPECT_EQ(e->Next(5, got, &fetched), S_FALSE);
        ASSERT_EQ(fetched, 3u);
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(got[i], static_cast<IPin*>(pins[i]));
            ComPtr<IPin>().Attach(got[i]);
        }
        EXPECT_EQ(got[3], nullptr);
        EXPECT_EQ(e->Next(1, got, nullptr), S_FALSE);
        EXPECT_EQ(e->Reset(), S_OK);
    }
}

TEST_F(FilterTest, PinEnumeratorArgumentsSkipAndClone) {
    auto filter = makeFilter();
    filter->addInput(L"A");
    filter->addInput(L"B");
    TestOutputPin* c = filter->addOutput(L"C");
    ComPtr<IEnumPins> e;
    ASSERT_EQ(filter->EnumPins(e.GetAddressOf()), S_OK);
    IPin* got[2] = {};
    EXPECT_EQ(e->Next(1, nullptr, nullptr), E_POINTER);
    EXPECT_EQ(e->Next(2, got, nullptr), E_INVALIDARG);
    EXPECT_EQ(e->Skip(4), S_FALSE);
    EXPECT_EQ(e->Skip(2), S_OK);
    ComPtr<IEnumPins> clone;
    EXPECT_EQ(e->Clone(nullptr), E_POINTER);
    ASSERT_EQ(e->Clone(clone.GetAddressOf()), S_OK);
    ASSERT_EQ(clone->Next(1, got, nullptr), S_OK);
    EXPECT_EQ(got[0], static_cast<IPin*>(c));
    ComPtr<IPin>().Attach(got[0]);
    for (const IID* iid : {&IID_IUnknown, &IID_IEnumPins}) {
        ComPtr<IUnknown> itf;
        EXPECT_EQ(e->QueryInterface(*iid, reinterpret_cast<void**>(itf.GetAddressOf())), S_OK);
    }
    void* none = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(e->QueryInterface(IID_IEnumMediaTypes, &none), E_NOINTERFACE);
    EXPECT_EQ(none, nullptr);
    // The enumerator keeps the filter alive.
    EXPECT_EQ(refsOf(filter.Get()), 3u);
}

TEST_F(FilterTest, ChangedPinSetRefreshesWithoutRepeatingPins) {
    auto filter = makeFilter();
    filter->addInput(L"A");
    filter->addInput(L"B");
    ComPtr<IEnumPins> e;
    ASSERT_EQ(filter->EnumPins(e.GetAddressOf()), S_OK);
    IPin* got[4] = {};
    ULONG fetched = 0;
    ASSERT_EQ(e->Next(2, got, &fetched), S_OK);
    ComPtr<IPin>().Attach(got[0]);
    ComPtr<IPin>().Attach(got[1]);

    TestOutputPin* c = filter->addOutput(L"C");  // bumps the pin version
    EXPECT_EQ(e->Skip(1), VFW_E_ENUM_OUT_OF_SYNC);
    ComPtr<IEnumPins> clone;
    EXPECT_EQ(e->Clone(clone.GetAddressOf()), VFW_E_ENUM_OUT_OF_SYNC);
    EXPECT_EQ(clone, nullptr);
    ASSERT_EQ(e->Next(4, got, &fetched), S_FALSE);
    ASSERT_EQ(fetched, 1u);  // only the new pin
    EXPECT_EQ(got[0], static_cast<IPin*>(c));
    ComPtr<IPin>().Attach(got[0]);
    ASSERT_EQ(e->Reset(), S_OK);
    ASSERT_EQ(e->Next(4, got, &fetched), S_FALSE);
    EXPECT_EQ(fetched, 3u);
    for (ULONG i = 0; i < fetched; ++i)
        ComPtr<IPin>().Attach(got[i]);
}

TEST_F(FilterTest, MissingPinIsOutOfSyncAndHandsBackNoReferences) {
    auto filter = makeFilter();
    filter->addInput(L"A");
    filter->reportedCount = 3;  // claims pins that pinAt cannot give
    ComPtr<IEnumPins> e;
    ASSERT_EQ(filter->EnumPins(e.GetAddressOf()), S_OK);
    IPin* got[3] = {};
    ULONG fetched = 7;
    EXPECT_EQ(e->Next(3, got, &fetched), VFW_E_ENUM_OUT_OF_SYNC);
    EXPECT_EQ(fetched, 0u);
    EXPECT_EQ(got[0], nullptr);
    EXPECT_EQ(refsOf(filter.Get()), 2u);  // the filter and the enumerator only
}

}  // namespace
