// The source filter base and its capture pin.
#include "framework/source_filter.h"

#include <cstring>
#include <utility>

namespace {

constexpr LONG sampleBufferCount = 3;

}  // namespace

// ---- CapturePinCore -----------------------------------------------------------

CapturePinCore::CapturePinCore(SourceFilterCore* filter, HRESULT* status)
    : OutputPinCore(filter, filter->filterLockPtr(), status, L"Capture"), source(filter) {}

CapturePinCore::~CapturePinCore() {
    stopStreaming();
}

HRESULT CapturePinCore::nonDelegatingQueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    if (riid == IID_IAMStreamConfig)
        return ComponentCore::getInterface(static_cast<IAMStreamConfig*>(this), ppv);
    if (riid == IID_IKsPropertySet)
        return ComponentCore::getInterface(static_cast<IKsPropertySet*>(this), ppv);
    return OutputPinCore::nonDelegatingQueryInterface(riid, ppv);
}

HRESULT CapturePinCore::acceptFormat(const AM_MEDIA_TYPE& format) {
    HRESULT hr = checkFormat(format);
    if (hr != S_OK) return hr;
    if (chosenFormat.formatLength() != 0) {
        // After SetFormat only that size and type are accepted.
        const VIDEOINFOHEADER* want = chosenFormat.videoInfo();
        const VIDEOINFOHEADER* got = videoInfoOf(format);
        if (!got || format.subtype != chosenFormat.subtype() ||
            got->bmiHeader.biWidth != want->bmiHeader.biWidth ||
            got->bmiHeader.biHeight != want->bmiHeader.biHeight)
            return VFW_E_TYPE_NOT_ACCEPTED;
    }
    return S_OK;
}

HRESULT CapturePinCore::proposeFormat(int position, MediaFormat* out) {
    if (!out) return E_POINTER;
    if (position < 0) return E_INVALIDARG;
    ScopedLock hold(lock);
    if (chosenFormat.formatLength() != 0) {
        if (position > 0) return VFW_S_NO_MORE_ITEMS;
        *out = chosenFormat;
        return out->status();
    }
    if (position >= capabilityCount()) return VFW_S_NO_MORE_ITEMS;
    makeCapabilityType(position, out);
    return out->formatLength() ? S_OK : E_OUTOFMEMORY;
}

HRESULT CapturePinCore::sizeBuffers(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* requirements) {
    if (!allocator || !requirements) return E_POINTER;
    const VIDEOINFOHEADER* info = connectionFormat.videoInfo();
    if (!info) return VFW_E_TYPE_NOT_ACCEPTED;
    const LONG imageSize = static_cast<LONG>(bitmapImageSize(info->bmiHeader));
    ALLOCATOR_PROPERTIES wanted = *requirements;
    if (wanted.cBuffers < sampleBufferCount) wanted.cBuffers = sampleBufferCount;
    if (wanted.cbBuffer < imageSize) wanted.cbBuffer = imageSize;
    if (wanted.cbAlign < 1) wanted.cbAlign = 1;
    ALLOCATOR_PROPERTIES actual{};
    HRESULT hr = allocator->SetProperties(&wanted, &actual);
    if (FAILED(hr)) return hr;
    if (actual.cbBuffer < imageSize || actual.cBuffers < 1) return E_FAIL;
    return S_OK;
}

// ---- streaming ------------------------------------------------------------------

HRESULT CapturePinCore::startStreaming() {
    ComPtr<IPin> peer = connectedPeer();
    HRESULT queueResult = S_OK;
    queue = std::make_unique<DeliveryQueue>(peer.Get(), &queueResult, DeliveryQueueOptions{});
    if (FAILED(queueResult)) {
        queue.reset();
        OutputPinCore::onDeactivate();
        return queueResult;
    }
    streamAllocator = allocator;
    frameNumber = 0;
    {
        std::lock_guard<std::mutex> hold(streamMutex);
        stopRequested = false;
        running = false;
        onStreamStarting();
    }
    streamer = std::thread([this] { streamLoop(); });
    return S_OK;
}

HRESULT CapturePinCore::onRun(REFERENCE_TIME start) {
    std::lock_guard<std::mutex> hold(streamMutex);
    streamClock = source->referenceClock();
    streamStart = start;
    running = true;
    ++runGeneration;
    streamChanged.notify_all();
    return S_OK;
}

void CapturePinCore::streamPaused() {
    std::lock_guard<std::mutex> hold(streamMutex);
    running = false;
    streamChanged.notify_all();
}

HRESULT CapturePinCore::onDeactivate() {
    {
        std::lock_guard<std::mutex> hold(streamMutex);
        stopRequested = true;
        running = false;
        streamChanged.notify_all();
    }
    // Decommitting first releases a streaming thread waiting in GetBuffer.
    HRESULT hr = OutputPinCore::onDeactivate();
    stopStreaming();
    return hr;
}

void CapturePinCore::stopStreaming() {
    {
        std::lock_guard<std::mutex> hold(streamMutex);
        stopRequested = true;
        streamChanged.notify_all();
    }
    if (streamer.joinable()) streamer.join();
    queue.reset();  // joins the worker, releases what it still holds
    streamAllocator.Reset();
    releaseStream();
    std::lock_guard<std::mutex> hold(streamMutex);
    streamClock.Reset();
}

HRESULT CapturePinCore::obtainFrameBuffer(LONG size, ComPtr<IMediaSample>* sample, BYTE** data) {
    HRESULT hr = streamAllocator->GetBuffer(sample->ReleaseAndGetAddressOf(), nullptr, nullptr, 0);
    if (FAILED(hr)) return hr;
    if (!*sample) return E_UNEXPECTED;
    *data = nullptr;
    if (FAILED((*sample)->GetPointer(data)) || !*data || (*sample)->GetSize() < size) return S_FALSE;
    return S_OK;
}

HRESULT CapturePinCore::sendFrame(ComPtr<IMediaSample> sample, LONG length, const REFERENCE_TIME* begin,
                                  REFERENCE_TIME duration, bool discontinuity) {
    sample->SetActualDataLength(length);
    sample->SetSyncPoint(TRUE);
    sample->SetDiscontinuity(discontinuity ? TRUE : FALSE);
    sample->SetPreroll(FALSE);
    if (begin) {
        REFERENCE_TIME start = *begin;
        REFERENCE_TIME end = start + duration;
        sample->SetTime(&start, &end);
    } else {
        sample->SetTime(nullptr, nullptr);
    }
    LONGLONG mediaBegin = frameNumber;
    LONGLONG mediaEnd = frameNumber + 1;
    sample->SetMediaTime(&mediaBegin, &mediaEnd);
    ++frameNumber;
    return queue->receive(std::move(sample));
}

// ---- IAMStreamConfig --------------------------------------------------------

HRESULT CapturePinCore::peerAccepts(const MediaFormat& chosen) {
    if (!isConnected()) return S_OK;
    ComPtr<IPin> peer = connectedPeer();
    return peer->QueryAccept(&chosen.get()) == S_OK ? S_OK : VFW_E_INVALIDMEDIATYPE;
}

HRESULT CapturePinCore::useChosenFormat(MediaFormat chosen) {
    chosenFormat = std::move(chosen);
    bumpFormatVersion();
    if (isConnected()) return source->reconnectPin(this, chosenFormat.raw());
    return S_OK;
}

STDMETHODIMP CapturePinCore::GetFormat(AM_MEDIA_TYPE** format) {
    if (!format) return E_POINTER;
    *format = nullptr;
    ScopedLock hold(lock);
    MediaFormat current;
    if (isConnected())
        current = connectionFormat;
    else if (chosenFormat.formatLength() != 0)
        current = chosenFormat;
    else if (capabilityCount() > 0)
        makeCapabilityType(0, &current);
    else
        return VFW_E_NO_TYPES;
    *format = current.createCopy();
    return *format ? S_OK : E_OUTOFMEMORY;
}

STDMETHODIMP CapturePinCore::GetNumberOfCapabilities(int* count, int* size) {
    if (!count || !size) return E_POINTER;
    ScopedLock hold(lock);
    *count = capabilityCount();
    *size = sizeof(VIDEO_STREAM_CONFIG_CAPS);
    return S_OK;
}

STDMETHODIMP CapturePinCore::GetStreamCaps(int index, AM_MEDIA_TYPE** format, BYTE* caps) {
    if (!format || !caps) return E_POINTER;
    *format = nullptr;
    if (index < 0) return E_INVALIDARG;
    ScopedLock hold(lock);
    if (index >= capabilityCount()) return S_FALSE;
    MediaFormat type;
    makeCapabilityType(index, &type);
    *format = type.createCopy();
    if (!*format) return E_OUTOFMEMORY;
    VIDEO_STREAM_CONFIG_CAPS config;
    std::memset(&config, 0, sizeof(config));
    config.guid = FORMAT_VideoInfo;
    describeCapability(index, &config);
    std::memcpy(caps, &config, sizeof(config));
    return S_OK;
}

// ---- SourceFilterCore -------------------------------------------------------

SourceFilterCore::SourceFilterCore(REFCLSID classId, IUnknown* outer)
    : FilterCore(classId, &filterLock, outer) {}

SourceFilterCore::~SourceFilterCore() = default;

PinCore* SourceFilterCore::pinAt(int index) {
    return index == 0 ? capture.get() : nullptr;
}

STDMETHODIMP SourceFilterCore::Pause() {
    ScopedLock hold(lock);
    const bool wasRunning = state.load() == State_Running;
    HRESULT hr = FilterCore::Pause();
    if (SUCCEEDED(hr) && wasRunning) capture->streamPaused();
    return hr;
}

STDMETHODIMP SourceFilterCore::GetState(DWORD timeoutMs, FILTER_STATE* out) {
    HRESULT hr = FilterCore::GetState(timeoutMs, out);
    if (hr == S_OK && *out == State_Paused) return VFW_S_CANT_CUE;
    return hr;
}
