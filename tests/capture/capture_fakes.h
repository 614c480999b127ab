// Fakes for the capture tests, built from the framework's own base classes so
// that every one of them counts in liveObjectCount(): samples, an allocator,
// device monikers with property bags, a device enumerator, a camera filter
// whose output pin offers IAMStreamConfig, a filter graph that records its
// calls, and a stereo filter that owns two CameraFramePins.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "capture/camera_frame_pin.h"
#include "framework/framework.h"
#include "platform/com_ptr.h"
#include "platform/win.h"

namespace capture_test {

// ---- samples and allocator -------------------------------------------------

// A sample over its own buffer. `mediaType`, when set, is announced once by
// GetMediaType (a type change).
class TestSample : public ComponentCore, public IMediaSample {
public:
    explicit TestSample(LONG size = 16);
    DV_FORWARD_IUNKNOWN
    HRESULT nonDelegatingQueryInterface(REFIID riid, void** ppv) override;
    // The sample's own reference count as seen from outside (AddRef+Release).
    ULONG references();

    STDMETHODIMP GetPointer(BYTE** buffer) override;
    STDMETHODIMP_(LONG) GetSize() override { return static_cast<LONG>(data.size()); }
    STDMETHODIMP GetTime(REFERENCE_TIME*, REFERENCE_TIME*) override { return VFW_E_SAMPLE_TIME_NOT_SET; }
    STDMETHODIMP SetTime(REFERENCE_TIME*, REFERENCE_TIME*) override { return S_OK; }
    STDMETHODIMP IsSyncPoint() override { return S_FALSE; }
    STDMETHODIMP SetSyncPoint(BOOL) override { return S_OK; }
    STDMETHODIMP IsPreroll() override { return S_FALSE; }
    STDMETHODIMP SetPreroll(BOOL) override { return S_OK; }
    STDMETHODIMP_(LONG) GetActualDataLength() override { return static_cast<LONG>(data.size()); }
    STDMETHODIMP SetActualDataLength(LONG) override { return S_OK; }
    STDMETHODIMP GetMediaType(AM_MEDIA_TYPE** type) override;
    STDMETHODIMP SetMediaType(AM_MEDIA_TYPE*) override { return S_OK; }
    STDMETHODIMP IsDiscontinuity() override { return S_FALSE; }
    STDMETHODIMP SetDiscontinuity(BOOL) override { return S_OK; }
    STDMETHODIMP GetMediaTime(LONGLONG*, LONGLONG*) override { return VFW_E_MEDIA_TIME_NOT_SET; }
    STDMETHODIMP SetMediaTime(LONGLONG*, LONGLONG*) override { return S_OK; }

    std::unique_ptr<MediaFormat> mediaType;

private:
    std::vector<BYTE> data;
};

// Makes a new sample with one reference owned by the returned pointer.
ComPtr<TestSample> makeSample(LONG size = 16);

class TestAllocator : public ComponentCore, public IMemAllocator {
public:
    DV_FORWARD_IUNKNOWN
    HRESULT nonDelegatingQueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP SetProperties(ALLOCATOR_PROPERTIES* request, ALLOCATOR_PROPERTIES* actual) override;
    STDMETHODIMP GetProperties(ALLOCATOR_PROPERTIES* props) override;
    STDMETHODIMP Commit() override;
    STDMETHODIMP Decommit() override;
    STDMETHODIMP GetBuffer(IMediaSample**, REFERENCE_TIME*, REFERENCE_TIME*, DWORD) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP ReleaseBuffer(IMediaSample*) override { return S_OK; }
    int commits = 0;
    int decommits = 0;
};

ComPtr<TestAllocator> makeAllocator();

// ---- formats -----------------------------------------------------------------

// A MEDIATYPE_Video / RGB24 / FORMAT_VideoInfo type of the given size and bit
// count with a whole VIDEOINFOHEADER.
MediaFormat videoType(int width, int height, int bitCount = 24, const GUID& subtype = MEDIASUBTYPE_RGB24);

// ---- the recording graph ---------------------------------------------------------

// A synchronous filter graph: AddFilter joins the filter, ConnectDirect calls
// the output pin's Connect, Disconnect the pin's Disconnect. Every call is
// appended to `calls` (e.g. "AddFilter Stereo Camera 1"). Failures can be
// injected per call name.
class TestGraph : public ComponentCore, public IFilterGraph2 {
public:
    TestGraph() = default;
    ~TestGraph() override;
    DV_FORWARD_IUNKNOWN
    HRESULT nonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    // IFilterGraph
    STDMETHODIMP AddFilter(IBaseFilter* filter, LPCWSTR name) override;
    STDMETHODIMP RemoveFilter(IBaseFilter* filter) override;
    STDMETHODIMP EnumFilters(IEnumFilters**) override { return E_NOTIMPL; }
    STDMETHODIMP FindFilterByName(LPCWSTR name, IBaseFilter** filter) override;
    STDMETHODIMP ConnectDirect(IPin* out, IPin* in, const AM_MEDIA_TYPE* type) override;
    STDMETHODIMP Reconnect(IPin* pin) override;
    STDMETHODIMP Disconnect(IPin* pin) override;
    STDMETHODIMP SetDefaultSyncSource() override { return E_NOTIMPL; }
    // IGraphBuilder
    STDMETHODIMP Connect(IPin*, IPin*) override { return E_NOTIMPL; }
    STDMETHODIMP Render(IPin*) override { return E_NOTIMPL; }
    STDMETHODIMP RenderFile(LPCWSTR, LPCWSTR) override { return E_NOTIMPL; }
    STDMETHODIMP AddSourceFilter(LPCWSTR, LPCWSTR, IBaseFilter**) override { return E_NOTIMPL; }
    STDMETHODIMP SetLogFile(DWORD_PTR) override { return E_NOTIMPL; }
    STDMETHODIMP Abort() override { return E_NOTIMPL; }
    STDMETHODIMP ShouldOperationContinue() override { return E_NOTIMPL; }
    // IFilterGraph2
    STDMETHODIMP AddSourceFilterForMoniker(IMoniker*, IBindCtx*, LPCWSTR, IBaseFilter**) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP ReconnectEx(IPin* pin, const AM_MEDIA_TYPE* type) override;
    STDMETHODIMP RenderEx(IPin*, DWORD, DWORD*) override { return E_NOTIMPL; }

    // Removes every filter (each leaves the graph).
    void clear();
    bool contains(IBaseFilter* filter) const;
    size_t filterCount() const { return members.size(); }

    std::vector<std::string> calls;
    HRESULT addFilterResult = S_OK;  // failure for AddFilter (no join)
    std::wstring failAddFilterName;  // only for this name when not empty
    HRESULT reconnectResult = S_OK;
    MediaFormat lastReconnectType;

private:
    struct Member {
        ComPtr<IBaseFilter> filter;
        std::wstring name;
    };
    std::vector<Member> members;
};

ComPtr<TestGraph> makeGraph();

// ---- a camera ---------------------------------------------------------------------

class TestCameraFilter;

// The camera's output pin: proposes `proposals` (its own types first), offers
// IAMStreamConfig over `capabilities`, and after a successful SetFormat
// proposes only the format set. It hands its peer a TestAllocator.
class TestCameraPin : public OutputPinCore, public IAMStreamConfig {
public:
    TestCameraPin(TestCameraFilter* filter, CriticalSection* lock);
    DV_FORWARD_IUNKNOWN
    HRESULT nonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    HRESULT acceptFormat(const AM_MEDIA_TYPE& format) override;
    HRESULT proposeFormat(int position, MediaFormat* out) override;
    HRESULT chooseAllocator(IMemInputPin* peer, IMemAllocator** out) override;
    HRESULT sizeBuffers(IMemAllocator*, ALLOCATOR_PROPERTIES*) override { return S_OK; }

    // IAMStreamConfig
    STDMETHODIMP SetFormat(AM_MEDIA_TYPE* type) override;
    STDMETHODIMP GetFormat(AM_MEDIA_TYPE** type) override;
    STDMETHODIMP GetNumberOfCapabilities(int* count, int* size) override;
    STDMETHODIMP GetStreamCaps(int index, AM_MEDIA_TYPE** type, BYTE* caps) override;

    bool offersStreamConfig = true;
    std::vector<MediaFormat> capabilities;
    int capabilitySize = sizeof(VIDEO_STREAM_CONFIG_CAPS);
    int failingCapability = -1;  // GetStreamCaps fails for this index
    HRESULT setFormatResult = S_OK;
    std::vector<MediaFormat> setFormats;  // every type given to SetFormat
    std::vector<MediaFormat> proposals;
};

class TestCameraFilter : public FilterCore {
public:
    // `withOutputPin` false: a filter with no pins at all.
    explicit TestCameraFilter(bool withOutputPin = true);
    ~TestCameraFilter() override;
    int pinCount() override { return pin ? 1 : 0; }
    PinCore* pinAt(int index) override { return index == 0 ? pin.get() : nullptr; }

    CriticalSection filterLock;
    std::unique_ptr<TestCameraPin> pin;
};

ComPtr<TestCameraFilter> makeCamera(bool withOutputPin = true);

// ---- devices ----------------------------------------------------------------------

// A device moniker: its property bag answers "FriendlyName" with `name` and
// "CLSID" with `classIdText` (not found when empty); BindToObject hands out
// `filter` if set, else `camera` (or fails with `bindResult`).
class TestMoniker : public ComponentCore, public IMoniker {
public:
    DV_FORWARD_IUNKNOWN
    HRESULT nonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    STDMETHODIMP GetClassID(CLSID*) override { return E_NOTIMPL; }
    STDMETHODIMP IsDirty() override { return E_NOTIMPL; }
    STDMETHODIMP Load(IStream*) override { return E_NOTIMPL; }
    STDMETHODIMP Save(IStream*, BOOL) override { return E_NOTIMPL; }
    STDMETHODIMP GetSizeMax(ULARGE_INTEGER*) override { return E_NOTIMPL; }
    STDMETHODIMP BindToObject(IBindCtx*, IMoniker*, REFIID riid, void** ppv) override;
    STDMETHODIMP BindToStorage(IBindCtx*, IMoniker*, REFIID riid, void** ppv) override;
    STDMETHODIMP Reduce(IBindCtx*, DWORD, IMoniker**, IMoniker**) override { return E_NOTIMPL; }
    STDMETHODIMP ComposeWith(IMoniker*, BOOL, IMoniker**) override { return E_NOTIMPL; }
    STDMETHODIMP Enum(BOOL, IEnumMoniker**) override { return E_NOTIMPL; }
    STDMETHODIMP IsEqual(IMoniker*) override { return E_NOTIMPL; }
    STDMETHODIMP Hash(DWORD*) override { return E_NOTIMPL; }
    STDMETHODIMP IsRunning(IBindCtx*, IMoniker*, IMoniker*) override { return E_NOTIMPL; }
    STDMETHODIMP GetTimeOfLastChange(IBindCtx*, IMoniker*, FILETIME*) override { return E_NOTIMPL; }
    STDMETHODIMP Inverse(IMoniker**) override { return E_NOTIMPL; }
    STDMETHODIMP CommonPrefixWith(IMoniker*, IMoniker**) override { return E_NOTIMPL; }
    STDMETHODIMP RelativePathTo(IMoniker*, IMoniker**) override { return E_NOTIMPL; }
    STDMETHODIMP GetDisplayName(IBindCtx*, IMoniker*, LPOLESTR*) override { return E_NOTIMPL; }
    STDMETHODIMP ParseDisplayName(IBindCtx*, IMoniker*, LPOLESTR, ULONG*, IMoniker**) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP IsSystemMoniker(DWORD*) override { return E_NOTIMPL; }

    std::wstring name;
    HRESULT storageResult = S_OK;     // BindToStorage failure
    HRESULT readResult = S_OK;        // IPropertyBag::Read failure
    bool nameIsNumber = false;        // Read answers VT_I4 instead of a string
    HRESULT bindResult = S_OK;        // BindToObject failure
    ComPtr<TestCameraFilter> camera;  // what BindToObject hands out (a new one when null)
    ComPtr<IBaseFilter> filter;       // handed out instead of `camera` when set
    std::wstring classIdText;
    int binds = 0;
};

ComPtr<TestMoniker> makeMoniker(const std::wstring& name);

// The system device enumerator's role: the video input category lists
// `devices` in order (S_FALSE when empty); other categories are empty.
class TestDeviceEnum : public ComponentCore, public ICreateDevEnum {
public:
    DV_FORWARD_IUNKNOWN
    HRESULT nonDelegatingQueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP CreateClassEnumerator(REFCLSID category, IEnumMoniker** out, DWORD flags) override;

    std::vector<ComPtr<TestMoniker>> devices;
    HRESULT result = S_OK;  // failure of CreateClassEnumerator
};

ComPtr<TestDeviceEnum> makeDeviceEnum();

// ---- the stereo filter's stand-in -----------------------------------------------

// An output pin that counts the forwarding calls of its linked input pin.
class TestLinkedOutput : public OutputPinCore {
public:
    TestLinkedOutput(FilterCore* filter, CriticalSection* lock, LPCWSTR name);
    HRESULT acceptFormat(const AM_MEDIA_TYPE&) override { return S_OK; }
    HRESULT onConnected(IPin* peer) override { return PinCore::onConnected(peer); }
    HRESULT sizeBuffers(IMemAllocator*, ALLOCATOR_PROPERTIES*) override { return S_OK; }
    HRESULT forwardEndOfStream() override;
    HRESULT forwardBeginFlush() override;
    HRESULT forwardEndFlush() override;
    HRESULT forwardNewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) override;

    HRESULT forwardResult = S_OK;
    int endOfStreams = 0;
    int beginFlushes = 0;
    int endFlushes = 0;
    int newSegments = 0;
    REFERENCE_TIME segmentStartSeen = 0;
};

// A plain input pin (a downstream filter's) that accepts anything.
class TestSinkPin : public InputPinCore {
public:
    TestSinkPin(FilterCore* filter, CriticalSection* lock) : InputPinCore(filter, lock, nullptr, L"In") {}
    HRESULT acceptFormat(const AM_MEDIA_TYPE&) override { return S_OK; }
};

class TestSinkFilter : public FilterCore {
public:
    TestSinkFilter();
    ~TestSinkFilter() override;
    int pinCount() override { return 1; }
    PinCore* pinAt(int index) override { return index == 0 ? pin.get() : nullptr; }
    CriticalSection filterLock;
    std::unique_ptr<TestSinkPin> pin;
};

// Owns "Input1", "Input2" (CameraFramePin) and "Output1", "Output2"
// (TestLinkedOutput), linked as the product links them. pairAndDeliver
// counts its calls and, when both pins hold a frame, records the pair and
// drops both frames.
class StereoTestFilter : public FilterCore, public StereoPairingHost {
public:
    StereoTestFilter();
    ~StereoTestFilter() override;
    int pinCount() override { return 4; }
    PinCore* pinAt(int index) override;
    HRESULT pairAndDeliver() override;

    CriticalSection filterLock;
    std::unique_ptr<CameraFramePin> input1;
    std::unique_ptr<CameraFramePin> input2;
    std::unique_ptr<TestLinkedOutput> output1;
    std::unique_ptr<TestLinkedOutput> output2;
    int pairCalls = 0;
    std::vector<std::pair<IMediaSample*, IMediaSample*>> pairs;  // not counted
    HRESULT pairResult = S_OK;
};

ComPtr<StereoTestFilter> makeStereoFilter();

// ---- message boxes -------------------------------------------------------------

struct ShownMessage {
    std::string text;
    std::string caption;
    unsigned type;
};

// Captures MessageBoxA for its lifetime (POSIX: dvSetMessageBoxHandler).
class MessageCapture {
public:
    MessageCapture();
    ~MessageCapture();
    std::vector<ShownMessage> take();
};

}  // namespace capture_test
