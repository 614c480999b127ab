#include "filter/composed_video_pin.h"

#include <cstring>
#include <new>

#include "capture/camera_attachment.h"
#include "capture/rgb24_format.h"
#include "compositor/frame_store.h"
#include "compositor/runtime_settings.h"
#include "filter/stereo_camera_filter.h"
#include "platform/trace.h"

namespace {

// Proposed sizes are position x (80 x 60) for positions 1..10.
constexpr int kSizeStepWidth = 80;
constexpr int kSizeStepHeight = 60;
constexpr int kLastProposedPosition = 10;
// IAMStreamConfig: capability count; index 0 stands for the largest (8).
constexpr int kCapabilityCount = 8;
constexpr LONG kMinBitsPerSecond = 23040;
// Bytes of a pin category property (a GUID).
constexpr DWORD kPinCategorySize = sizeof(GUID);

bool sameInEveryField(const AM_MEDIA_TYPE& a, const AM_MEDIA_TYPE& b) {
    return mediaTypesEqual(a, b) && a.bFixedSizeSamples == b.bFixedSizeSamples &&
           a.bTemporalCompression == b.bTemporalCompression && a.lSampleSize == b.lSampleSize;
}

}  // namespace

ComposedVideoPin::ComposedVideoPin(StereoCameraFilter* filter, CriticalSection* lock, HRESULT* status, LPCWSTR name)
    : OutputPinCore(filter, lock, status, name), stereoFilter(filter) {
    MediaFormat initial;
    if (proposeFormat(currentVideoFormat().width / kSizeStepWidth, &initial) == S_OK) connectionFormat = initial;
}

ComposedVideoPin::~ComposedVideoPin() = default;

HRESULT ComposedVideoPin::nonDelegatingQueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    if (riid == IID_IAMStreamConfig) return ComponentCore::getInterface(static_cast<IAMStreamConfig*>(this), ppv);
    if (riid == IID_IKsPropertySet) return ComponentCore::getInterface(static_cast<IKsPropertySet*>(this), ppv);
    if (riid == IID_ISpecifyPropertyPages)
        return ComponentCore::getInterface(static_cast<ISpecifyPropertyPages*>(this), ppv);
    if (riid == IID_ICameraSelection) return ComponentCore::getInterface(static_cast<ICameraSelection*>(this), ppv);
    return OutputPinCore::nonDelegatingQueryInterface(riid, ppv);
}

// ---- connection ------------------------------------------------------------

STDMETHODIMP ComposedVideoPin::Connect(IPin* receiver, const AM_MEDIA_TYPE* format) {
    if (!receiver) return E_POINTER;
    ScopedLock hold(lock);
    // The framework refuses these too; checking first keeps the cameras out of
    // a graph that could not take the connection anyway.
    if (isConnected()) return VFW_E_ALREADY_CONNECTED;
    if (!filter->isStopped()) return VFW_E_NOT_STOPPED;
    CameraFramePin* left = stereoFilter->leftInput();
    if (!left->isConnected() && FAILED(attachCameras(filter, left, stereoFilter->rightInput()))) {
        DV_TRACE(TraceLevel::error, "pin %s: cameras not attached, connection refused: %s",
                 TraceText(pinName().c_str()).text, TraceHr(VFW_E_TYPE_NOT_ACCEPTED).text);
        return VFW_E_TYPE_NOT_ACCEPTED;
    }
    return OutputPinCore::Connect(receiver, format);
}

STDMETHODIMP ComposedVideoPin::Disconnect() {
    ScopedLock hold(lock);
    const HRESULT own = OutputPinCore::Disconnect();
    // A pin that stays connected (filter not stopped, allocator refusing to
    // decommit) keeps its cameras too.
    if (FAILED(own)) return own;
    return detachCameras(filter, stereoFilter->leftInput(), stereoFilter->rightInput());
}

STDMETHODIMP ComposedVideoPin::EnumMediaTypes(IEnumMediaTypes** out) {
    if (!out) return E_POINTER;
    ScopedLock hold(lock);
    if (linkedInput) {
        if (ComPtr<IPin> camera = linkedInput->connectedPeer()) return camera->EnumMediaTypes(out);
    }
    return OutputPinCore::EnumMediaTypes(out);
}

STDMETHODIMP ComposedVideoPin::QueryInternalConnections(IPin** /*pins*/, ULONG* /*count*/) { return E_NOTIMPL; }

STDMETHODIMP ComposedVideoPin::Notify(IBaseFilter* /*sender*/, Quality /*quality*/) { return E_NOTIMPL; }

HRESULT ComposedVideoPin::acceptFormat(const AM_MEDIA_TYPE& format) {
    const VIDEOINFOHEADER* info = videoInfoOf(format);
    if (!info) return E_INVALIDARG;
    if (info->bmiHeader.biBitCount != 24) return VFW_E_TYPE_NOT_ACCEPTED;
    return S_OK;
}

HRESULT ComposedVideoPin::proposeFormat(int position, MediaFormat* out) {
    if (!out) return E_POINTER;
    ScopedLock hold(lock);
    if (position < 0) return E_INVALIDARG;
    if (position > kLastProposedPosition) return VFW_S_NO_MORE_ITEMS;
    if (position == 0) {
        *out = connectionFormat;
        return out->status();
    }
    return buildRgb24Format(position * kSizeStepWidth, position * kSizeStepHeight, out);
}

HRESULT ComposedVideoPin::onConnected(IPin* peer) {
    ScopedLock hold(lock);
    HRESULT hr = OutputPinCore::onConnected(peer);
    if (FAILED(hr)) return hr;
    if (!linkedInput || sameInEveryField(connectionFormat.get(), linkedInput->connectionMediaFormat().get()))
        return S_OK;
    // The delivered buffer is the left camera's: make both cameras produce the
    // agreed format.
    if (ComPtr<IPin> leftCamera = stereoFilter->leftInput()->connectedPeer()) {
        const HRESULT left = filter->reconnectPin(leftCamera.Get(), &connectionFormat.get());
        if (FAILED(left))
            DV_TRACE(TraceLevel::error, "pin %s: left camera not reconnected as %s: %s",
                     TraceText(pinName().c_str()).text, TraceType(&connectionFormat.get()).text,
                     TraceHr(left).text);
    }
    if (ComPtr<IPin> rightCamera = stereoFilter->rightInput()->connectedPeer()) {
        const HRESULT right = filter->reconnectPin(rightCamera.Get(), &connectionFormat.get());
        if (FAILED(right))
            DV_TRACE(TraceLevel::error, "pin %s: right camera not reconnected as %s: %s",
                     TraceText(pinName().c_str()).text, TraceType(&connectionFormat.get()).text,
                     TraceHr(right).text);
        return right;
    }
    return S_OK;
}

HRESULT ComposedVideoPin::chooseAllocator(IMemInputPin* peerInput, IMemAllocator** out) {
    if (!peerInput || !out) return E_POINTER;
    *out = nullptr;
    if (!linkedInput) return E_UNEXPECTED;
    ComPtr<IMemAllocator> inputAllocator;
    HRESULT hr = linkedInput->GetAllocator(inputAllocator.GetAddressOf());
    if (FAILED(hr))
        DV_TRACE(TraceLevel::error, "pin %s: the left input pin offers no allocator: %s",
                 TraceText(pinName().c_str()).text, TraceHr(hr).text);
    if (FAILED(hr)) return hr;
    // The allocator the left camera announced; before a camera has announced
    // one, the allocator the input pin would offer it.
    ComPtr<IMemAllocator> shared = linkedInput->upstreamAllocatorPtr();
    if (!shared) shared = inputAllocator;
    hr = peerInput->NotifyAllocator(shared.Get(), FALSE);
    if (FAILED(hr))
        DV_TRACE(TraceLevel::error, "pin %s: downstream refused the left camera's allocator: %s",
                 TraceText(pinName().c_str()).text, TraceHr(hr).text);
    if (FAILED(hr)) return hr;
    *out = shared.Detach();
    return S_OK;
}

HRESULT ComposedVideoPin::sizeBuffers(IMemAllocator* /*allocator*/, ALLOCATOR_PROPERTIES* /*requirements*/) {
    return S_OK;  // the buffers are the left camera's
}

// ---- activity and delivery ----------------------------------------------------

HRESULT ComposedVideoPin::onActivate() {
    ScopedLock hold(lock);
    ComPtr<IPin> peer = connectedPeer();
    if (!peer) return S_OK;
    HRESULT hr = S_OK;
    deliveryQueue.reset(new (std::nothrow) DeliveryQueue(peer.Get(), &hr, /*autoDecide*/ true, /*queue*/ false,
                                                         /*batchSize*/ 1, /*batchExact*/ false, /*listNodes*/ 10,
                                                         /*priority*/ 0, /*flushOptimised*/ false));
    if (!deliveryQueue) return E_OUTOFMEMORY;
    if (FAILED(hr)) {
        DV_TRACE(TraceLevel::error, "pin %s: delivery queue not created: %s",
                 TraceText(pinName().c_str()).text, TraceHr(hr).text);
        deliveryQueue.reset();
        return hr;
    }
    OutputPinCore::onActivate();  // commits the shared allocator, which the left camera commits as well
    return S_OK;
}

HRESULT ComposedVideoPin::onDeactivate() {
    ScopedLock hold(lock);
    deliveryQueue.reset();  // stops its worker, releases what it still holds
    OutputPinCore::onDeactivate();
    return S_OK;
}

HRESULT ComposedVideoPin::sendSample(IMediaSample* sample) {
    ScopedLock hold(lock);
    if (!deliveryQueue) return S_OK;
    return deliveryQueue->receive(ComPtr<IMediaSample>(sample));
}

HRESULT ComposedVideoPin::forwardEndOfStream() {
    ScopedLock hold(lock);
    if (deliveryQueue) deliveryQueue->endOfStream();
    return S_OK;
}

HRESULT ComposedVideoPin::forwardBeginFlush() {
    ScopedLock hold(lock);
    if (deliveryQueue) deliveryQueue->beginFlush();
    return S_OK;
}

HRESULT ComposedVideoPin::forwardEndFlush() {
    ScopedLock hold(lock);
    if (deliveryQueue) deliveryQueue->endFlush();
    return S_OK;
}

HRESULT ComposedVideoPin::forwardNewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) {
    ScopedLock hold(lock);
    if (deliveryQueue) deliveryQueue->newSegment(start, stop, rate);
    return S_OK;
}

// ---- IAMStreamConfig --------------------------------------------------------

STDMETHODIMP ComposedVideoPin::SetFormat(AM_MEDIA_TYPE* format) {
    if (!format) return E_POINTER;
    ScopedLock hold(lock);
    const HRESULT hr = connectionFormat.assign(*format);
    if (FAILED(hr)) return hr;
    // The size index and the frame store stay as they are.
    IFilterGraph* graph = filter->filterGraph();
    if (isConnected() && graph) graph->Reconnect(this);
    return S_OK;
}

STDMETHODIMP ComposedVideoPin::GetFormat(AM_MEDIA_TYPE** format) {
    if (!format) return E_POINTER;
    ScopedLock hold(lock);
    *format = connectionFormat.createCopy();  // null when memory runs out
    return S_OK;
}

STDMETHODIMP ComposedVideoPin::GetNumberOfCapabilities(int* count, int* size) {
    if (!count || !size) return E_POINTER;
    *count = kCapabilityCount;
    *size = sizeof(VIDEO_STREAM_CONFIG_CAPS);
    return S_OK;
}

STDMETHODIMP ComposedVideoPin::GetStreamCaps(int index, AM_MEDIA_TYPE** format, BYTE* caps) {
    if (!format || !caps) return E_POINTER;
    *format = nullptr;
    if (index < 0) return E_INVALIDARG;
    if (index >= kCapabilityCount) return S_FALSE;
    const int factor = index == 0 ? kCapabilityCount : index;
    const LONG width = factor * kSizeStepWidth;
    const LONG height = factor * kSizeStepHeight;
    const VideoFormatValues current = currentVideoFormat();

    ScopedLock hold(lock);
    // Start from the current type; its format block is replaced by a whole
    // VIDEOINFOHEADER (what it held up to that size is kept).
    MediaFormat type = connectionFormat;
    if (FAILED(type.status())) return E_OUTOFMEMORY;
    VIDEOINFOHEADER info{};
    if (type.formatBlock()) {
        const ULONG kept = type.formatLength() < sizeof(info) ? type.formatLength() : ULONG(sizeof(info));
        std::memcpy(&info, type.formatBlock(), kept);
    }
    info.rcSource = RECT{0, 0, 0, 0};
    info.rcTarget = RECT{0, 0, 0, 0};
    setRgb24Bitmap(&info.bmiHeader, width, height);
    if (FAILED(type.setFormatBlock(&info, sizeof(info)))) return E_OUTOFMEMORY;
    type.setMajorType(MEDIATYPE_Video);
    type.setSubtype(MEDIASUBTYPE_RGB24);
    type.setFormatType(FORMAT_VideoInfo);
    AM_MEDIA_TYPE* result = type.createCopy();
    if (!result) return E_OUTOFMEMORY;
    result->bFixedSizeSamples = FALSE;
    result->bTemporalCompression = FALSE;
    result->lSampleSize = info.bmiHeader.biSizeImage;

    VIDEO_STREAM_CONFIG_CAPS record{};
    record.guid = FORMAT_VideoInfo;
    record.VideoStandard = 0;
    record.InputSize = SIZE{current.width, current.height};
    record.MinCroppingSize = SIZE{kSizeStepWidth, kSizeStepHeight};
    record.MaxCroppingSize = SIZE{current.width, current.height};
    record.CropGranularityX = kSizeStepWidth;
    record.CropGranularityY = kSizeStepHeight;
    record.MinOutputSize = SIZE{kSizeStepWidth, kSizeStepHeight};
    record.MaxOutputSize = SIZE{current.width, current.height};
    record.MinFrameInterval = current.frameInterval;
    record.MaxFrameInterval = current.frameInterval;
    record.MinBitsPerSecond = kMinBitsPerSecond;
    record.MaxBitsPerSecond = current.frameRate * current.height * current.width * 24;
    std::memcpy(caps, &record, sizeof(record));

    *format = result;
    return S_OK;
}

// ---- IKsPropertySet -----------------------------------------------------------

STDMETHODIMP ComposedVideoPin::Set(REFGUID /*propSet*/, DWORD /*id*/, LPVOID /*instanceData*/,
                                   DWORD /*instanceLength*/, LPVOID /*propertyData*/, DWORD /*dataLength*/) {
    return E_NOTIMPL;
}

STDMETHODIMP ComposedVideoPin::Get(REFGUID propSet, DWORD id, LPVOID /*instanceData*/, DWORD /*instanceLength*/,
                                   LPVOID propertyData, DWORD dataLength, DWORD* returned) {
    if (propSet != AMPROPSETID_Pin) return E_PROP_SET_UNSUPPORTED;
    if (id != AMPROPERTY_PIN_CATEGORY) return E_PROP_ID_UNSUPPORTED;
    if (!propertyData && !returned) return E_POINTER;
    if (returned) *returned = kPinCategorySize;
    if (!propertyData) return S_OK;
    if (dataLength < kPinCategorySize) return E_UNEXPECTED;
    std::memcpy(propertyData, &PIN_CATEGORY_CAPTURE, kPinCategorySize);
    return S_OK;
}

STDMETHODIMP ComposedVideoPin::QuerySupported(REFGUID propSet, DWORD id, DWORD* typeSupport) {
    if (propSet != AMPROPSETID_Pin) return E_PROP_SET_UNSUPPORTED;
    if (id != AMPROPERTY_PIN_CATEGORY) return E_PROP_ID_UNSUPPORTED;
    if (typeSupport) *typeSupport = KSPROPERTY_SUPPORT_GET;
    return S_OK;
}

// ---- ICameraSelection ---------------------------------------------------------

STDMETHODIMP ComposedVideoPin::GetSizeIndex(int* index) {
    if (!index) return E_POINTER;
    ScopedLock hold(pinSettingsLock);
    *index = runtimeSettings.sizeIndex;
    return S_OK;
}

STDMETHODIMP ComposedVideoPin::SetSizeIndex(unsigned index) {
    ScopedLock hold(pinSettingsLock);
    runtimeSettings.sizeIndex = static_cast<int32_t>(index);
    applySizeIndex();
    return S_OK;
}

STDMETHODIMP ComposedVideoPin::GetCameraIndices(int* left, int* right) {
    if (!left || !right) return E_POINTER;
    ScopedLock hold(pinSettingsLock);
    *left = runtimeSettings.leftCameraIndex;
    *right = runtimeSettings.rightCameraIndex;
    return S_OK;
}

STDMETHODIMP ComposedVideoPin::SetCameraIndices(int left, int right) {
    ScopedLock hold(pinSettingsLock);
    runtimeSettings.leftCameraIndex = left;
    runtimeSettings.rightCameraIndex = right;
    return S_OK;
}

// ---- ISpecifyPropertyPages ----------------------------------------------------

STDMETHODIMP ComposedVideoPin::GetPages(CAUUID* pages) {
    if (!pages) return E_POINTER;
    pages->cElems = 0;
    pages->pElems = static_cast<GUID*>(CoTaskMemAlloc(sizeof(GUID)));
    if (!pages->pElems) return E_OUTOFMEMORY;
    pages->cElems = 1;
    pages->pElems[0] = CLSID_CameraSelectionPage;
    return S_OK;
}
