#include "capture/camera_frame_pin.h"

#include "capture/rgb24_format.h"
#include "compositor/frame_store.h"
#include "framework/media_format.h"

CameraFramePin::CameraFramePin(FilterCore* filter, StereoPairingHost* pairing, CriticalSection* lock,
                               LPCWSTR name)
    : InputPinCore(filter, lock, nullptr, name), pairing(pairing) {}

CameraFramePin::~CameraFramePin() {
    heldFrame.Reset();
}

void CameraFramePin::dropHeldFrame() {
    ScopedLock hold(lock);
    heldFrame.Reset();
}

HRESULT CameraFramePin::onDeactivate() {
    ScopedLock hold(lock);
    heldFrame.Reset();
    return InputPinCore::onDeactivate();
}

HRESULT CameraFramePin::acceptFormat(const AM_MEDIA_TYPE& format) {
    const VIDEOINFOHEADER* info = videoInfoOf(format);
    if (!info || info->bmiHeader.biBitCount != 24) return E_INVALIDARG;
    const VideoFormatValues capture = currentVideoFormat();
    if (info->bmiHeader.biWidth != capture.width || info->bmiHeader.biHeight != capture.height) return E_FAIL;
    return S_OK;
}

HRESULT CameraFramePin::adoptFormat(const AM_MEDIA_TYPE& format) {
    HRESULT hr = acceptFormat(format);
    if (FAILED(hr)) return hr;
    hr = InputPinCore::adoptFormat(format);
    if (FAILED(hr)) MessageBoxA(nullptr, "failed setting input pin media", "error", MB_ICONERROR);
    return hr;
}

HRESULT CameraFramePin::onDisconnected() {
    ScopedLock hold(lock);
    upstreamAllocator.Reset();
    return S_OK;
}

HRESULT CameraFramePin::onConnected(IPin* peer) {
    const HRESULT hr = InputPinCore::onConnected(peer);
    if (FAILED(hr)) return hr;
    // The output pin proposes this at position 0 until it is connected.
    if (linkedOutput && !linkedOutput->isConnected()) linkedOutput->adoptFormat(connectionFormat.get());
    return S_OK;
}

STDMETHODIMP CameraFramePin::ReceiveConnection(IPin* connector, const AM_MEDIA_TYPE* format) {
    const HRESULT hr = InputPinCore::ReceiveConnection(connector, format);
    if (hr == S_OK) reconnectLinkedOutput();
    return hr;
}

void CameraFramePin::reconnectLinkedOutput() {
    MediaFormat agreed;
    {
        ScopedLock hold(lock);
        if (!linkedOutput || !isConnected() || !linkedOutput->isConnected()) return;
        if (linkedOutput->connectionMediaFormat() == connectionFormat) return;
        agreed = connectionFormat;
    }
    // Outside the filter lock: the graph takes its own lock, then ours.
    filter->reconnectPin(linkedOutput, &agreed.get());
}

HRESULT CameraFramePin::proposeFormat(int position, MediaFormat* out) {
    ScopedLock hold(lock);
    if (!out) return E_POINTER;
    if (position < 0) return E_INVALIDARG;
    if (position > 10) return VFW_S_NO_MORE_ITEMS;
    if (position == 0) {
        *out = connectionFormat;
        return out->status();
    }
    return buildRgb24Format(80 * position, 60 * position, out);
}

STDMETHODIMP CameraFramePin::EndOfStream() {
    ScopedLock hold(lock);
    if (linkedOutput) {
        const HRESULT hr = linkedOutput->forwardEndOfStream();
        if (FAILED(hr)) return hr;
    }
    return S_OK;
}

STDMETHODIMP CameraFramePin::BeginFlush() {
    ScopedLock hold(lock);
    if (linkedOutput) {
        const HRESULT hr = linkedOutput->forwardBeginFlush();
        if (FAILED(hr)) return hr;
    }
    return InputPinCore::BeginFlush();
}

STDMETHODIMP CameraFramePin::EndFlush() {
    ScopedLock hold(lock);
    if (linkedOutput) {
        const HRESULT hr = linkedOutput->forwardEndFlush();
        if (FAILED(hr)) return hr;
    }
    return InputPinCore::EndFlush();
}

STDMETHODIMP CameraFramePin::NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) {
    ScopedLock hold(lock);
    if (linkedOutput) {
        const HRESULT hr = linkedOutput->forwardNewSegment(start, stop, rate);
        if (FAILED(hr)) return hr;
    }
    return InputPinCore::NewSegment(start, stop, rate);
}

STDMETHODIMP CameraFramePin::QueryInternalConnections(IPin** /*pins*/, ULONG* /*count*/) {
    return E_NOTIMPL;
}

STDMETHODIMP CameraFramePin::NotifyAllocator(IMemAllocator* newAllocator, BOOL readOnly) {
    ScopedLock hold(lock);
    if (!newAllocator) return E_FAIL;
    upstreamAllocator = newAllocator;
    return InputPinCore::NotifyAllocator(newAllocator, readOnly);
}

STDMETHODIMP CameraFramePin::Receive(IMediaSample* sample) {
    if (!sample) return E_POINTER;
    ScopedLock hold(lock);
    // The first sample after the slot became empty is the one paired; later
    // ones pass through unkept until the pairing step has used it.
    if (!heldFrame) heldFrame = sample;
    const HRESULT hr = InputPinCore::Receive(sample);
    if (hr != S_OK) return hr;
    if (pairing) pairing->pairAndDeliver();
    return S_OK;
}
