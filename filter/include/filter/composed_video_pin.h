// ComposedVideoPin: the virtual camera's output pin. It attaches the two
// cameras when the host connects it, shares the left camera's allocator with
// the downstream pin and delivers the composed left camera sample through a
// delivery queue.
#pragma once

#include <memory>
#include <vector>

#include "capture/camera_frame_pin.h"
#include "filter/stereo_interfaces.h"
#include "framework/delivery_queue.h"
#include "framework/pin_core.h"
#include "framework/sync.h"
#include "platform/win.h"

class StereoCameraFilter;

// Locking: the pin's state (connection, current type, delivery queue) is
// guarded by the filter's lock (`filterLock`); ICameraSelection holds
// `pinSettingsLock`. The delivery queue exists while the pin is active and
// connected; its lock is taken after filterLock.
//
// Lock order with the host's graph: the graph takes its own lock and then
// filterLock (state changes, AddFilter, Connect). So this pin never calls the
// graph, a camera filter or a camera pin while it holds filterLock: Connect,
// Disconnect, SetFormat and EnumMediaTypes copy what they need under the lock
// and make those calls after releasing it. (The framework's negotiation calls
// the downstream pin's ReceiveConnection under filterLock; a downstream pin
// does not call back into this filter.)
//
// The current media type (`currentType`) is always a whole 24-bit RGB
// video-info type: the one last agreed on a connection, set by SetFormat or
// handed over by the left camera's pin, else the one built at construction.
// GetFormat, position 0 and GetStreamCaps read it; a disconnection or a
// failed connection attempt leaves it as it was.
class ComposedVideoPin final : public OutputPinCore,
                               public IAMStreamConfig,
                               public CapturePinCategory,
                               public ICameraSelection,
                               public ISpecifyPropertyPages {
public:
    // `filter` owns the pin (not counted); `lock` is its filterLock. The
    // current media type starts as the proposed type for the current video
    // format (position 4 for 320 x 240, 8 for 640 x 480), or empty if it
    // cannot be built (see copyCurrentType).
    ComposedVideoPin(StereoCameraFilter* filter, CriticalSection* lock, LPCWSTR name);
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
    // While a connection is being made: the framework's (the connection
    // format). While unconnected: the left camera's pin hands over its type,
    // which becomes the current type if acceptFormat takes it (its refusal is
    // returned). Under filterLock.
    HRESULT adoptFormat(const AM_MEDIA_TYPE& format) override;
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
    // Takes filterLock.
    bool hasDeliveryQueue() const {
        ScopedLock hold(lock);
        return deliveryQueue != nullptr;
    }

    // ---- IPin ----
    STDMETHODIMP Connect(IPin* receiver, const AM_MEDIA_TYPE* format) override;
    STDMETHODIMP Disconnect() override;
    STDMETHODIMP EnumMediaTypes(IEnumMediaTypes** out) override;
    STDMETHODIMP QueryInternalConnections(IPin** pins, ULONG* count) override;
    // ---- IQualityControl ----
    STDMETHODIMP Notify(IBaseFilter* sender, Quality quality) override;

    // ---- IAMStreamConfig ----
    // Takes only a 24-bit RGB video-info type of a capture size (320 x 240 or
    // 640 x 480): that size becomes the running size (sizeIndex and the frame
    // store's format step, as SetSizeIndex; nothing is stored) and the type
    // the current type; a connected pin is then reconnected through the
    // graph (its result is not used). A type without a video-info block:
    // E_INVALIDARG; another major type, subtype, bit count, compression or
    // size: VFW_E_INVALIDMEDIATYPE. A refused type changes nothing.
    STDMETHODIMP SetFormat(AM_MEDIA_TYPE* format) override;
    // A task-allocated copy of the current type; E_OUTOFMEMORY (and null)
    // when it cannot be allocated.
    STDMETHODIMP GetFormat(AM_MEDIA_TYPE** format) override;
    STDMETHODIMP GetNumberOfCapabilities(int* count, int* size) override;
    STDMETHODIMP GetStreamCaps(int index, AM_MEDIA_TYPE** format, BYTE* caps) override;
    // IKsPropertySet: CapturePinCategory's (the capture pin category).

    // ---- ICameraSelection (under pinSettingsLock) ----
    STDMETHODIMP GetSizeIndex(int* index) override;
    STDMETHODIMP SetSizeIndex(unsigned index) override;
    STDMETHODIMP GetCameraIndices(int* left, int* right) override;
    STDMETHODIMP SetCameraIndices(int left, int right) override;

    // ---- ISpecifyPropertyPages: the camera selection page ----
    STDMETHODIMP GetPages(CAUUID* pages) override;

private:
    // A copy of the current type into *out; rebuilt from the frame store's
    // size should the current type ever lack a video-info block (construction
    // out of memory). Takes filterLock.
    HRESULT copyCurrentType(MediaFormat* out);
    // Makes `sizeIndex` the running size (under pinSettingsLock).
    void applyCaptureSize(int32_t sizeIndex);
    // Reconnects both cameras' output pins with `agreed`, through `graph`,
    // without filterLock. The right camera's result (the left one's is not
    // used); S_OK when there is no camera to reconnect.
    HRESULT reconnectCameras(IFilterGraph* graph, const MediaFormat& agreed);
    // The filter's graph with a reference, read under filterLock (the
    // filter's own pointer is not counted), or null.
    ComPtr<IFilterGraph> graphReference();

    StereoCameraFilter* stereoFilter;  // weak: the filter owns the pin
    CriticalSection pinSettingsLock;
    std::unique_ptr<DeliveryQueue> deliveryQueue DV_GUARDED_BY(lock);
    MediaFormat currentType DV_GUARDED_BY(lock);
    // While Connect negotiates with the left camera attached: that camera's
    // media types, read before the negotiation without filterLock. The
    // framework walks this pin's list under filterLock, so the camera's own
    // enumerator (which takes the camera's lock) is not walked then;
    // proposeFormat and EnumMediaTypes answer from this copy instead.
    bool negotiating DV_GUARDED_BY(lock) = false;
    std::vector<MediaFormat> negotiationTypes DV_GUARDED_BY(lock);
};
