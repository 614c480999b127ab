// PinCore, InputPinCore, OutputPinCore: connection and format agreement,
// allocator choice, receiving, stream control, format enumeration.
#include <cstring>
#include <cwchar>

#include "fakes.h"

namespace {

using PinTest = FrameworkTest;

// An upstream filter with one output pin and a downstream filter with one
// input pin, unconnected. The input pin already has a fake allocator, so the
// output pin's allocator choice takes it.
struct Link {
    ComPtr<TestFilter> up = makeFilter();
    ComPtr<TestFilter> down = makeFilter();
    TestOutputPin* out = up->addOutput(L"Out");
    TestInputPin* in = down->addInput(L"In");
    ComPtr<FakeAllocator> inputAllocator{new FakeAllocator};
    Link() {
        in->NotifyAllocator(inputAllocator.Get(), TRUE);
        in->notified.clear();
    }
    ~Link() {
        up->Stop();
        down->Stop();
        out->Disconnect();
        in->Disconnect();
    }
    bool neitherConnected() { return !out->isConnected() && !in->isConnected(); }
    // acceptFormat answers on the output pin by type tag.
    void outputAnswers(std::vector<std::pair<uint32_t, HRESULT>> answers) {
        out->script.accept = [answers](const AM_MEDIA_TYPE& t) {
            for (const auto& a : answers)
                if (a.first == tagOf(t)) return a.second;
            return S_OK;
        };
    }
};

TEST_F(PinTest, ConnectAgreesOnTheFirstAcceptableTypeOfTheReceiversList) {
    Link l;
    l.in->script.proposals = {taggedFormat(1), taggedFormat(2)};
    l.out->script.proposals = {taggedFormat(3)};
    l.outputAnswers({{1, VFW_E_TYPE_NOT_ACCEPTED}});
    ASSERT_EQ(l.out->Connect(l.in, nullptr), S_OK);
    EXPECT_EQ(tagOf(l.out->connectionMediaFormat().get()), 2u);
    EXPECT_EQ(tagOf(l.in->connectionMediaFormat().get()), 2u);
    ComPtr<IPin> peer;
    ASSERT_EQ(l.out->ConnectedTo(peer.GetAddressOf()), S_OK);
    EXPECT_EQ(peer.Get(), static_cast<IPin*>(l.in));
    ASSERT_EQ(l.in->ConnectedTo(peer.ReleaseAndGetAddressOf()), S_OK);
    EXPECT_EQ(peer.Get(), static_cast<IPin*>(l.out));
    AM_MEDIA_TYPE mt;
    ASSERT_EQ(l.in->ConnectionMediaType(&mt), S_OK);
    EXPECT_EQ(tagOf(mt), 2u);
    freeMediaType(mt);
    EXPECT_EQ(l.out->Connect(l.in, nullptr), VFW_E_ALREADY_CONNECTED);
    EXPECT_EQ(l.in->ReceiveConnection(l.out, &l.out->connectionMediaFormat().get()), VFW_E_ALREADY_CONNECTED);
}

TEST_F(PinTest, TryMyTypesFirstReversesTheLists) {
    Link l;
    l.in->script.proposals = {taggedFormat(1)};
    l.out->script.proposals = {taggedFormat(3)};
    l.out->setTryMyTypesFirst(true);
    ASSERT_EQ(l.out->Connect(l.in, nullptr), S_OK);
    EXPECT_EQ(tagOf(l.out->connectionMediaFormat().get()), 3u);
}

TEST_F(PinTest, FullySpecifiedFormatIsTriedAloneAndPartialOnesFilterTheLists) {
    Link l;
    l.in->script.proposals = {taggedFormat(1), taggedFormat(2)};
    MediaFormat exact = taggedFormat(9);
    ASSERT_EQ(l.out->Connect(l.in, &exact.get()), S_OK);
    EXPECT_EQ(tagOf(l.out->connectionMediaFormat().get()), 9u);
    EXPECT_EQ(l.in->script.proposeCalls, 0);  // no list was consulted
    ASSERT_EQ(l.out->Disconnect(), S_OK);
    ASSERT_EQ(l.in->Disconnect(), S_OK);

    MediaFormat partial;  // only the subtype of type 2
    partial.setSubtype(taggedFormat(2).subtype());
    ASSERT_EQ(l.out->Connect(l.in, &partial.get()), S_OK);
    EXPECT_EQ(tagOf(l.in->connectionMediaFormat().get()), 2u);
}

TEST_F(PinTest, OnlyIgnorableRefusalsGiveNoAcceptableTypes) {
    Link l;
    l.in->script.proposals = {taggedFormat(1), taggedFormat(2), taggedFormat(3)};
    l.out->script.proposals = {taggedFormat(4)};
    // S_FALSE, E_FAIL and E_INVALIDARG all count as "type not accepted".
    l.outputAnswers({{1, S_FALSE}, {2, E_FAIL}, {3, E_INVALIDARG}, {4, VFW_E_TYPE_NOT_ACCEPTED}});
    EXPECT_EQ(l.out->Connect(l.in, nullptr), VFW_E_NO_ACCEPTABLE_TYPES);
    EXPECT_TRUE(l.neitherConnected());
    EXPECT_EQ(l.out->connectionMediaFormat().formatLength(), 0u);
}

TEST_F(PinTest, AnotherErrorInTheSecondListIsReturned) {
    Link l;
    l.in->script.proposals = {taggedFormat(1)};
    l.out->script.proposals = {taggedFormat(4), taggedFormat(5), taggedFormat(6)};
    l.outputAnswers(
        {{1, VFW_E_TYPE_NOT_ACCEPTED}, {4, E_FAIL}, {5, VFW_E_INVALIDMEDIATYPE}, {6, E_OUTOFMEMORY}});
    EXPECT_EQ(l.out->Connect(l.in, nullptr), VFW_E_INVALIDMEDIATYPE);  // the first other error
    EXPECT_TRUE(l.neitherConnected());
}

TEST_F(PinTest, AnotherErrorOnlyInTheFirstListIsReplacedByTheSecondListsReport) {
    Link l;
    l.in->script.proposals = {taggedFormat(1)};
    l.out->script.proposals = {taggedFormat(4)};
    l.outputAnswers({{1, VFW_E_INVALIDMEDIATYPE}, {4, VFW_E_TYPE_NOT_ACCEPTED}});
    EXPECT_EQ(l.out->Connect(l.in, nullptr), VFW_E_NO_ACCEPTABLE_TYPES);
    // An empty second list reports the same.
    l.out->script.proposals.clear();
    EXPECT_EQ(l.out->Connect(l.in, nullptr), VFW_E_NO_ACCEPTABLE_TYPES);
    // Both lists empty.
    l.in->script.proposals.clear();
    EXPECT_EQ(l.out->Connect(l.in, nullptr), VFW_E_NO_ACCEPTABLE_TYPES);
    EXPECT_TRUE(l.neitherConnected());
}

TEST_F(PinTest, SameDirectionFailsAndLeavesBothUnconnected) {
    auto a = makeFilter();
    auto b = makeFilter();
    TestOutputPin* o1 = a->addOutput(L"O1");
    TestOutputPin* o2 = b->addOutput(L"O2");
    o1->script.proposals = {taggedFormat(1)};
    o2->script.proposals = {taggedFormat(2)};
    EXPECT_EQ(o1->Connect(o2, nullptr), VFW_E_INVALID_DIRECTION);
    EXPECT_FALSE(o1->isConnected());
    EXPECT_FALSE(o2->isConnected());
    EXPECT_GE(o1->script.disconnects, 1);  // onDisconnected ran
    MediaFormat exact = taggedFormat(3);
    EXPECT_EQ(a->addInput(L"I")->ReceiveConnection(b->addInput(L"J"), &exact.get()), VFW_E_INVALID_DIRECTION);
}

TEST_F(PinTest, ConnectionNeedsAStoppedFilter) {
    Link l;
    l.in->script.proposals = {taggedFormat(1)};
    ASSERT_EQ(l.up->Pause(), S_OK);
    EXPECT_EQ(l.out->Connect(l.in, nullptr), VFW_E_NOT_STOPPED);
    ASSERT_EQ(l.up->Stop(), S_OK);
    ASSERT_EQ(l.down->Pause(), S_OK);
    l.out->script.proposals = {taggedFormat(2)};
    MediaFormat f = taggedFormat(1);
    EXPECT_EQ(l.in->ReceiveConnection(l.out, &f.get()), VFW_E_NOT_STOPPED);
    // The receiver refuses from its paused filter: the connection fails cleanly.
    EXPECT_EQ(l.out->Connect(l.in, nullptr), VFW_E_NOT_STOPPED);
    EXPECT_TRUE(l.neitherConnected());
    ASSERT_EQ(l.down->Stop(), S_OK);
    ASSERT_EQ(l.out->Connect(l.in, nullptr), S_OK);
    ASSERT_EQ(l.up->Pause(), S_OK);
    EXPECT_EQ(l.out->Disconnect(), VFW_E_NOT_STOPPED);
    EXPECT_TRUE(l.out->isConnected());
}

TEST_F(PinTest, NullArgumentsAndDisconnectOfAnUnconnectedPin) {
    Link l;
    MediaFormat f = taggedFormat(1);
    EXPECT_EQ(l.out->Connect(nullptr, nullptr), E_POINTER);
    EXPECT_EQ(l.in->ReceiveConnection(nullptr, &f.get()), E_POINTER);
    EXPECT_EQ(l.in->ReceiveConnection(l.out, nullptr), E_POINTER);
    EXPECT_EQ(l.out->Disconnect(), S_FALSE);
    IPin* peer = reinterpret_cast<IPin*>(0x1);
    EXPECT_EQ(l.out->ConnectedTo(&peer), VFW_E_NOT_CONNECTED);
    EXPECT_EQ(peer, nullptr);
    EXPECT_EQ(l.out->ConnectedTo(nullptr), E_POINTER);
    AM_MEDIA_TYPE mt;
    std::memset(&mt, 0xAB, sizeof(mt));
    EXPECT_EQ(l.out->ConnectionMediaType(&mt), VFW_E_NOT_CONNECTED);
    EXPECT_EQ(mt.majortype, GUID_NULL);
    EXPECT_EQ(mt.pbFormat, nullptr);
    EXPECT_EQ(mt.lSampleSize, 1u);
    EXPECT_EQ(l.out->ConnectionMediaType(nullptr), E_POINTER);
    EXPECT_EQ(l.out->QueryPinInfo(nullptr), E_POINTER);
    EXPECT_EQ(l.out->QueryDirection(nullptr), E_POINTER);
    EXPECT_EQ(l.out->QueryId(nullptr), E_POINTER);
    EXPECT_EQ(l.out->QueryAccept(nullptr), E_POINTER);
    EXPECT_EQ(l.out->EnumMediaTypes(nullptr), E_POINTER);
    EXPECT_EQ(l.out->QueryInternalConnections(nullptr, nullptr), E_NOTIMPL);
}

TEST_F(PinTest, ReceiverFailureCleansUpBothPins) {
    Link l;
    l.in->script.proposals = {taggedFormat(1)};
    l.out->script.proposals = {taggedFormat(2)};
    l.in->script.connectedResult = E_OUTOFMEMORY;  // the receiver's completion fails
    EXPECT_EQ(l.out->Connect(l.in, nullptr), E_OUTOFMEMORY);
    EXPECT_TRUE(l.neitherConnected());
    EXPECT_GE(l.in->script.disconnects, 1);
    EXPECT_GE(l.out->script.disconnects, 1);
    EXPECT_EQ(l.in->connectionMediaFormat().formatLength(), 0u);
    EXPECT_EQ(l.out->connectionMediaFormat().formatLength(), 0u);
    EXPECT_EQ(refsOf(l.down.Get()), 1u);  // no reference on the receiver left behind
}

TEST_F(PinTest, ConnectorCompletionFailureDisconnectsTheReceiver) {
    Link l;
    l.in->script.proposals = {taggedFormat(1)};
    l.out->script.proposals = {taggedFormat(2)};
    l.out->script.connectedResult = VFW_E_INVALIDMEDIATYPE;
    EXPECT_EQ(l.out->Connect(l.in, nullptr), VFW_E_INVALIDMEDIATYPE);
    EXPECT_TRUE(l.neitherConnected());
    EXPECT_EQ(l.in->script.connects, 2);  // one attempt from each list
    EXPECT_EQ(l.in->script.disconnects, 2);
    EXPECT_EQ(refsOf(l.down.Get()), 1u);
    EXPECT_EQ(refsOf(l.up.Get()), 1u);
}

TEST_F(PinTest, QueryAcceptTurnsRefusalsIntoSFalse) {
    Link l;
    MediaFormat f = taggedFormat(1);
    l.outputAnswers({{1, VFW_E_TYPE_NOT_ACCEPTED}});
    EXPECT_EQ(l.out->QueryAccept(&f.get()), S_FALSE);
    l.outputAnswers({{1, E_INVALIDARG}});
    EXPECT_EQ(l.out->QueryAccept(&f.get()), S_FALSE);
    l.outputAnswers({});
    EXPECT_EQ(l.out->QueryAccept(&f.get()), S_OK);
}

TEST_F(PinTest, PinInfoIdAndDirection) {
    auto filter = makeFilter();
    std::wstring longName(150, L'p');
    TestInputPin* in = filter->addInput(longName.c_str());
    PIN_INFO info;
    ASSERT_EQ(in->QueryPinInfo(&info), S_OK);
    ComPtr<IBaseFilter> owner;
    owner.Attach(info.pFilter);
    EXPECT_EQ(owner.Get(), static_cast<IBaseFilter*>(filter.Get()));
    EXPECT_EQ(info.dir, PINDIR_INPUT);
    EXPECT_EQ(std::wcslen(info.achName), static_cast<size_t>(MAX_PIN_NAME - 1));
    LPWSTR id = nullptr;
    ASSERT_EQ(in->QueryId(&id), S_OK);
    EXPECT_EQ(std::wstring(id), longName);
    CoTaskMemFree(id);
    PIN_DIRECTION dir;
    ASSERT_EQ(filter->addOutput(L"O")->QueryDirection(&dir), S_OK);
    EXPECT_EQ(dir, PINDIR_OUTPUT);
}

// ---- allocator choice ------------------------------------------------------------------

TEST_F(PinTest, ThePeersAllocatorIsUsedWhenItsSetUpSucceeds) {
    Link l;
    l.in->script.proposals = {taggedFormat(1)};
    l.in->haveRequirements = true;
    l.in->requirements = ALLOCATOR_PROPERTIES{3, 4096, 0, 0};
    ASSERT_EQ(l.out->Connect(l.in, nullptr), S_OK);
    EXPECT_EQ(l.out->currentAllocator(), static_cast<IMemAllocator*>(l.inputAllocator.Get()));
    ASSERT_EQ(l.in->notified.size(), 1u);
    EXPECT_EQ(l.in->notified[0].allocator, static_cast<IMemAllocator*>(l.inputAllocator.Get()));
    EXPECT_EQ(l.in->notified[0].readOnly, FALSE);
    EXPECT_EQ(l.out->lastRequirements.cBuffers, 3);
    EXPECT_EQ(l.out->lastRequirements.cbBuffer, 4096);
    EXPECT_EQ(l.out->lastRequirements.cbAlign, 1);  // 0 becomes 1
    EXPECT_EQ(l.out->defaultAllocatorCalls, 0);
}

TEST_F(PinTest, TheDefaultAllocatorIsUsedWhenThePeerHasNone) {
    Link l;
    l.in->script.proposals = {taggedFormat(1)};
    l.in->getAllocatorResult = VFW_E_NO_ALLOCATOR;
    l.out->defaultAllocator = ComPtr<FakeAllocator>(new FakeAllocator);
    ASSERT_EQ(l.out->Connect(l.in, nullptr), S_OK);
    EXPECT_EQ(l.out->currentAllocator(), static_cast<IMemAllocator*>(l.out->defaultAllocator.Get()));
    ASSERT_EQ(l.in->notified.size(), 1u);
    EXPECT_EQ(l.in->notified[0].allocator, static_cast<IMemAllocator*>(l.out->defaultAllocator.Get()));
    EXPECT_EQ(l.out->lastRequirements.cbAlign, 1);
}

TEST_F(PinTest, AFailedSizingOfThePeersAllocatorFallsBackAndASecondFailureFailsTheConnection) {
    Link l;
    l.in->script.proposals = {taggedFormat(1)};
    l.out->defaultAllocator = ComPtr<FakeAllocator>(new FakeAllocator);
    l.out->sizeResults = {E_FAIL};
    ASSERT_EQ(l.out->Connect(l.in, nullptr), S_OK);
    ASSERT_EQ(l.out->sizedAllocators.size(), 2u);
    EXPECT_EQ(l.out->currentAllocator(), static_cast<IMemAllocator*>(l.out->defaultAllocator.Get()));
    ASSERT_EQ(l.out->Disconnect(), S_OK);
    ASSERT_EQ(l.in->Disconnect(), S_OK);

    l.in->NotifyAllocator(l.inputAllocator.Get(), FALSE);
    l.out->script.proposals = {taggedFormat(2)};
    l.out->sizeResults = {E_FAIL, VFW_E_SIZENOTSET, E_FAIL, VFW_E_SIZENOTSET};
    EXPECT_EQ(l.out->Connect(l.in, nullptr), VFW_E_SIZENOTSET);
    EXPECT_TRUE(l.neitherConnected());
    EXPECT_EQ(l.out->currentAllocator(), nullptr);
}

TEST_F(PinTest, ActivationCommitsAndDisconnectionDecommits) {
    Link l;
    l.in->script.proposals = {taggedFormat(1)};
    ASSERT_EQ(l.out->Connect(l.in, nullptr), S_OK);
    ASSERT_EQ(l.up->Pause(), S_OK);
    EXPECT_EQ(l.inputAllocator->commits, 1);
    ASSERT_EQ(l.up->Stop(), S_OK);
    EXPECT_EQ(l.inputAllocator->decommits, 1);
    // A Decommit failure keeps the pin connected.
    l.inputAllocator->decommitResult = E_FAIL;
    EXPECT_EQ(l.out->Disconnect(), E_FAIL);
    EXPECT_TRUE(l.out->isConnected());
    l.inputAllocator->decommitResult = S_OK;
    EXPECT_EQ(l.out->Disconnect(), S_OK);
    EXPECT_EQ(l.out->currentAllocator(), nullptr);
    // Without an allocator an output pin cannot activate.
    EXPECT_EQ(l.out->onActivate(), VFW_E_NO_ALLOCATOR);
    EXPECT_EQ(l.out->onDeactivate(), VFW_E_NO_ALLOCATOR);
}

TEST_F(PinTest, InputAllocatorNotificationAndDefaultCreation) {
    auto filter = makeFilter();
    TestInputPin* in = filter->addInput(L"In");
    EXPECT_EQ(in->NotifyAllocator(nullptr, FALSE), E_POINTER);
    EXPECT_EQ(in->GetAllocator(nullptr), E_POINTER);
    EXPECT_EQ(in->GetAllocatorRequirements(nullptr), E_NOTIMPL);
    ComPtr<FakeAllocator> first(new FakeAllocator), second(new FakeAllocator);
    ASSERT_EQ(in->NotifyAllocator(first.Get(), FALSE), S_OK);
    ASSERT_EQ(in->NotifyAllocator(second.Get(), TRUE), S_OK);
    EXPECT_EQ(refsOf(static_cast<IMemAllocator*>(first.Get())), 1u);  // the old one was released
    ComPtr<IMemAllocator> got;
    ASSERT_EQ(in->GetAllocator(got.GetAddressOf()), S_OK);
    EXPECT_EQ(got.Get(), static_cast<IMemAllocator*>(second.Get()));
}

TEST_F(PinTest, InputPinMakesThePlatformAllocatorWhenAsked) {
    auto filter = makeFilter();
    TestInputPin* in = filter->addInput(L"In");
    ComPtr<IMemAllocator> a, b;
    ASSERT_EQ(in->GetAllocator(a.GetAddressOf()), S_OK) << "CLSID_MemoryAllocator must be available";
    ASSERT_NE(a, nullptr);
    ASSERT_EQ(in->GetAllocator(b.GetAddressOf()), S_OK);
    EXPECT_EQ(a.Get(), b.Get());  // made once, then kept
}

// ---- receiving ------------------------------------------------------------------------------

TEST_F(PinTest, ReceiveChecksStateFlushingAndRuntimeError) {
    auto filter = makeFilter();
    TestInputPin* in = filter->addInput(L"In");
    ComPtr<FakeSample> sample(new FakeSample(1));
    EXPECT_EQ(in->Receive(nullptr), E_POINTER);
    EXPECT_EQ(in->Receive(sample.Get()), VFW_E_WRONG_STATE);
    ASSERT_EQ(filter->Pause(), S_OK);
    sample->timeValid = true;
    sample->tStart = 10;
    sample->tStop = 20;
    sample->syncPoint = true;
    EXPECT_EQ(in->Receive(sample.Get()), S_OK);
    const AM_SAMPLE2_PROPERTIES& p = in->lastProperties();
    EXPECT_EQ(p.tStart, 10);
    EXPECT_EQ(p.tStop, 20);
    EXPECT_EQ(p.lActual, 7);
    EXPECT_EQ(p.cbBuffer, 16);
    EXPECT_EQ(p.pbBuffer, sample->buffer);
    EXPECT_EQ(p.dwSampleFlags, DWORD(AM_SAMPLE_SPLICEPOINT | AM_SAMPLE_TIMEVALID | AM_SAMPLE_STOPVALID));

    ASSERT_EQ(in->BeginFlush(), S_OK);
    EXPECT_EQ(in->Receive(sample.Get()), S_FALSE);
    ASSERT_EQ(in->EndFlush(), S_OK);
    EXPECT_EQ(in->Receive(sample.Get()), S_OK);
    ASSERT_EQ(filter->Stop(), S_OK);
}

TEST_F(PinTest, RefusedTypeChangeAbortsTheStream) {
    auto filter = makeFilter();
    ComPtr<FakeGraph> graph(new FakeGraph);
    ASSERT_EQ(filter->JoinFilterGraph(graph.Get(), L"f"), S_OK);
    TestInputPin* in = filter->addInput(L"In");
    in->script.accept = [](const AM_MEDIA_TYPE& t) {
        return tagOf(t) == 66 ? VFW_E_TYPE_NOT_ACCEPTED : S_OK;
    };
    ASSERT_EQ(filter->Pause(), S_OK);

    ComPtr<FakeSample> ok(new FakeSample(1));
    ok->announced.reset(new MediaFormat(taggedFormat(5)));
    EXPECT_EQ(in->Receive(ok.Get()), S_OK);  // an accepted change passes

    ComPtr<FakeSample> bad(new FakeSample(2));
    bad->announced.reset(new MediaFormat(taggedFormat(66)));
    EXPECT_EQ(in->Receive(bad.Get()), VFW_E_INVALIDMEDIATYPE);
    EXPECT_TRUE(in->runtimeErrorFlag());
    EXPECT_EQ(in->endOfStreams, 1);
    ASSERT_EQ(graph->events.size(), 1u);
    EXPECT_EQ(graph->events[0].code, EC_ERRORABORT);
    EXPECT_EQ(graph->events[0].p1, static_cast<LONG_PTR>(VFW_E_TYPE_NOT_ACCEPTED));
    EXPECT_EQ(in->Receive(ok.Get()), VFW_E_RUNTIME_ERROR);
    ASSERT_EQ(in->EndFlush(), S_OK);  // clears the run-time error
    EXPECT_EQ(in->Receive(ok.Get()), S_OK);
    ASSERT_EQ(filter->Stop(), S_OK);
    ASSERT_EQ(filter->JoinFilterGraph(nullptr, nullptr), S_OK);
}

// Counts the samples its Receive saw and answers from a script.
class CountingInputPin : public TestInputPin {
public:
    using TestInputPin::TestInputPin;
    STDMETHODIMP Receive(IMediaSample* sample) override {
        ++received;
        if (static_cast<int>(answers.size()) >= received) return answers[static_cast<size_t>(received - 1)];
        return InputPinCore::Receive(sample);
    }
    std::vector<HRESULT> answers;
    int received = 0;
};

TEST_F(PinTest, ReceiveMultipleStopsAtTheFirstAnswerOtherThanSOk) {
    auto filter = makeFilter();
    auto* in = new CountingInputPin(filter.Get(), &filter->filterLock, L"In");
    filter->pins.push_back(in);
    ASSERT_EQ(filter->Pause(), S_OK);
    ComPtr<FakeSample> s1(new FakeSample(1)), s2(new FakeSample(2)), s3(new FakeSample(3));
    IMediaSample* batch[3] = {s1.Get(), s2.Get(), s3.Get()};
    LONG processed = -1;
    EXPECT_EQ(in->ReceiveMultiple(nullptr, 3, &processed), E_POINTER);
    in->answers = {S_OK, S_FALSE};
    EXPECT_EQ(in->ReceiveMultiple(batch, 3, &processed), S_FALSE);
    EXPECT_EQ(processed, 1);
    EXPECT_EQ(in->received, 2);
    in->answers.clear();
    in->received = 0;
    EXPECT_EQ(in->ReceiveMultiple(batch, 3, &processed), S_OK);
    EXPECT_EQ(processed, 3);
    ASSERT_EQ(filter->Stop(), S_OK);
}

// A null count is refused like a null array, before any sample is received.
TEST_F(PinTest, ReceiveMultipleWithoutACountReceivesNothing) {
    auto filter = makeFilter();
    auto* in = new CountingInputPin(filter.Get(), &filter->filterLock, L"In");
    filter->pins.push_back(in);
    ASSERT_EQ(filter->Pause(), S_OK);
    ComPtr<FakeSample> s1(new FakeSample(1));
    IMediaSample* batch[1] = {s1.Get()};
    EXPECT_EQ(in->ReceiveMultiple(batch, 1, nullptr), E_POINTER);
    EXPECT_EQ(in->received, 0);
    EXPECT_EQ(refsOf(s1.Get()), 1u);
    ASSERT_EQ(filter->Stop(), S_OK);
}

TEST_F(PinTest, ReceiveCanBlockAsksTheConnectedOutputPinsPeers) {
    // A filter with an input pin and an output pin connected downstream.
    Link l;
    TestInputPin* upIn = l.up->addInput(L"UpIn");
    EXPECT_EQ(upIn->ReceiveCanBlock(), S_OK);  // no connected output pin
    l.in->script.proposals = {taggedFormat(1)};
    ASSERT_EQ(l.out->Connect(l.in, nullptr), S_OK);
    l.in->canBlockAnswer.reset(new HRESULT(S_FALSE));
    EXPECT_EQ(upIn->ReceiveCanBlock(), S_FALSE);
    *l.in->canBlockAnswer = S_OK;
    EXPECT_EQ(upIn->ReceiveCanBlock(), S_OK);
    *l.in->canBlockAnswer = E_FAIL;  // anything but S_FALSE
    EXPECT_EQ(upIn->ReceiveCanBlock(), S_OK);
}

TEST_F(PinTest, StreamControlOnInputAndOutputPins) {
    Link l;
    EXPECT_EQ(l.out->EndOfStream(), E_UNEXPECTED);
    EXPECT_EQ(l.out->BeginFlush(), E_UNEXPECTED);
    EXPECT_EQ(l.out->EndFlush(), E_UNEXPECTED);
    EXPECT_EQ(l.out->forwardEndOfStream(), VFW_E_NOT_CONNECTED);
    EXPECT_EQ(l.out->forwardBeginFlush(), VFW_E_NOT_CONNECTED);
    EXPECT_EQ(l.out->forwardNewSegment(0, 1, 1.0), VFW_E_NOT_CONNECTED);
    ComPtr<FakeSample> s(new FakeSample);
    EXPECT_EQ(l.out->sendSample(s.Get()), VFW_E_NOT_CONNECTED);
    IMediaSample* none = nullptr;
    EXPECT_EQ(l.out->obtainOutputBuffer(&none, nullptr, nullptr, 0), E_NOINTERFACE);

    l.in->script.proposals = {taggedFormat(1)};
    ASSERT_EQ(l.out->Connect(l.in, nullptr), S_OK);
    EXPECT_EQ(l.out->forwardEndOfStream(), S_OK);
    EXPECT_EQ(l.in->endOfStreams, 1);
    EXPECT_EQ(l.out->forwardBeginFlush(), S_OK);
    EXPECT_TRUE(l.in->isFlushing());
    EXPECT_EQ(l.out->forwardEndFlush(), S_OK);
    EXPECT_FALSE(l.in->isFlushing());
    EXPECT_EQ(l.out->forwardNewSegment(0, 1, 1.0), S_OK);
    ASSERT_EQ(l.down->Pause(), S_OK);
    EXPECT_EQ(l.out->sendSample(s.Get()), S_OK);
    ASSERT_EQ(l.down->Stop(), S_OK);
    EXPECT_EQ(l.out->sendSample(s.Get()), VFW_E_WRONG_STATE);

    Quality q{};
    EXPECT_EQ(l.out->Notify(l.down.Get(), q), E_NOTIMPL);
    EXPECT_EQ(l.in->Notify(l.up.Get(), q), S_OK);
    EXPECT_EQ(l.in->Notify(nullptr, q), E_POINTER);
    EXPECT_EQ(l.in->SetSink(nullptr), S_OK);
}

// ---- format enumeration ------------------------------------------------------------------

TEST_F(PinTest, FormatEnumeratorWalksTheProposedFormats) {
    auto filter = makeFilter();
    TestOutputPin* out = filter->addOutput(L"Out");
    out->script.proposals = {taggedFormat(1), taggedFormat(2), taggedFormat(3)};
    ComPtr<IEnumMediaTypes> e;
    ASSERT_EQ(out->EnumMediaTypes(e.GetAddressOf()), S_OK);
    EXPECT_EQ(refsOf(filter.Get()), 2u);  // the enumerator keeps the filter alive

    AM_MEDIA_TYPE* got[5] = {};
    ULONG fetched = 99;
    EXPECT_EQ(e->Next(1, nullptr, nullptr), E_POINTER);
    EXPECT_EQ(e->Next(2, got, nullptr), E_INVALIDARG);
    ASSERT_EQ(e->Next(5, got, &fetched), S_FALSE);
    ASSERT_EQ(fetched, 3u);
    for (ULONG i = 0; i < fetched; ++i) {
        EXPECT_EQ(tagOf(*got[i]), i + 1);
        EXPECT_NE(videoInfoOf(*got[i]), nullptr);
        deleteMediaType(got[i]);
    }
    ASSERT_EQ(e->Reset(), S_OK);
    EXPECT_EQ(e->Skip(0), S_OK);
    EXPECT_EQ(e->Skip(2), S_OK);
    ComPtr<IEnumMediaTypes> clone;
    ASSERT_EQ(e->Clone(clone.GetAddressOf()), S_OK);
    ASSERT_EQ(clone->Next(1, got, nullptr), S_OK);
    EXPECT_EQ(tagOf(*got[0]), 3u);
    deleteMediaType(got[0]);
    EXPECT_EQ(e->Skip(1), S_OK);
    EXPECT_EQ(e->Skip(1), S_FALSE);  // past the end (VFW_S_NO_MORE_ITEMS from the pin)
    EXPECT_EQ(e->Skip(0xFFFFFFFFu), S_FALSE);
}

TEST_F(PinTest, FormatEnumeratorMadeBeforeAVersionChangeIsOutOfSync) {
    auto filter = makeFilter();
    TestOutputPin* out = filter->addOutput(L"Out");
    out->script.proposals = {taggedFormat(1)};
    ComPtr<IEnumMediaTypes> e;
    ASSERT_EQ(out->EnumMediaTypes(e.GetAddressOf()), S_OK);
    out->bumpFormatVersion();
    AM_MEDIA_TYPE* got = nullptr;
    ULONG fetched = 0;
    EXPECT_EQ(e->Next(1, &got, &fetched), VFW_E_ENUM_OUT_OF_SYNC);
    EXPECT_EQ(e->Skip(1), VFW_E_ENUM_OUT_OF_SYNC);
    ComPtr<IEnumMediaTypes> clone;
    EXPECT_EQ(e->Clone(clone.GetAddressOf()), VFW_E_ENUM_OUT_OF_SYNC);
    ASSERT_EQ(e->Reset(), S_OK);
    ASSERT_EQ(e->Next(1, &got, &fetched), S_OK);
    EXPECT_EQ(fetched, 1u);
    deleteMediaType(got);
}

TEST_F(PinTest, DefaultProposeFormatOffersNothing) {
    auto filter = makeFilter();
    class Bare : public InputPinCore {
    public:
        using InputPinCore::InputPinCore;
        HRESULT acceptFormat(const AM_MEDIA_TYPE&) override { return S_OK; }
    };
    auto* bare = new Bare(filter.Get(), &filter->filterLock, nullptr, L"Bare");
    filter->pins.push_back(bare);
    ComPtr<IEnumMediaTypes> e;
    ASSERT_EQ(bare->EnumMediaTypes(e.GetAddressOf()), S_OK);
    AM_MEDIA_TYPE* got = nullptr;
    ULONG fetched = 5;
    EXPECT_EQ(e->Next(1, &got, &fetched), S_FALSE);
    EXPECT_EQ(fetched, 0u);
    MediaFormat f;
    EXPECT_EQ(bare->proposeFormat(0, &f), E_UNEXPECTED);
}

}  // namespace
