#include "filter_fakes.h"

#include <cstring>

namespace {

// Every test program of this folder runs with the component library
// initialised (multithreaded: the cameras deliver from their own threads).
class ComEnvironment final : public ::testing::Environment {
public:
    void SetUp() override { initialised = SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)); }
    void TearDown() override {
        if (initialised) CoUninitialize();
    }

private:
    bool initialised = false;
};

[[maybe_unused]] ::testing::Environment* const comEnvironment =
    ::testing::AddGlobalTestEnvironment(new ComEnvironment);

}  // namespace

MediaFormat rgb24Format(int width, int height, int bitCount) {
    MediaFormat f;
    f.setMajorType(MEDIATYPE_Video);
    f.setSubtype(MEDIASUBTYPE_RGB24);
    f.setFormatType(FORMAT_VideoInfo);
    auto* info = reinterpret_cast<VIDEOINFOHEADER*>(f.allocFormatBlock(sizeof(VIDEOINFOHEADER)));
    std::memset(info, 0, sizeof(VIDEOINFOHEADER));
    info->AvgTimePerFrame = 333333;
    info->bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info->bmiHeader.biWidth = width;
    info->bmiHeader.biHeight = height;
    info->bmiHeader.biPlanes = 1;
    info->bmiHeader.biBitCount = static_cast<WORD>(bitCount);
    info->bmiHeader.biSizeImage = bitmapImageSize(info->bmiHeader);
    f.setSampleSize(info->bmiHeader.biSizeImage);
    return f;
}

ComPtr<IBaseFilter> makeStereoFilter(StereoCameraFilter** raw) {
    HRESULT hr = S_OK;
    ComponentCore* object = StereoCameraFilter::create(nullptr, &hr);
    EXPECT_HRESULT_SUCCEEDED(hr);
    ComPtr<IBaseFilter> filter;
    if (!object) return filter;
    object->nonDelegatingQueryInterface(IID_IBaseFilter, reinterpret_cast<void**>(filter.GetAddressOf()));
    if (raw) *raw = static_cast<StereoCameraFilter*>(object);
    return filter;
}

// ---- camera ------------------------------------------------------------------

FakeCameraPin::FakeCameraPin(FakeCameraFilter* filter, CriticalSection* lock, const MediaFormat& format)
    : OutputPinCore(filter, lock, nullptr, L"Capture"), format(format) {}

HRESULT FakeCameraPin::acceptFormat(const AM_MEDIA_TYPE& type) {
    const VIDEOINFOHEADER* info = videoInfoOf(type);
    return info && info->bmiHeader.biBitCount == 24 ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
}

HRESULT FakeCameraPin::proposeFormat(int position, MediaFormat* out) {
    if (!out) return E_POINTER;
    if (position < 0) return E_INVALIDARG;
    if (position > 0) return VFW_S_NO_MORE_ITEMS;
    *out = format;
    return S_OK;
}

HRESULT FakeCameraPin::sizeBuffers(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* /*requirements*/) {
    ALLOCATOR_PROPERTIES request{bufferCount, static_cast<LONG>(format.sampleSize()), 1, 0};
    ALLOCATOR_PROPERTIES actual{};
    return allocator->SetProperties(&request, &actual);
}

FakeCameraFilter::FakeCameraFilter(const MediaFormat& format)
    : FilterCore(CLSID_FakeCameraFilter, &filterLock), pin(new FakeCameraPin(this, &filterLock, format)) {}

FakeCameraFilter::~FakeCameraFilter() {
    delete pin;
}

HRESULT FakeCameraFilter::deliver(BYTE fill) {
    ComPtr<IMediaSample> sample;
    HRESULT hr = pin->obtainOutputBuffer(sample.GetAddressOf(), nullptr, nullptr, 0);
    if (FAILED(hr)) return hr;
    BYTE* data = nullptr;
    sample->GetPointer(&data);
    std::memset(data, fill, static_cast<size_t>(sample->GetSize()));
    sample->SetActualDataLength(static_cast<LONG>(pin->format.sampleSize()));
    return pin->sendSample(sample.Get());
}

// ---- sink ----------------------------------------------------------------------

FakeSinkPin::FakeSinkPin(FilterCore* filter, CriticalSection* lock)
    : InputPinCore(filter, lock, nullptr, L"In") {}

HRESULT FakeSinkPin::acceptFormat(const AM_MEDIA_TYPE& type) {
    if (acceptResult != S_OK) return acceptResult;
    return videoInfoOf(type) ? S_OK : E_INVALIDARG;
}

STDMETHODIMP FakeSinkPin::Receive(IMediaSample* sample) {
    HRESULT hr = InputPinCore::Receive(sample);
    if (hr != S_OK) return hr;
    Delivery d{};
    sample->GetMediaTime(&d.mediaStart, &d.mediaEnd);
    BYTE* data = nullptr;
    sample->GetPointer(&data);
    d.firstByte = data ? data[0] : 0;
    d.length = sample->GetActualDataLength();
    d.sample = sample;
    {
        std::lock_guard<std::mutex> hold(guard);
        deliveries.push_back(d);
    }
    arrived.notify_all();
    return receiveResult;
}

size_t FakeSinkPin::deliveryCount() {
    std::lock_guard<std::mutex> hold(guard);
    return deliveries.size();
}

std::vector<FakeSinkPin::Delivery> FakeSinkPin::deliveriesSoFar() {
    std::lock_guard<std::mutex> hold(guard);
    return deliveries;
}

bool FakeSinkPin::waitForDeliveries(size_t count, int milliseconds) {
    std::unique_lock<std::mutex> hold(guard);
    return arrived.wait_for(hold, std::chrono::milliseconds(milliseconds),
                            [&] { return deliveries.size() >= count; });
}

STDMETHODIMP FakeSinkPin::EndOfStream() {
    ++endOfStreams;
    return S_OK;
}

STDMETHODIMP FakeSinkPin::NotifyAllocator(IMemAllocator* newAllocator, BOOL readOnly) {
    notifiedAllocator = newAllocator;
    notifiedReadOnly = readOnly;
    return InputPinCore::NotifyAllocator(newAllocator, readOnly);
}

FakeSinkFilter::FakeSinkFilter()
    : FilterCore(CLSID_FakeSinkFilter, &filterLock), pin(new FakeSinkPin(this, &filterLock)) {}

FakeSinkFilter::~FakeSinkFilter() {
    delete pin;
}

// ---- sample ----------------------------------------------------------------------

HRESULT FakeSample::nonDelegatingQueryInterface(REFIID riid, void** ppv) {
    if (ppv && riid == IID_IMediaSample) return getInterface(static_cast<IMediaSample*>(this), ppv);
    return ComponentCore::nonDelegatingQueryInterface(riid, ppv);
}

STDMETHODIMP FakeSample::GetPointer(BYTE** out) {
    if (!out) return E_POINTER;
    *out = buffer.empty() ? nullptr : buffer.data();
    return S_OK;
}

STDMETHODIMP FakeSample::GetMediaType(AM_MEDIA_TYPE** out) {
    *out = nullptr;
    return S_FALSE;
}

STDMETHODIMP FakeSample::GetMediaTime(LONGLONG* start, LONGLONG* end) {
    if (!mediaTimeSet) return VFW_E_MEDIA_TIME_NOT_SET;
    *start = mediaStart;
    *end = mediaEnd;
    return S_OK;
}

STDMETHODIMP FakeSample::SetMediaTime(LONGLONG* start, LONGLONG* end) {
    ++setMediaTimeCalls;
    if (FAILED(setMediaTimeResult)) return setMediaTimeResult;
    mediaTimeSet = start != nullptr;
    if (start) mediaStart = *start;
    if (end) mediaEnd = *end;
    return S_OK;
}

// ---- rig ---------------------------------------------------------------------------

StereoRig::StereoRig(int width, int height, bool withRight) : withRight(withRight) {
    // The input pins take the stored capture size only: store the one wanted.
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\VANTO Automation\\stereoWebcam", 0, nullptr,
                        REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, nullptr) == ERROR_SUCCESS) {
        const DWORD sizeIndex = width == 640 ? 1 : 0;
        RegSetValueExA(key, "camSize", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&sizeIndex),
                       sizeof(sizeIndex));
        RegCloseKey(key);
    }
    filterRef = makeStereoFilter(&filter);
    const MediaFormat format = rgb24Format(width, height);
    leftCamera = new FakeCameraFilter(format);
    rightCamera = new FakeCameraFilter(format);
    sink = new FakeSinkFilter;
    EXPECT_HRESULT_SUCCEEDED(leftCamera->pin->Connect(filter->leftInput(), &format.get()));
    if (withRight) {
        EXPECT_HRESULT_SUCCEEDED(rightCamera->pin->Connect(filter->rightInput(), &format.get()));
    }
    EXPECT_HRESULT_SUCCEEDED(filter->visibleOutput()->Connect(sink->pin, nullptr));
}

HRESULT StereoRig::start() {
    HRESULT hr = sink->Run(0);
    if (FAILED(hr)) return hr;
    hr = filter->Run(0);
    if (FAILED(hr)) return hr;
    hr = leftCamera->Run(0);
    if (FAILED(hr)) return hr;
    return rightCamera->Run(0);
}

void StereoRig::stop() {
    leftCamera->Stop();
    rightCamera->Stop();
    filter->Stop();
    sink->Stop();
}

StereoRig::~StereoRig() {
    stop();
    // Undo the connections so that no pin keeps its peer's filter alive.
    filter->visibleOutput()->Disconnect();
    sink->pin->Disconnect();
    leftCamera->pin->Disconnect();
    filter->leftInput()->Disconnect();
    if (withRight) {
        rightCamera->pin->Disconnect();
        filter->rightInput()->Disconnect();
    }
}
