#include "filter/composed_video_pin.h"

#include <cstring>
#include <new>

#include "capture/camera_attachment.h"
#include "capture/rgb24_format.h"
#include "compositor/frame_store.h"
#include "filter/stereo_camera_filter.h"
#include "framework/runtime_settings.h"
#include "platform/trace.h"

namespace {

// Proposed sizes are position x (80 x 60) for positions 1..10.
constexpr int sizeStepWidth = 80;
constexpr int sizeStepHeight = 60;
constexpr int lastProposedPosition = 10;
// IAMStreamConfig: capability count; index 0 stands for the largest (8).
constexpr int capabilityCount = 8;
constexpr LONG minBitsPerSecond = 23040;

bool sameInEveryField(const AM_MEDIA_TYPE& a, const AM_MEDIA_TYPE& b) {
    return mediaTypesEqual(a, b) && a.bFixedSizeSamples == b.bFixedSizeSamples &&
           a.bTemporalCompression == b.bTemporalCompression && a.lSampleSize == b.lSampleSize;
}

// The capture sizes by size index (RuntimeSettings::sizeIndex).
struct CaptureSize {
    LONG width;
    LONG height;
};
constexpr CaptureSize captureSizes[] = {{320, 240}, {640, 480}};

// SetFormat's check: E_INVALIDARG without a video-info block,
// VFW_E_INVALIDMEDIATYPE unless a bottom-up 24-bit RGB video type of a
// capture size; else S_OK with that size's index in *sizeIndex.
HRESULT checkStreamFormat(const AM_MEDIA_TYPE& format, int32_t* sizeIndex) {
    const VIDEOINFOHEADER* info = videoInfoOf(format);
    if (!info || !format.pbFormat) return E_INVALIDARG;
    const BITMAPINFOHEADER& bitmap = info->bmiHeader;
    if (format.majortype != MEDIATYPE_Video || format.subtype != MEDIASUBTYPE_RGB24 ||
        bitmap.biBitCount != 24 || bitmap.biCompression != BI_RGB)
        return VFW_E_INVALIDMEDIATYPE;
    for (int32_t index = 0; index < static_cast<int32_t>(sizeof(captureSizes) / sizeof(captureSizes[0]));
         ++index) {
        if (bitmap.biWidth == captureSizes[index].width && bitmap.biHeight == captureSizes[index].height) {
            *sizeIndex = index;
            return S_OK;
        }
    }
    return VFW_E_INVALIDMEDIATYPE;
}

// The media types `pin` offers, in its order (at most maxCopiedTypes).
constexpr int maxCopiedTypes = 64;
std::vector<MediaFormat> copyOfferedTypes(IPin* pin) {
    std::vector<MediaFormat> types;
    ComPtr<IEnumMediaTypes> list;
    if (FAILED(pin->EnumMediaTypes(list.GetAddressOf())) || !list) return types;
    while (static_cast<int>(types.size()) < maxCopiedTypes) {
        AM_MEDIA_TYPE* type = nullptr;
        ULONG fetched = 0;
        if (list->Next(1, &type, &fetched) != S_OK || fetched != 1 || !type) {
            deleteMediaType(fetched == 1 ? type : nullptr);
            break;
        }
        MediaFormat copy(*type);
        deleteMediaType(type);
        if (SUCCEEDED(copy.status())) types.push_back(std::move(copy));
    }
    return types;
}

// ReconnectEx with the type when the graph offers IFilterGraph2, else Reconnect.
HRESULT reconnectThrough(IFilterGraph* graph, IPin* pin, const AM_MEDIA_TYPE* format) {
    ComPtr<IFilterGraph2> graph2;
    if (SUCCEEDED(ComPtr<IFilterGraph>(graph).As(&graph2)) && graph2) return graph2->ReconnectEx(pin, format);
    return graph->Reconnect(pin);
}

}  // namespace

// A current type that cannot be built (out of memory) stays empty;
// copyCurrentType rebuilds it when it is read.
ComposedVideoPin::ComposedVideoPin(StereoCameraFilter* filter, CriticalSection* lock, LPCWSTR name)
    : OutputPinCore(filter, lock, nullptr, name), stereoFilter(filter) {
    const int position = currentVideoFormat().width / sizeStepWidth;
    buildRgb24Format(position * sizeStepWidth, position * sizeStepHeight, &currentType);
}

ComposedVideoPin::~ComposedVideoPin() = default;

HRESULT ComposedVideoPin::nonDelegatingQueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    if (riid == IID_IAMStreamConfig)
        return ComponentCore::getInterface(static_cast<IAMStreamConfig*>(this), ppv);
    if (riid == IID_IKsPropertySet)
        return ComponentCore::getInterface(static_cast<IKsPropertySet*>(this), ppv);
    if (riid == IID_ISpecifyPropertyPages)
        return ComponentCore::getInterface(static_cast<ISpecifyPropertyPages*>(this), ppv);
    if (riid == IID_ICameraSelection)
        return ComponentCore::getInterface(static_cast<ICameraSelection*>(this), ppv);
    return OutputPinCore::nonDelegatingQueryInterface(riid, ppv);
}

// ---- connection ------------------------------------------------------------

ComPtr<IFilterGraph> ComposedVideoPin::graphReference() {
    ScopedLock hold(lock);
    return ComPtr<IFilterGraph>(filter->filterGraph());
}

STDMETHODIMP ComposedVideoPin::Connect(IPin* receiver, const AM_MEDIA_TYPE* format) {
    if (!receiver) return E_POINTER;
    CameraFramePin* left = stereoFilter->leftInput();
    bool attach = false;
    {
        ScopedLock hold(lock);
        // The framework refuses these too; checking first keeps the cameras
        // out of a graph that could not take the connection anyway.
        if (isConnected()) return VFW_E_ALREADY_CONNECTED;
        if (!filter->isStopped()) return VFW_E_NOT_STOPPED;
        attach = !left->isConnected();
    }
    // The cameras join the graph and connect to the input pins through graph
    // calls, made without filterLock (the input pins take it themselves).
    if (attach && FAILED(attachCameras(filter, left, stereoFilter->rightInput()))) {
        DV_TRACE(TraceLevel::error, "pin %s: cameras not attached, connection refused: %s",
                 TraceText(pinName().c_str()).text, TraceHr(VFW_E_TYPE_NOT_ACCEPTED).text);
        return VFW_E_TYPE_NOT_ACCEPTED;
    }

    // The negotiation offers the left camera's types (see negotiationTypes).
    const ComPtr<IPin> leftCamera = left->connectedPeer();
    std::vector<MediaFormat> cameraTypes;
    if (leftCamera) cameraTypes = copyOfferedTypes(leftCamera.Get());
    {
        ScopedLock hold(lock);
        negotiating = leftCamera != nullptr;
        negotiationTypes = std::move(cameraTypes);
    }
    HRESULT hr = OutputPinCore::Connect(receiver, format);
    {
        ScopedLock hold(lock);
        negotiating = false;
        negotiationTypes.clear();
    }
    if (FAILED(hr)) return hr;

    MediaFormat agreed;
    bool camerasDiffer = false;
    {
        ScopedLock hold(lock);
        agreed = connectionFormat;
        camerasDiffer =
            linkedInput && !sameInEveryField(agreed.get(), linkedInput->connectionMediaFormat().get());
    }
    if (camerasDiffer && FAILED(agreed.status())) hr = E_OUTOFMEMORY;
    // The delivered buffer is the left camera's: both cameras must produce the
    // agreed format.
    if (SUCCEEDED(hr) && camerasDiffer) {
        if (ComPtr<IFilterGraph> graph = graphReference()) hr = reconnectCameras(graph.Get(), agreed);
    }
    if (FAILED(hr)) {
        // The cameras could not follow: the connection is undone (the cameras
        // stay attached, as after any failed connection).
        receiver->Disconnect();
        OutputPinCore::Disconnect();
        return hr;
    }
    ScopedLock hold(lock);
    if (isConnected() && acceptFormat(connectionFormat.get()) == S_OK) {
        MediaFormat copy(connectionFormat);
        if (SUCCEEDED(copy.status())) currentType = std::move(copy);
    }
    return S_OK;
}

HRESULT ComposedVideoPin::reconnectCameras(IFilterGraph* graph, const MediaFormat& agreed) {
    if (ComPtr<IPin> leftCamera = stereoFilter->leftInput()->connectedPeer()) {
        const HRESULT left = reconnectThrough(graph, leftCamera.Get(), &agreed.get());
        if (FAILED(left))
            DV_TRACE(TraceLevel::error, "pin %s: left camera not reconnected as %s: %s",
                     TraceText(pinName().c_str()).text, TraceType(&agreed.get()).text, TraceHr(left).text);
    }
    if (ComPtr<IPin> rightCamera = stereoFilter->rightInput()->connectedPeer()) {
        const HRESULT right = reconnectThrough(graph, rightCamera.Get(), &agreed.get());
        if (FAILED(right))
            DV_TRACE(TraceLevel::error, "pin %s: right camera not reconnected as %s: %s",
                     TraceText(pinName().c_str()).text, TraceType(&agreed.get()).text, TraceHr(right).text);
        return right;
    }
    return S_OK;
}

STDMETHODIMP ComposedVideoPin::Disconnect() {
    // Takes filterLock itself; the camera half below makes graph calls and so
    // runs without it.
    const HRESULT own = OutputPinCore::Disconnect();
    // A pin that stays connected (filter not stopped, allocator refusing to
    // decommit) keeps its cameras too.
    if (FAILED(own)) return own;
    return detachCameras(filter, stereoFilter->leftInput(), stereoFilter->rightInput());
}

STDMETHODIMP ComposedVideoPin::EnumMediaTypes(IEnumMediaTypes** out) {
    if (!out) return E_POINTER;
    {
        ScopedLock hold(lock);
        if (negotiating) return OutputPinCore::EnumMediaTypes(out);
    }
    // The camera pin is asked without filterLock.
    if (linkedInput) {
        if (ComPtr<IPin> camera = linkedInput->connectedPeer()) return camera->EnumMediaTypes(out);
    }
    return OutputPinCore::EnumMediaTypes(out);
}

STDMETHODIMP ComposedVideoPin::QueryInternalConnections(IPin** /*pins*/, ULONG* /*count*/) {
    return E_NOTIMPL;
}

STDMETHODIMP ComposedVideoPin::Notify(IBaseFilter* /*sender*/, Quality /*quality*/) {
    return E_NOTIMPL;
}

HRESULT ComposedVideoPin::acceptFormat(const AM_MEDIA_TYPE& format) {
    const VIDEOINFOHEADER* info = videoInfoOf(format);
    if (!info) return E_INVALIDARG;
    if (info->bmiHeader.biBitCount != 24) return VFW_E_TYPE_NOT_ACCEPTED;
    return S_OK;
}

HRESULT ComposedVideoPin::adoptFormat(const AM_MEDIA_TYPE& format) {
    ScopedLock hold(lock);
    // A connection being made has its peer recorded before the type.
    if (isConnected()) return OutputPinCore::adoptFormat(format);
    const HRESULT accepted = acceptFormat(format);
    if (accepted != S_OK) return accepted;
    MediaFormat copy(format);
    if (FAILED(copy.status())) return E_OUTOFMEMORY;
    currentType = std::move(copy);
    return S_OK;
}

HRESULT ComposedVideoPin::copyCurrentType(MediaFormat* out) {
    ScopedLock hold(lock);
    if (currentType.videoInfo()) {
        *out = currentType;
        return out->status();
    }
    const VideoFormatValues size = currentVideoFormat();
    return buildRgb24Format(size.width, size.height, out);
}

HRESULT ComposedVideoPin::proposeFormat(int position, MediaFormat* out) {
    if (!out) return E_POINTER;
    if (position < 0) return E_INVALIDARG;
    {
        ScopedLock hold(lock);
        if (negotiating) {
            if (static_cast<size_t>(position) >= negotiationTypes.size()) return VFW_S_NO_MORE_ITEMS;
            *out = negotiationTypes[static_cast<size_t>(position)];
            return out->status();
        }
    }
    if (position > lastProposedPosition) return VFW_S_NO_MORE_ITEMS;
    if (position == 0) return copyCurrentType(out);
    return buildRgb24Format(position * sizeStepWidth, position * sizeStepHeight, out);
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
    deliveryQueue.reset(new (std::nothrow) DeliveryQueue(peer.Get(), &hr, DeliveryQueueOptions{}));
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
    int32_t sizeIndex = 0;
    const HRESULT checked = checkStreamFormat(*format, &sizeIndex);
    if (FAILED(checked)) return checked;
    MediaFormat chosen(*format);
    if (FAILED(chosen.status())) return E_OUTOFMEMORY;
    VIDEOINFOHEADER* info = chosen.videoInfo();
    info->bmiHeader.biSizeImage = bitmapImageSize(info->bmiHeader);
    if (info->AvgTimePerFrame <= 0) info->AvgTimePerFrame = currentVideoFormat().frameInterval;
    chosen.setSampleSize(info->bmiHeader.biSizeImage);
    chosen.setTemporalCompression(false);

    applyCaptureSize(sizeIndex);
    ComPtr<IFilterGraph> graph;
    {
        ScopedLock hold(lock);
        currentType = std::move(chosen);
        bumpFormatVersion();
        if (isConnected()) graph = filter->filterGraph();
    }
    // Outside filterLock: the graph takes its own lock, then ours.
    if (graph) graph->Reconnect(this);
    return S_OK;
}

STDMETHODIMP ComposedVideoPin::GetFormat(AM_MEDIA_TYPE** format) {
    if (!format) return E_POINTER;
    *format = nullptr;
    MediaFormat current;
    const HRESULT hr = copyCurrentType(&current);
    if (FAILED(hr)) return hr;
    *format = current.createCopy();
    return *format ? S_OK : E_OUTOFMEMORY;
}

STDMETHODIMP ComposedVideoPin::GetNumberOfCapabilities(int* count, int* size) {
    if (!count || !size) return E_POINTER;
    *count = capabilityCount;
    *size = sizeof(VIDEO_STREAM_CONFIG_CAPS);
    return S_OK;
}

STDMETHODIMP ComposedVideoPin::GetStreamCaps(int index, AM_MEDIA_TYPE** format, BYTE* caps) {
    if (!format || !caps) return E_POINTER;
    *format = nullptr;
    if (index < 0) return E_INVALIDARG;
    if (index >= capabilityCount) return S_FALSE;
    const int factor = index == 0 ? capabilityCount : index;
    const LONG width = factor * sizeStepWidth;
    const LONG height = factor * sizeStepHeight;
    const VideoFormatValues current = currentVideoFormat();

    // Start from the current type (always a whole VIDEOINFOHEADER).
    MediaFormat type;
    if (FAILED(copyCurrentType(&type)) || !type.videoInfo()) return E_OUTOFMEMORY;
    VIDEOINFOHEADER info = *type.videoInfo();
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
    record.MinCroppingSize = SIZE{sizeStepWidth, sizeStepHeight};
    record.MaxCroppingSize = SIZE{current.width, current.height};
    record.CropGranularityX = sizeStepWidth;
    record.CropGranularityY = sizeStepHeight;
    record.MinOutputSize = SIZE{sizeStepWidth, sizeStepHeight};
    record.MaxOutputSize = SIZE{current.width, current.height};
    record.MinFrameInterval = current.frameInterval;
    record.MaxFrameInterval = current.frameInterval;
    record.MinBitsPerSecond = minBitsPerSecond;
    record.MaxBitsPerSecond = current.frameRate * current.height * current.width * 24;
    std::memcpy(caps, &record, sizeof(record));

    *format = result;
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
    applySizeIndex(runtimeSettings.sizeIndex);
    return S_OK;
}

void ComposedVideoPin::applyCaptureSize(int32_t sizeIndex) {
    ScopedLock hold(pinSettingsLock);
    if (runtimeSettings.sizeIndex == sizeIndex) return;
    runtimeSettings.sizeIndex = sizeIndex;
    applySizeIndex(runtimeSettings.sizeIndex);
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
