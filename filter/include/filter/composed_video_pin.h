// ComposedVideoPin: the virtual camera's output pin. It attaches the two
// cameras when the host connects it, shares the left camera's allocator with
// the downstream pin and delivers the composed left camera sample through a
// delivery queue.
#pragma once

#include <memory>

#include "capture/camera_frame_pin.h"
#include "filter/stereo_interfaces.h"
#include "framework/delivery_queue.h"
#include "framework/pin_core.h"
#include "framework/sync.h"
#include "platform/win.h"

#ifndef E_PROP_SET_UNSUPPORTED
#define E_PROP_SET_UNSUPPORTED ((HRESULT)0x80070492L)
#endif
#ifndef E_PROP_ID_UNSUPPORTED
#define E_PROP_ID_UNSUPPORTED ((HRESULT)0x80070490L)
#endif

class StereoCameraFilter;

// Locking: every operation except ICameraSelection runs under the filter's
// lock (`filterLock`); ICameraSelection holds `pinSettingsLock`. The delivery
// queue exists while the pin is active and connected; its lock is taken
// after filterLock.
class ComposedVideoPin final : public OutputPinCore,
                               public IAMStreamConfig,
                               public IKsPropertySet,
                               public ICameraSelection,
                               public ISpecifyPropertyPages {
public:
    // `filter` owns the pin (not counted); `lock` is its filterLock. The
    // current media type starts as the proposed type for the current video
    // format (position 4 for 320 x 240, 8 for 640 x 480).
    ComposedVideoPin(StereoCameraFilter* filter, CriticalSection* lock, HRESULT* status, LPCWSTR name);
    ~ComposedVideoPin() override;

    DV_FORWARD_IUNKNOWN
    // IAMStreamConfig, IKsPropertySet, ISpecifyPropertyPages, ICameraSelection,
    // then the framework's pin interfaces.
    HRESULT nonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    // The input pin of the same side ("Input1" for "Output1"), set by the
    // filter after construction; not counted (the filter owns both pins).
    CameraFramePin* linkedInput = nullptr;

    // ---- hooks ----
    HRESULT onActivate() override;
    HRESULT onDeactivate() override;
    HRESULT acceptFormat(const AM_MEDIA_TYPE& format) override;
    HRESULT onConnected(IPin* peer) override;
    HRESULT proposeFormat(int position, MediaFormat* out) override;
    HRESULT chooseAllocator(IMemInputPin* peerInput, IMemAllocator** out) override;
    HRESULT sizeBuffers(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* requirements) override;
    // Hands `sample` (with a reference of the queue's own) to the delivery
    // queue; S_OK without delivering anything while there is no queue.
    HRESULT sendSample(IMediaSample* sample) override;
    HRESULT forwardEndOfStream() override;
    HRESULT forwardBeginFlush() override;
    HRESULT forwardEndFlush() override;
    HRESULT forwardNewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) override;

    // Whether the delivery queue exists (the pin is active and connected).
    bool hasDeliveryQueue() const { return deliveryQueue != nullptr; }

    // ---- IPin ----
    STDMETHODIMP Connect(IPin* receiver, const AM_MEDIA_TYPE* format) override;
    STDMETHODIMP Disconnect() override;
    STDMETHODIMP EnumMediaTypes(IEnumMediaTypes** out) override;
    STDMETHODIMP QueryInternalConnections(IPin** pins, ULONG* count) override;
    // ---- IQualityControl ----
    STDMETHODIMP Notify(IBaseFilter* sender, Quality quality) override;

    // ---- IAMStreamConfig ----
    STDMETHODIMP SetFormat(AM_MEDIA_TYPE* format) override;
    STDMETHODIMP GetFormat(AM_MEDIA_TYPE** format) override;
    STDMETHODIMP GetNumberOfCapabilities(int* count, int* size) override;
    STDMETHODIMP GetStreamCaps(int index, AM_MEDIA_TYPE** format, BYTE* caps) override;

    // ---- IKsPropertySet ----
    STDMETHODIMP Set(REFGUID propSet, DWORD id, LPVOID instanceData, DWORD instanceLength, LPVOID propertyData,
                     DWORD dataLength) override;
    STDMETHODIMP Get(REFGUID propSet, DWORD id, LPVOID instanceData, DWORD instanceLength, LPVOID propertyData,
                     DWORD dataLength, DWORD* returned) override;
    STDMETHODIMP QuerySupported(REFGUID propSet, DWORD id, DWORD* typeSupport) override;

    // ---- ICameraSelection (under pinSettingsLock) ----
    STDMETHODIMP GetSizeIndex(int* index) override;
    STDMETHODIMP SetSizeIndex(unsigned index) override;
    STDMETHODIMP GetCameraIndices(int* left, int* right) override;
    STDMETHODIMP SetCameraIndices(int left, int right) override;

    // ---- ISpecifyPropertyPages: the camera selection page ----
    STDMETHODIMP GetPages(CAUUID* pages) override;

private:
    StereoCameraFilter* stereoFilter;  // weak: the filter owns the pin
    CriticalSection pinSettingsLock;
    std::unique_ptr<DeliveryQueue> deliveryQueue;  // under filterLock
};
