#include "filter/stereo_camera_filter.h"

#include <new>

#include "compositor/image_mode.h"
#include "filter/composed_video_pin.h"
#include "filter/settings_store.h"
#include "framework/runtime_settings.h"
#include "platform/trace.h"

ComponentCore* StereoCameraFilter::create(IUnknown* outer, HRESULT* result) {
    HRESULT ignored = S_OK;
    if (!result) result = &ignored;
    try {
        return new StereoCameraFilter(outer, result);
    } catch (const std::bad_alloc&) {
        *result = E_OUTOFMEMORY;
        return nullptr;
    }
}

StereoCameraFilter::StereoCameraFilter(IUnknown* outer, HRESULT* result)
    : FilterCore(CLSID_StereoCameraFilter, &filterLock, outer) {
    // Mode and swap flag start from their defaults; the compositor works on
    // plain buffers, so there is no image library error mode to configure.
    runtimeSettings.imageMode = defaultImageMode;
    runtimeSettings.swapCameras = 0;

    loadSettings();

    input1.reset(new (std::nothrow) CameraFramePin(this, this, &filterLock, L"Input1"));
    input2.reset(new (std::nothrow) CameraFramePin(this, this, &filterLock, L"Input2"));
    output1.reset(new (std::nothrow) ComposedVideoPin(this, &filterLock, L"Output1"));
    output2.reset(new (std::nothrow) ComposedVideoPin(this, &filterLock, L"Output2"));
    if (!input1 || !input2 || !output1 || !output2) {
        if (result) *result = E_OUTOFMEMORY;
        return;
    }

    input1->linkedOutput = output1.get();
    input2->linkedOutput = output2.get();
    output1->linkedInput = input1.get();
    output2->linkedInput = input2.get();
}

StereoCameraFilter::~StereoCameraFilter() {
    input1.reset();
    input2.reset();
    output1.reset();
    output2.reset();
}

HRESULT StereoCameraFilter::nonDelegatingQueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    if (riid == IID_ISpecifyPropertyPages)
        return getInterface(static_cast<ISpecifyPropertyPages*>(this), ppv);
    if (riid == IID_IStereoImageControl) return getInterface(static_cast<IStereoImageControl*>(this), ppv);
    if (riid == IID_IStereoFrameCallback) return getInterface(static_cast<IStereoFrameCallback*>(this), ppv);
    return FilterCore::nonDelegatingQueryInterface(riid, ppv);
}

PinCore* StereoCameraFilter::pinAt(int index) {
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

STDMETHODIMP StereoCameraFilter::Stop() {
    ScopedLock hold(filterLock);
    FilterCore::Stop();  // pins without an allocator report failures here; the filter stops regardless
    state = State_Stopped;
    return S_OK;
}

void StereoCameraFilter::endStreamIfCameraMissing() {
    if (input1->isConnected() && input2->isConnected()) return;
    DV_TRACE(TraceLevel::error, "filter: %s camera not connected; end of stream, no picture will be sent",
             input1->isConnected() ? "right" : "left");
    input1->EndOfStream();
    input2->EndOfStream();
}

STDMETHODIMP StereoCameraFilter::Pause() {
    ScopedLock hold(filterLock);
    const HRESULT hr = FilterCore::Pause();
    endStreamIfCameraMissing();
    input1->dropHeldFrame();
    input2->dropHeldFrame();
    return hr;
}

STDMETHODIMP StereoCameraFilter::Run(REFERENCE_TIME start) {
    ScopedLock hold(filterLock);
    const HRESULT hr = FilterCore::Run(start);
    endStreamIfCameraMissing();
    return hr;
}

STDMETHODIMP StereoCameraFilter::JoinFilterGraph(IFilterGraph* newGraph, LPCWSTR newName) {
    ScopedLock hold(filterLock);
    return FilterCore::JoinFilterGraph(newGraph, newName);
}

STDMETHODIMP StereoCameraFilter::GetPages(CAUUID* pages) {
    if (!pages) return E_POINTER;
    pages->cElems = 0;
    pages->pElems = static_cast<GUID*>(CoTaskMemAlloc(sizeof(GUID)));
    if (!pages->pElems) return E_OUTOFMEMORY;
    pages->cElems = 1;
    pages->pElems[0] = CLSID_ImageTypePage;
    return S_OK;
}

STDMETHODIMP StereoCameraFilter::GetImageMode(int* mode) {
    if (!mode) return E_POINTER;
    ScopedLock hold(settingsLock);
    *mode = runtimeSettings.imageMode;
    return S_OK;
}

STDMETHODIMP StereoCameraFilter::SetImageMode(int mode) {
    ScopedLock hold(settingsLock);
    runtimeSettings.imageMode = mode;
    return S_OK;
}

STDMETHODIMP StereoCameraFilter::GetSwapFlag(int* flag) {
    if (!flag) return E_POINTER;
    ScopedLock hold(settingsLock);
    *flag = runtimeSettings.swapCameras;
    return S_OK;
}

STDMETHODIMP StereoCameraFilter::SetSwapFlag(int flag) {
    ScopedLock hold(settingsLock);
    runtimeSettings.swapCameras = flag;
    return S_OK;
}

STDMETHODIMP StereoCameraFilter::SetFrameCallback(StereoFrameCallback callback) {
    frameCallback = callback;
    return S_OK;
}
