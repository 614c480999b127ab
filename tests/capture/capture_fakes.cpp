#include "capture_fakes.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>

#include "platform/messagebox.h"

namespace capture_test {

namespace {

// {6A1E0C52-3B0F-4B7E-9E55-2C1B8F4A7D01}, {6A1E0C52-...-02}, ... for the fakes.
const CLSID CLSID_TestCamera = {0x6a1e0c52, 0x3b0f, 0x4b7e, {0x9e, 0x55, 0x2c, 0x1b, 0x8f, 0x4a, 0x7d, 0x01}};
const CLSID CLSID_TestStereo = {0x6a1e0c52, 0x3b0f, 0x4b7e, {0x9e, 0x55, 0x2c, 0x1b, 0x8f, 0x4a, 0x7d, 0x02}};
const CLSID CLSID_TestSink = {0x6a1e0c52, 0x3b0f, 0x4b7e, {0x9e, 0x55, 0x2c, 0x1b, 0x8f, 0x4a, 0x7d, 0x03}};

std::string narrow(LPCWSTR text) {
    std::string out;
    for (; text && *text; ++text)
        out += static_cast<char>(*text);
    return out;
}

template <class T>
ComPtr<T> adopt(T* object) {
    return ComPtr<T>(object);  // the count starts at 0: this adds the one reference
}

// A property bag with a "FriendlyName" and, when `classId` is not empty, a "CLSID".
class TestPropertyBag : public ComponentCore, public IPropertyBag {
public:
    TestPropertyBag(const std::wstring& name, HRESULT readResult, bool asNumber, const std::wstring& classId)
        : name(name), readResult(readResult), asNumber(asNumber), classId(classId) {}
    DV_FORWARD_IUNKNOWN
    HRESULT nonDelegatingQueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (riid == IID_IPropertyBag) return getInterface(static_cast<IPropertyBag*>(this), ppv);
        return ComponentCore::nonDelegatingQueryInterface(riid, ppv);
    }
    STDMETHODIMP Read(LPCOLESTR property, VARIANT* value, IErrorLog*) override {
        if (!property || !value) return E_POINTER;
        if (std::wcscmp(property, L"CLSID") == 0 && !classId.empty()) {
            value->vt = VT_BSTR;
            value->bstrVal = SysAllocString(classId.c_str());
            return value->bstrVal ? S_OK : E_OUTOFMEMORY;
        }
        if (std::wcscmp(property, L"FriendlyName") != 0) return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
        if (FAILED(readResult)) return readResult;
        if (asNumber) {
            value->vt = VT_I4;
            value->lVal = 7;
            return S_OK;
        }
        value->vt = VT_BSTR;
        value->bstrVal = SysAllocString(name.c_str());
        return value->bstrVal ? S_OK : E_OUTOFMEMORY;
    }
    STDMETHODIMP Write(LPCOLESTR, VARIANT*) override { return E_NOTIMPL; }

private:
    std::wstring name;
    HRESULT readResult;
    bool asNumber;
    std::wstring classId;
};

class TestMonikerEnum : public ComponentCore, public IEnumMoniker {
public:
    explicit TestMonikerEnum(const std::vector<ComPtr<TestMoniker>>& devices) : devices(devices) {}
    DV_FORWARD_IUNKNOWN
    HRESULT nonDelegatingQueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (riid == IID_IEnumMoniker) return getInterface(static_cast<IEnumMoniker*>(this), ppv);
        return ComponentCore::nonDelegatingQueryInterface(riid, ppv);
    }
    STDMETHODIMP Next(ULONG count, IMoniker** out, ULONG* fetched) override {
        if (!out) return E_POINTER;
        ULONG got = 0;
        while (got < count && position < devices.size()) {
            out[got++] = static_cast<IMoniker*>(devices[position++].Get());
            out[got - 1]->AddRef();
        }
        if (fetched) *fetched = got;
        return got == count ? S_OK : S_FALSE;
    }
    STDMETHODIMP Skip(ULONG count) override {
        position = std::min<size_t>(devices.size(), position + count);
        return S_OK;
    }
    STDMETHODIMP Reset() override {
        position = 0;
        return S_OK;
    }
    STDMETHODIMP Clone(IEnumMoniker**) override { return E_NOTIMPL; }

private:
    std::vector<ComPtr<TestMoniker>> devices;
    size_t position = 0;
};

std::mutex messageGuard;
std::vector<ShownMessage> shownMessages;

#ifndef _WIN32
int recordMessage(const char* text, const char* caption, unsigned type) {
    std::lock_guard<std::mutex> hold(messageGuard);
    shownMessages.push_back(ShownMessage{text, caption, type});
    return IDOK;
}
#endif

}  // namespace

// ---- samples and allocator -------------------------------------------------

TestSample::TestSample(LONG size) : data(static_cast<size_t>(size)) {}

HRESULT TestSample::nonDelegatingQueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    if (riid == IID_IMediaSample) return getInterface(static_cast<IMediaSample*>(this), ppv);
    return ComponentCore::nonDelegatingQueryInterface(riid, ppv);
}

ULONG TestSample::references() {
    AddRef();
    return Release();
}

STDMETHODIMP TestSample::GetPointer(BYTE** buffer) {
    if (!buffer) return E_POINTER;
    *buffer = data.data();
    return S_OK;
}

STDMETHODIMP TestSample::GetMediaType(AM_MEDIA_TYPE** type) {
    if (!type) return E_POINTER;
    *type = nullptr;
    if (!mediaType) return S_FALSE;
    *type = mediaType->createCopy();
    mediaType.reset();
    return *type ? S_OK : E_OUTOFMEMORY;
}

ComPtr<TestSample> makeSample(LONG size) {
    return adopt(new TestSample(size));
}

HRESULT TestAllocator::nonDelegatingQueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    if (riid == IID_IMemAllocator) return getInterface(static_cast<IMemAllocator*>(this), ppv);
    return ComponentCore::nonDelegatingQueryInterface(riid, ppv);
}

STDMETHODIMP TestAllocator::SetProperties(ALLOCATOR_PROPERTIES* request, ALLOCATOR_PROPERTIES* actual) {
    if (!request || !actual) return E_POINTER;
    *actual = *request;
    return S_OK;
}

STDMETHODIMP TestAllocator::GetProperties(ALLOCATOR_PROPERTIES* props) {
    if (!props) return E_POINTER;
    *props = ALLOCATOR_PROPERTIES{1, 16, 1, 0};
    return S_OK;
}

STDMETHODIMP TestAllocator::Commit() {
    ++commits;
    return S_OK;
}

STDMETHODIMP TestAllocator::Decommit() {
    ++decommits;
    return S_OK;
}

ComPtr<TestAllocator> makeAllocator() {
    return adopt(new TestAllocator);
}

MediaFormat videoType(int width, int height, int bitCount, const GUID& subtype) {
    VIDEOINFOHEADER info;
    std::memset(&info, 0, sizeof(info));
    info.AvgTimePerFrame = 666666;
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = static_cast<WORD>(bitCount);
    info.bmiHeader.biSizeImage = bitmapImageSize(info.bmiHeader);
    MediaFormat type;
    type.setMajorType(MEDIATYPE_Video);
    type.setSubtype(subtype);
    type.setFormatType(FORMAT_VideoInfo);
    type.setFormatBlock(&info, sizeof(info));
    type.setSampleSize(info.bmiHeader.biSizeImage);
    return type;
}

// ---- graph ------------------------------------------------------------------------

TestGraph::~TestGraph() {
    clear();
}

HRESULT TestGraph::nonDelegatingQueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    if (riid == IID_IFilterGraph || riid == IID_IGraphBuilder || riid == IID_IFilterGraph2)
        return getInterface(static_cast<IFilterGraph2*>(this), ppv);
    return ComponentCore::nonDelegatingQueryInterface(riid, ppv);
}

STDMETHODIMP TestGraph::AddFilter(IBaseFilter* filter, LPCWSTR name) {
    calls.push_back("AddFilter " + narrow(name));
    if (!filter) return E_POINTER;
    if (FAILED(addFilterResult) && (failAddFilterName.empty() || (name && failAddFilterName == name)))
        return addFilterResult;
    members.push_back(Member{ComPtr<IBaseFilter>(filter), name ? name : L""});
    filter->JoinFilterGraph(this, name);
    return S_OK;
}

STDMETHODIMP TestGraph::RemoveFilter(IBaseFilter* filter) {
    calls.push_back("RemoveFilter");
    for (auto it = members.begin(); it != members.end(); ++it) {
        if (it->filter.Get() != filter) continue;
        ComPtr<IBaseFilter> kept = it->filter;
        members.erase(it);
        kept->JoinFilterGraph(nullptr, nullptr);
        return S_OK;
    }
    return VFW_E_NOT_FOUND;
}

STDMETHODIMP TestGraph::FindFilterByName(LPCWSTR name, IBaseFilter** filter) {
    calls.push_back("FindFilterByName " + narrow(name));
    if (!name || !filter) return E_POINTER;
    *filter = nullptr;
    for (const Member& member : members)
        if (member.name == name) return member.filter.CopyTo(filter);
    return VFW_E_NOT_FOUND;
}

STDMETHODIMP TestGraph::ConnectDirect(IPin* out, IPin* in, const AM_MEDIA_TYPE* type) {
    PIN_INFO info{};
    std::string inName = "?";
    if (in && SUCCEEDED(in->QueryPinInfo(&info))) {
        inName = narrow(info.achName);
        if (info.pFilter) info.pFilter->Release();
    }
    calls.push_back("ConnectDirect " + inName + (type ? " typed" : ""));
    if (!out || !in) return E_POINTER;
    return out->Connect(in, type);
}

STDMETHODIMP TestGraph::Reconnect(IPin* pin) {
    calls.push_back("Reconnect");
    return pin ? reconnectResult : E_POINTER;
}

STDMETHODIMP TestGraph::ReconnectEx(IPin* pin, const AM_MEDIA_TYPE* type) {
    calls.push_back("ReconnectEx");
    if (type) lastReconnectType.assign(*type);
    return pin ? reconnectResult : E_POINTER;
}

STDMETHODIMP TestGraph::Disconnect(IPin* pin) {
    PIN_INFO info{};
    std::string name = "?";
    if (pin && SUCCEEDED(pin->QueryPinInfo(&info))) {
        name = narrow(info.achName);
        if (info.pFilter) info.pFilter->Release();
    }
    calls.push_back("Disconnect " + name);
    return pin ? pin->Disconnect() : E_POINTER;
}

void TestGraph::clear() {
    std::vector<Member> leaving;
    leaving.swap(members);
    for (Member& member : leaving)
        member.filter->JoinFilterGraph(nullptr, nullptr);
}

bool TestGraph::contains(IBaseFilter* filter) const {
    return std::any_of(members.begin(), members.end(),
                       [&](const Member& m) { return m.filter.Get() == filter; });
}

ComPtr<TestGraph> makeGraph() {
    return adopt(new TestGraph);
}

// ---- camera ----------------------------------------------------------------------

TestCameraPin::TestCameraPin(TestCameraFilter* filter, CriticalSection* lock)
    : OutputPinCore(filter, lock, nullptr, L"Capture") {
    tryMyTypesFirst = true;
}

HRESULT TestCameraPin::nonDelegatingQueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    if (riid == IID_IAMStreamConfig && offersStreamConfig)
        return ComponentCore::getInterface(static_cast<IAMStreamConfig*>(this), ppv);
    return OutputPinCore::nonDelegatingQueryInterface(riid, ppv);
}

HRESULT TestCameraPin::acceptFormat(const AM_MEDIA_TYPE& format) {
    for (const MediaFormat& offered : proposals)
        if (offered == format) return S_OK;
    return VFW_E_TYPE_NOT_ACCEPTED;
}

HRESULT TestCameraPin::proposeFormat(int position, MediaFormat* out) {
    if (!out) return E_POINTER;
    if (position < 0) return E_INVALIDARG;
    if (static_cast<size_t>(position) >= proposals.size()) return VFW_S_NO_MORE_ITEMS;
    *out = proposals[static_cast<size_t>(position)];
    return S_OK;
}

HRESULT TestCameraPin::chooseAllocator(IMemInputPin* peer, IMemAllocator** out) {
    ComPtr<TestAllocator> created = makeAllocator();
    HRESULT hr = peer->NotifyAllocator(created.Get(), FALSE);
    if (FAILED(hr)) return hr;
    *out = created.Detach();
    return S_OK;
}

STDMETHODIMP TestCameraPin::SetFormat(AM_MEDIA_TYPE* type) {
    if (!type) return E_POINTER;
    setFormats.emplace_back(*type);
    if (FAILED(setFormatResult)) return setFormatResult;
    proposals.assign(1, MediaFormat(*type));
    return S_OK;
}

STDMETHODIMP TestCameraPin::GetFormat(AM_MEDIA_TYPE** type) {
    if (!type) return E_POINTER;
    *type = proposals.empty() ? nullptr : proposals.front().createCopy();
    return *type ? S_OK : E_FAIL;
}

STDMETHODIMP TestCameraPin::GetNumberOfCapabilities(int* count, int* size) {
    if (!count || !size) return E_POINTER;
    *count = static_cast<int>(capabilities.size());
    *size = capabilitySize;
    return S_OK;
}

STDMETHODIMP TestCameraPin::GetStreamCaps(int index, AM_MEDIA_TYPE** type, BYTE* caps) {
    if (!type || !caps) return E_POINTER;
    *type = nullptr;
    if (index < 0 || static_cast<size_t>(index) >= capabilities.size()) return S_FALSE;
    if (index == failingCapability) return E_FAIL;
    std::memset(caps, 0xA5, sizeof(VIDEO_STREAM_CONFIG_CAPS));
    *type = capabilities[static_cast<size_t>(index)].createCopy();
    return *type ? S_OK : E_OUTOFMEMORY;
}

TestCameraFilter::TestCameraFilter(bool withOutputPin) : FilterCore(CLSID_TestCamera, &filterLock) {
    if (withOutputPin) pin = std::make_unique<TestCameraPin>(this, &filterLock);
}

TestCameraFilter::~TestCameraFilter() = default;

ComPtr<TestCameraFilter> makeCamera(bool withOutputPin) {
    return adopt(new TestCameraFilter(withOutputPin));
}

// ---- devices ----------------------------------------------------------------------

HRESULT TestMoniker::nonDelegatingQueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    if (riid == IID_IMoniker) return getInterface(static_cast<IMoniker*>(this), ppv);
    return ComponentCore::nonDelegatingQueryInterface(riid, ppv);
}

STDMETHODIMP TestMoniker::BindToObject(IBindCtx*, IMoniker*, REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    ++binds;
    if (FAILED(bindResult)) return bindResult;
    if (filter) return filter->QueryInterface(riid, ppv);
    ComPtr<TestCameraFilter> made = camera ? camera : makeCamera();
    return made->QueryInterface(riid, ppv);
}

STDMETHODIMP TestMoniker::BindToStorage(IBindCtx*, IMoniker*, REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (FAILED(storageResult)) return storageResult;
    ComPtr<TestPropertyBag> bag = adopt(new TestPropertyBag(name, readResult, nameIsNumber, classIdText));
    return bag->QueryInterface(riid, ppv);
}

ComPtr<TestMoniker> makeMoniker(const std::wstring& name) {
    ComPtr<TestMoniker> moniker = adopt(new TestMoniker);
    moniker->name = name;
    return moniker;
}

HRESULT TestDeviceEnum::nonDelegatingQueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    if (riid == IID_ICreateDevEnum) return getInterface(static_cast<ICreateDevEnum*>(this), ppv);
    return ComponentCore::nonDelegatingQueryInterface(riid, ppv);
}

STDMETHODIMP TestDeviceEnum::CreateClassEnumerator(REFCLSID category, IEnumMoniker** out, DWORD) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (FAILED(result)) return result;
    if (category != CLSID_VideoInputDeviceCategory || devices.empty()) return S_FALSE;
    ComPtr<TestMonikerEnum> list = adopt(new TestMonikerEnum(devices));
    return list->QueryInterface(IID_IEnumMoniker, reinterpret_cast<void**>(out));
}

ComPtr<TestDeviceEnum> makeDeviceEnum() {
    return adopt(new TestDeviceEnum);
}

// ---- stereo stand-in ----------------------------------------------------------------

TestLinkedOutput::TestLinkedOutput(FilterCore* filter, CriticalSection* lock, LPCWSTR name)
    : OutputPinCore(filter, lock, nullptr, name) {}

HRESULT TestLinkedOutput::forwardEndOfStream() {
    ++endOfStreams;
    return forwardResult;
}

HRESULT TestLinkedOutput::forwardBeginFlush() {
    ++beginFlushes;
    return forwardResult;
}

HRESULT TestLinkedOutput::forwardEndFlush() {
    ++endFlushes;
    return forwardResult;
}

HRESULT TestLinkedOutput::forwardNewSegment(REFERENCE_TIME start, REFERENCE_TIME, double) {
    ++newSegments;
    segmentStartSeen = start;
    return forwardResult;
}

TestSinkFilter::TestSinkFilter() : FilterCore(CLSID_TestSink, &filterLock) {
    pin = std::make_unique<TestSinkPin>(this, &filterLock);
}

TestSinkFilter::~TestSinkFilter() = default;

StereoTestFilter::StereoTestFilter() : FilterCore(CLSID_TestStereo, &filterLock) {
    input1 = std::make_unique<CameraFramePin>(this, this, &filterLock, L"Input1");
    input2 = std::make_unique<CameraFramePin>(this, this, &filterLock, L"Input2");
    output1 = std::make_unique<TestLinkedOutput>(this, &filterLock, L"Output1");
    output2 = std::make_unique<TestLinkedOutput>(this, &filterLock, L"Output2");
    input1->linkedOutput = output1.get();
    input2->linkedOutput = output2.get();
}

StereoTestFilter::~StereoTestFilter() = default;

PinCore* StereoTestFilter::pinAt(int index) {
    switch (index) {
    case 0:
        return input1.get();
    case 1:
        return input2.get();
    case 2:
        return output1.get();
    case 3:
        return output2.get();
    default:
        return nullptr;
    }
}

HRESULT StereoTestFilter::pairAndDeliver() {
    ScopedLock hold(filterLock);
    ++pairCalls;
    if (input1->heldSample() && input2->heldSample()) {
        pairs.emplace_back(input1->heldSample(), input2->heldSample());
        input1->dropHeldFrame();
        input2->dropHeldFrame();
    }
    return pairResult;
}

ComPtr<StereoTestFilter> makeStereoFilter() {
    return adopt(new StereoTestFilter);
}

// ---- messages ----------------------------------------------------------------------

MessageCapture::MessageCapture() {
    std::lock_guard<std::mutex> hold(messageGuard);
    shownMessages.clear();
#ifndef _WIN32
    dvSetMessageBoxHandler(&recordMessage);
#endif
}

MessageCapture::~MessageCapture() {
#ifndef _WIN32
    dvSetMessageBoxHandler(nullptr);
#endif
}

std::vector<ShownMessage> MessageCapture::take() {
    std::lock_guard<std::mutex> hold(messageGuard);
    std::vector<ShownMessage> out;
    out.swap(shownMessages);
    return out;
}

}  // namespace capture_test
