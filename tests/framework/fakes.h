// Fakes for the framework conformance tests, built from the framework's own
// base classes. Calls a test did not ask for fail the test.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "framework/framework.h"

// {5A0F47B4-3C51-4E0B-9C6B-1D0E7B8A1001}
inline const GUID CLSID_FrameworkTestFilter = {
    0x5a0f47b4, 0x3c51, 0x4e0b, {0x9c, 0x6b, 0x1d, 0x0e, 0x7b, 0x8a, 0x10, 0x01}};

// A video type whose subtype's first field is `tag` (so tests can tell types apart).
inline MediaFormat taggedFormat(uint32_t tag, ULONG sampleSize = 100) {
    MediaFormat f;
    f.setMajorType(MEDIATYPE_Video);
    GUID sub = MEDIASUBTYPE_RGB24;
    sub.Data1 = tag;
    f.setSubtype(sub);
    f.setFormatType(FORMAT_VideoInfo);
    VIDEOINFOHEADER* vih = reinterpret_cast<VIDEOINFOHEADER*>(f.allocFormatBlock(sizeof(VIDEOINFOHEADER)));
    vih->bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    vih->bmiHeader.biWidth = static_cast<LONG>(tag);
    vih->bmiHeader.biHeight = 2;
    vih->bmiHeader.biBitCount = 24;
    f.setSampleSize(sampleSize);
    return f;
}

// The current reference count of a counted object (a probe: +1 then -1).
template <class T>
ULONG refsOf(T* object) {
    object->AddRef();
    return object->Release();
}

inline uint32_t tagOf(const AM_MEDIA_TYPE& type) {
    return type.subtype.Data1;
}

// ---- a counted IUnknown (for pUnk, outer unknowns) ---------------------------
class FakeUnknown : public ComponentCore {
public:
    // An IUnknown whose reference count tests can read through refs().
    FakeUnknown() = default;
    // For ComPtr<FakeUnknown>.
    ULONG AddRef() { return nonDelegatingAddRef(); }
    ULONG Release() { return nonDelegatingRelease(); }
    LONG refs() {
        innerUnknown()->AddRef();
        return static_cast<LONG>(innerUnknown()->Release());
    }
};

// ---- allocator -------------------------------------------------------------------
class FakeAllocator : public ComponentCore, public IMemAllocator {
public:
    DV_FORWARD_IUNKNOWN
    HRESULT nonDelegatingQueryInterface(REFIID riid, void** ppv) override {
        if (ppv && riid == IID_IMemAllocator) return getInterface(static_cast<IMemAllocator*>(this), ppv);
        return ComponentCore::nonDelegatingQueryInterface(riid, ppv);
    }
    STDMETHODIMP SetProperties(ALLOCATOR_PROPERTIES* request, ALLOCATOR_PROPERTIES* actual) override {
        ++setPropertiesCalls;
        props = *request;
        if (actual) *actual = *request;
        return S_OK;
    }
    STDMETHODIMP GetProperties(ALLOCATOR_PROPERTIES* out) override {
        *out = props;
        return S_OK;
    }
    STDMETHODIMP Commit() override {
        ++commits;
        return commitResult;
    }
    STDMETHODIMP Decommit() override {
        ++decommits;
        return decommitResult;
    }
    STDMETHODIMP GetBuffer(IMediaSample**, REFERENCE_TIME*, REFERENCE_TIME*, DWORD) override {
        ADD_FAILURE() << "unexpected GetBuffer";
        return E_UNEXPECTED;
    }
    STDMETHODIMP ReleaseBuffer(IMediaSample*) override {
        ADD_FAILURE() << "unexpected ReleaseBuffer";
        return E_UNEXPECTED;
    }

    int commits = 0;
    int decommits = 0;
    int setPropertiesCalls = 0;
    HRESULT commitResult = S_OK;
    HRESULT decommitResult = S_OK;
    ALLOCATOR_PROPERTIES props{};
};

// ---- media sample (plain IMediaSample, no IMediaSample2) -------------------------
class FakeSample : public ComponentCore, public IMediaSample {
public:
    explicit FakeSample(int id = 0) : id(id) {}
    DV_FORWARD_IUNKNOWN
    HRESULT nonDelegatingQueryInterface(REFIID riid, void** ppv) override {
        if (ppv && riid == IID_IMediaSample) return getInterface(static_cast<IMediaSample*>(this), ppv);
        return ComponentCore::nonDelegatingQueryInterface(riid, ppv);
    }
    STDMETHODIMP GetPointer(BYTE** out) override {
        *out = buffer;
        return S_OK;
    }
    STDMETHODIMP_(LONG) GetSize() override { return sizeof(buffer); }
    STDMETHODIMP GetTime(REFERENCE_TIME* start, REFERENCE_TIME* stop) override {
        if (!timeValid) return VFW_E_SAMPLE_TIME_NOT_SET_FAKE;
        *start = tStart;
        *stop = tStop;
        return S_OK;
    }
    STDMETHODIMP SetTime(REFERENCE_TIME*, REFERENCE_TIME*) override { return unexpected("SetTime"); }
    STDMETHODIMP IsSyncPoint() override { return syncPoint ? S_OK : S_FALSE; }
    STDMETHODIMP SetSyncPoint(BOOL) override { return unexpected("SetSyncPoint"); }
    STDMETHODIMP IsPreroll() override { return S_FALSE; }
    STDMETHODIMP SetPreroll(BOOL) override { return unexpected("SetPreroll"); }
    STDMETHODIMP_(LONG) GetActualDataLength() override { return actual; }
    STDMETHODIMP SetActualDataLength(LONG) override { return unexpected("SetActualDataLength"); }
    STDMETHODIMP GetMediaType(AM_MEDIA_TYPE** out) override {
        if (!announced) {
            *out = nullptr;
            return S_FALSE;
        }
        *out = announced->createCopy();
        return *out ? S_OK : E_OUTOFMEMORY;
    }
    STDMETHODIMP SetMediaType(AM_MEDIA_TYPE*) override { return unexpected("SetMediaType"); }
    STDMETHODIMP IsDiscontinuity() override { return discontinuity ? S_OK : S_FALSE; }
    STDMETHODIMP SetDiscontinuity(BOOL) override { return unexpected("SetDiscontinuity"); }
    STDMETHODIMP GetMediaTime(LONGLONG*, LONGLONG*) override { return unexpected("GetMediaTime"); }
    STDMETHODIMP SetMediaTime(LONGLONG*, LONGLONG*) override { return unexpected("SetMediaTime"); }

    static constexpr HRESULT VFW_E_SAMPLE_TIME_NOT_SET_FAKE = static_cast<HRESULT>(0x80040249);
    const int id;
    BYTE buffer[16] = {};
    LONG actual = 7;
    bool timeValid = false;
    REFERENCE_TIME tStart = 0, tStop = 0;
    bool syncPoint = false;
    bool discontinuity = false;
    std::unique_ptr<MediaFormat> announced;

private:
    HRESULT unexpected(const char* what) {
        ADD_FAILURE() << "unexpected " << what;
        return E_UNEXPECTED;
    }
};

// ---- reference clock ----------------------------------------------------------------
class FakeClock : public ComponentCore, public IReferenceClock {
public:
    DV_FORWARD_IUNKNOWN
    HRESULT nonDelegatingQueryInterface(REFIID riid, void** ppv) override {
        if (ppv && riid == IID_IReferenceClock) return getInterface(static_cast<IReferenceClock*>(this), ppv);
        return ComponentCore::nonDelegatingQueryInterface(riid, ppv);
    }
    STDMETHODIMP GetTime(REFERENCE_TIME* out) override {
        *out = now;
        return S_OK;
    }
    STDMETHODIMP AdviseTime(REFERENCE_TIME, REFERENCE_TIME, HEVENT, DWORD_PTR*) override { return fail(); }
    STDMETHODIMP AdvisePeriodic(REFERENCE_TIME, REFERENCE_TIME, HSEMAPHORE, DWORD_PTR*) override {
        return fail();
    }
    STDMETHODIMP Unadvise(DWORD_PTR) override { return fail(); }
    REFERENCE_TIME now = 0;

private:
    HRESULT fail() {
        ADD_FAILURE() << "unexpected clock call";
        return E_UNEXPECTED;
    }
};

// ---- graph: IFilterGraph2 + IMediaEventSink; records events and reconnects -------
class FakeGraph : public ComponentCore, public IFilterGraph2, public IMediaEventSink {
public:
    DV_FORWARD_IUNKNOWN
    HRESULT nonDelegatingQueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (riid == IID_IFilterGraph ||
            (offerGraph2 && (riid == IID_IGraphBuilder || riid == IID_IFilterGraph2)))
            return getInterface(static_cast<IFilterGraph2*>(this), ppv);
        if (offerSink && riid == IID_IMediaEventSink)
            return getInterface(static_cast<IMediaEventSink*>(this), ppv);
        return ComponentCore::nonDelegatingQueryInterface(riid, ppv);
    }
    STDMETHODIMP Notify(LONG code, LONG_PTR p1, LONG_PTR p2) override {
        events.push_back({code, p1, p2});
        return S_OK;
    }
    STDMETHODIMP Reconnect(IPin* pin) override {
        reconnects.push_back({pin, false});
        return S_OK;
    }
    STDMETHODIMP ReconnectEx(IPin* pin, const AM_MEDIA_TYPE*) override {
        reconnects.push_back({pin, true});
        return S_OK;
    }
    STDMETHODIMP AddFilter(IBaseFilter*, LPCWSTR) override { return fail(); }
    STDMETHODIMP RemoveFilter(IBaseFilter*) override { return fail(); }
    STDMETHODIMP EnumFilters(IEnumFilters**) override { return fail(); }
    STDMETHODIMP FindFilterByName(LPCWSTR, IBaseFilter**) override { return fail(); }
    STDMETHODIMP ConnectDirect(IPin*, IPin*, const AM_MEDIA_TYPE*) override { return fail(); }
    STDMETHODIMP Disconnect(IPin*) override { return fail(); }
    STDMETHODIMP SetDefaultSyncSource() override { return fail(); }
    STDMETHODIMP Connect(IPin*, IPin*) override { return fail(); }
    STDMETHODIMP Render(IPin*) override { return fail(); }
    STDMETHODIMP RenderFile(LPCWSTR, LPCWSTR) override { return fail(); }
    STDMETHODIMP AddSourceFilter(LPCWSTR, LPCWSTR, IBaseFilter**) override { return fail(); }
    STDMETHODIMP SetLogFile(DWORD_PTR) override { return fail(); }
    STDMETHODIMP Abort() override { return fail(); }
    STDMETHODIMP ShouldOperationContinue() override { return fail(); }
    STDMETHODIMP AddSourceFilterForMoniker(IMoniker*, IBindCtx*, LPCWSTR, IBaseFilter**) override {
        return fail();
    }
    STDMETHODIMP RenderEx(IPin*, DWORD, DWORD*) override { return fail(); }

    struct EventRecord {
        LONG code;
        LONG_PTR p1, p2;
    };
    struct ReconnectRecord {
        IPin* pin;
        bool ex;
    };
    bool offerGraph2 = true;
    bool offerSink = true;
    std::vector<EventRecord> events;
    std::vector<ReconnectRecord> reconnects;

private:
    HRESULT fail() {
        ADD_FAILURE() << "unexpected graph call";
        return E_UNEXPECTED;
    }
};

// ---- pins -------------------------------------------------------------------------------
// Hook counters and programmable answers shared by both test pin kinds.
struct PinScript {
    std::vector<MediaFormat> proposals;
    // acceptFormat answer by type tag; types without an entry are accepted.
    std::function<HRESULT(const AM_MEDIA_TYPE&)> accept;
    int proposeCalls = 0;
    int activates = 0, deactivates = 0, runs = 0, connects = 0, disconnects = 0;
    HRESULT activateResult = S_OK, deactivateResult = S_OK, runResult = S_OK, connectedResult = S_OK;
    std::vector<std::string>* order = nullptr;  // shared log of hook calls, if set
};

template <class Base>
class ScriptedPin : public Base {
public:
    template <class... Args>
    explicit ScriptedPin(Args&&... args) : Base(std::forward<Args>(args)...) {}

    HRESULT acceptFormat(const AM_MEDIA_TYPE& format) override {
        return script.accept ? script.accept(format) : S_OK;
    }
    HRESULT proposeFormat(int position, MediaFormat* out) override {
        ++script.proposeCalls;
        if (!out) return E_POINTER;
        if (position < 0) return E_INVALIDARG;
        if (position >= static_cast<int>(script.proposals.size())) return VFW_S_NO_MORE_ITEMS;
        *out = script.proposals[static_cast<size_t>(position)];
        return S_OK;
    }
    HRESULT onActivate() override {
        ++script.activates;
        log("activate");
        HRESULT hr = Base::onActivate();
        return FAILED(script.activateResult) ? script.activateResult : hr;
    }
    HRESULT onDeactivate() override {
        ++script.deactivates;
        log("deactivate");
        HRESULT hr = Base::onDeactivate();
        return FAILED(script.deactivateResult) ? script.deactivateResult : hr;
    }
    HRESULT onRun(REFERENCE_TIME start) override {
        ++script.runs;
        log("run");
        Base::onRun(start);
        return script.runResult;
    }
    HRESULT onConnected(IPin* peer) override {
        ++script.connects;
        HRESULT hr = Base::onConnected(peer);
        if (FAILED(hr)) return hr;
        return script.connectedResult;
    }
    HRESULT onDisconnected() override {
        ++script.disconnects;
        return Base::onDisconnected();
    }
    void log(const char* what) {
        if (script.order)
            script.order->push_back(std::string(what) + ":" +
                                    std::string(this->pinName().begin(), this->pinName().end()));
    }
    void setTryMyTypesFirst(bool value) { this->tryMyTypesFirst = value; }
    bool runtimeErrorFlag() const { return this->runtimeError; }

    PinScript script;
};

class TestOutputPin : public ScriptedPin<OutputPinCore> {
public:
    TestOutputPin(FilterCore* filter, CriticalSection* lock, LPCWSTR name)
        : ScriptedPin<OutputPinCore>(filter, lock, nullptr, name) {}

    HRESULT sizeBuffers(IMemAllocator* target, ALLOCATOR_PROPERTIES* requirements) override {
        sizedAllocators.push_back(target);
        lastRequirements = *requirements;
        if (sizeResults.empty()) return S_OK;
        HRESULT hr = sizeResults.front();
        sizeResults.erase(sizeResults.begin());
        return hr;
    }
    HRESULT makeDefaultAllocator(IMemAllocator** out) override {
        ++defaultAllocatorCalls;
        if (!defaultAllocator) return OutputPinCore::makeDefaultAllocator(out);
        return ComPtr<IMemAllocator>(defaultAllocator.Get()).CopyTo(out);
    }
    IMemAllocator* currentAllocator() const { return allocator.Get(); }

    std::vector<IMemAllocator*> sizedAllocators;
    std::vector<HRESULT> sizeResults;  // answers of successive sizeBuffers calls (then S_OK)
    ALLOCATOR_PROPERTIES lastRequirements{};
    ComPtr<FakeAllocator> defaultAllocator;
    int defaultAllocatorCalls = 0;
};

class TestInputPin : public ScriptedPin<InputPinCore> {
public:
    TestInputPin(FilterCore* filter, CriticalSection* lock, LPCWSTR name)
        : ScriptedPin<InputPinCore>(filter, lock, nullptr, name) {}

    STDMETHODIMP GetAllocator(IMemAllocator** out) override {
        ++getAllocatorCalls;
        if (FAILED(getAllocatorResult)) {
            if (out) *out = nullptr;
            return getAllocatorResult;
        }
        return InputPinCore::GetAllocator(out);
    }
    STDMETHODIMP NotifyAllocator(IMemAllocator* a, BOOL readOnly) override {
        notified.push_back({a, readOnly});
        return InputPinCore::NotifyAllocator(a, readOnly);
    }
    STDMETHODIMP GetAllocatorRequirements(ALLOCATOR_PROPERTIES* props) override {
        if (!haveRequirements) return E_NOTIMPL;
        *props = requirements;
        return S_OK;
    }
    STDMETHODIMP EndOfStream() override {
        ++endOfStreams;
        return S_OK;
    }
    STDMETHODIMP ReceiveCanBlock() override {
        if (canBlockAnswer) return *canBlockAnswer;
        return InputPinCore::ReceiveCanBlock();
    }
    IMemAllocator* currentAllocator() const { return allocator.Get(); }
    const AM_SAMPLE2_PROPERTIES& lastProperties() const { return sampleProps; }
    bool isFlushing() const { return flushing; }

    struct Notified {
        IMemAllocator* allocator;
        BOOL readOnly;
    };
    std::vector<Notified> notified;
    int getAllocatorCalls = 0;
    HRESULT getAllocatorResult = S_OK;
    bool haveRequirements = false;
    ALLOCATOR_PROPERTIES requirements{};
    int endOfStreams = 0;
    std::unique_ptr<HRESULT> canBlockAnswer;
};

// ---- filter -------------------------------------------------------------------------------
class TestFilter : public FilterCore {
public:
    TestFilter() : FilterCore(CLSID_FrameworkTestFilter, &filterLock) {}
    ~TestFilter() override {
        for (PinCore* pin : pins)
            delete pin;
    }

    TestInputPin* addInput(LPCWSTR name) {
        auto* pin = new TestInputPin(this, &filterLock, name);
        pins.push_back(pin);
        bumpPinSetVersion();
        return pin;
    }
    TestOutputPin* addOutput(LPCWSTR name) {
        auto* pin = new TestOutputPin(this, &filterLock, name);
        pins.push_back(pin);
        bumpPinSetVersion();
        return pin;
    }

    int pinCount() override { return reportedCount >= 0 ? reportedCount : static_cast<int>(pins.size()); }
    PinCore* pinAt(int index) override {
        return index >= 0 && index < static_cast<int>(pins.size()) ? pins[static_cast<size_t>(index)]
                                                                   : nullptr;
    }
    STDMETHODIMP Pause() override {
        ++pauseCalls;
        return FilterCore::Pause();
    }

    CriticalSection filterLock;
    std::vector<PinCore*> pins;
    int reportedCount = -1;  // >= 0: pinCount() answers this instead
    int pauseCalls = 0;
};

// Makes a filter held by a ComPtr (the ComPtr's reference is the only one).
inline ComPtr<TestFilter> makeFilter() {
    return ComPtr<TestFilter>(new TestFilter);
}

// Every test ends with no framework object of this module left alive.
class FrameworkTest : public ::testing::Test {
protected:
    void TearDown() override { EXPECT_EQ(liveObjectCount(), 0) << "framework objects still alive"; }
};
