// The V4L2 capture source: the filter a V4L2 device moniker creates. It plays
// the role a webcam's own filter plays on Windows: one output pin "Capture"
// with IAMStreamConfig (one 24-bit RGB bottom-up video-info type per frame
// size the device offers in a convertible format), IKsPropertySet (capture
// pin category), and a streaming thread that dequeues the device's mmap
// buffers, converts each frame into a sample and delivers it, stamped with
// the graph clock's stream time of the capture (of the arrival when the
// driver's stamp is not on the monotonic clock).
//
// The device node is opened while SetFormat sets the format and rate, and from
// activation (pause) until the filter stops; in between it is closed, so
// another program may use the camera while this graph is stopped.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "framework/framework.h"
#include "v4l2/frame_converter.h"
#include "v4l2/v4l2_device.h"

class V4l2SourceFilter;

// Counters a test can read while the source streams.
struct V4l2StreamStats {
    uint32_t framesDelivered = 0;  // samples handed downstream since the last activation
    uint32_t framesSkipped = 0;    // frames dequeued but not delivered (paused, damaged, no buffer)
    bool endOfStreamSent = false;  // the device failed and end of stream went downstream
    HRESULT deviceFailure = S_OK;  // what ended the stream
};

// Locking: the IPin/IAMStreamConfig operations and the activation hooks run
// under the filter's lock. The streaming thread never takes it: it reads the
// state it shares with them under streamMutex, and uses the device, the
// converter, the queue and the allocator that activation set up before it
// started and that deactivation releases only after joining it.
class V4l2CapturePin : public OutputPinCore, public IAMStreamConfig, public IKsPropertySet {
public:
    V4l2CapturePin(V4l2SourceFilter* filter, CriticalSection* lock, HRESULT* status);
    ~V4l2CapturePin() override;

    DV_FORWARD_IUNKNOWN
    HRESULT nonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    // One offered frame size and the device format that serves it.
    struct Capability {
        int width = 0;
        int height = 0;
        DeviceFormat device;
    };
    // Builds the offered types from the device's formats (filter lock held).
    void setCapabilities(const std::vector<DeviceFormat>& formats);
    const std::vector<Capability>& offered() const { return capabilities; }

    // PinCore hooks.
    HRESULT acceptFormat(const AM_MEDIA_TYPE& format) override;
    HRESULT proposeFormat(int position, MediaFormat* out) override;
    HRESULT onActivate() override;
    HRESULT onDeactivate() override;
    HRESULT onRun(REFERENCE_TIME start) override;
    HRESULT sizeBuffers(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* requirements) override;

    // IAMStreamConfig
    STDMETHODIMP SetFormat(AM_MEDIA_TYPE* format) override;
    STDMETHODIMP GetFormat(AM_MEDIA_TYPE** format) override;
    STDMETHODIMP GetNumberOfCapabilities(int* count, int* size) override;
    STDMETHODIMP GetStreamCaps(int index, AM_MEDIA_TYPE** format, BYTE* caps) override;
    // IKsPropertySet
    STDMETHODIMP Set(REFGUID propSet, DWORD id, LPVOID instanceData, DWORD instanceLength,
                     LPVOID propertyData, DWORD dataLength) override;
    STDMETHODIMP Get(REFGUID propSet, DWORD id, LPVOID instanceData, DWORD instanceLength,
                     LPVOID propertyData, DWORD dataLength, DWORD* returned) override;
    STDMETHODIMP QuerySupported(REFGUID propSet, DWORD id, DWORD* typeSupport) override;

    // The filter left the running state (filter lock held).
    void streamPaused();
    V4l2StreamStats stats();

private:
    void makeType(const Capability& cap, REFERENCE_TIME interval, MediaFormat* out) const;
    const Capability* capabilityFor(const AM_MEDIA_TYPE& format) const;
    DeviceChoice choiceFor(const Capability& cap, REFERENCE_TIME requested) const;
    HRESULT openConfigured(const DeviceChoice& choice, std::unique_ptr<V4l2Device>* out);
    void stopStreaming();  // filter lock held
    void streamLoop();
    // Converts and delivers one frame stamped `start` (stream time; null:
    // no clock); false when it was not delivered.
    bool deliverFrame(const V4l2Device::Frame& frame, const REFERENCE_TIME* start, bool discontinuity);

    V4l2SourceFilter* source;  // weak: the filter owns the pin
    std::vector<Capability> capabilities;
    MediaFormat chosenFormat;  // set by SetFormat; empty: the capabilities are proposed
    DeviceChoice chosenDevice;

    // Shared with the streaming thread, under streamMutex.
    std::mutex streamMutex;
    std::condition_variable streamChanged;
    bool stopRequested = false;
    bool running = false;
    ComPtr<IReferenceClock> streamClock;
    REFERENCE_TIME streamStart = 0;
    V4l2StreamStats counters;

    // Set at activation before the thread starts; released after it ended.
    std::thread streamer;
    std::unique_ptr<DeliveryQueue> queue;
    ComPtr<IMemAllocator> streamAllocator;
    std::unique_ptr<V4l2Device> device;
    std::unique_ptr<FrameConverter> converter;
    REFERENCE_TIME frameDuration = 0;
    int frameWidth = 0;
    int frameHeight = 0;
    LONGLONG frameNumber = 0;  // streaming thread only
};

class V4l2SourceFilter : public FilterCore, public IPersistPropertyBag {
public:
    V4l2SourceFilter(IUnknown* outer, HRESULT* status);
    ~V4l2SourceFilter() override;

    DV_FORWARD_IUNKNOWN
    // IPersistPropertyBag, then the filter's interfaces.
    HRESULT nonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    int pinCount() override { return 1; }
    PinCore* pinAt(int index) override;

    // IPersist (both bases)
    STDMETHODIMP GetClassID(CLSID* out) override;
    // IPersistPropertyBag: Load reads "DevicePath" (required) and
    // "FriendlyName", opens the node, lists its formats and closes it again.
    // A second Load: E_UNEXPECTED. A node without a convertible format:
    // VFW_E_NO_TYPES. Save: E_NOTIMPL.
    STDMETHODIMP InitNew() override;
    STDMETHODIMP Load(IPropertyBag* bag, IErrorLog* log) override;
    STDMETHODIMP Save(IPropertyBag* bag, BOOL clearDirty, BOOL saveAll) override;

    // Pause from running tells the pin to hold its stream.
    STDMETHODIMP Pause() override;
    // A live source cannot cue frames: VFW_S_CANT_CUE while paused.
    STDMETHODIMP GetState(DWORD timeoutMs, FILTER_STATE* out) override;

    const std::string& devicePath() const { return path; }  // set once by Load
    V4l2CapturePin* capturePin() { return pin.get(); }
    // The clock given by SetSyncSource (not counted), read under the filter
    // lock (re-entrant: the caller usually holds it already).
    IReferenceClock* referenceClock() const {
        ScopedLock hold(lock);
        return clock.Get();
    }

private:
    CriticalSection filterLock;  // shared with the pin
    std::unique_ptr<V4l2CapturePin> pin;
    std::string path;
    bool loaded = false;
};

// Creates a V4L2 capture source and answers `riid` (as a class factory's
// CreateInstance does; aggregation is supported for IUnknown).
HRESULT createV4l2Source(IUnknown* outer, REFIID riid, void** ppv);
