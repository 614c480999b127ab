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

#include <memory>
#include <string>
#include <vector>

#include "framework/framework.h"
#include "framework/source_filter.h"
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

// The output pin: capabilities from the device's formats, SetFormat (which
// configures the device), and the streaming thread's capture loop. Locking as
// CapturePinCore's; the streaming thread also shares the counters under
// streamMutex, and uses the device and the converter that activation opened
// before it started and that stopStreaming releases only after joining it.
class V4l2CapturePin : public CapturePinCore {
public:
    V4l2CapturePin(V4l2SourceFilter* filter, HRESULT* status);
    ~V4l2CapturePin() override;

    // One offered frame size and the device format that serves it.
    struct Capability {
        int width = 0;
        int height = 0;
        DeviceFormat device;
    };
    // Builds the offered types from the device's formats (filter lock held).
    void setCapabilities(const std::vector<DeviceFormat>& formats);
    const std::vector<Capability>& offered() const { return capabilities; }

    // CapturePinCore hooks.
    HRESULT checkFormat(const AM_MEDIA_TYPE& format) override;
    int capabilityCount() override { return static_cast<int>(capabilities.size()); }
    void makeCapabilityType(int index, MediaFormat* out) override;
    void describeCapability(int index, VIDEO_STREAM_CONFIG_CAPS* caps) override;
    // PinCore hooks. acceptFormat takes the filter lock (Load changes the
    // capabilities); onActivate opens and starts the device, then streaming.
    HRESULT acceptFormat(const AM_MEDIA_TYPE& format) override;
    HRESULT onActivate() override;

    // IAMStreamConfig
    STDMETHODIMP SetFormat(AM_MEDIA_TYPE* format) override;

    V4l2StreamStats stats();

protected:
    void streamLoop() override;
    void onStreamStarting() override;
    void releaseStream() override;

private:
    void makeType(const Capability& cap, REFERENCE_TIME interval, MediaFormat* out) const;
    const Capability* capabilityFor(const AM_MEDIA_TYPE& format) const;
    DeviceChoice choiceFor(const Capability& cap, REFERENCE_TIME requested) const;
    HRESULT openConfigured(const DeviceChoice& choice, std::unique_ptr<V4l2Device>* out);
    // Converts and delivers one frame stamped `start` (stream time; null:
    // no clock); false when it was not delivered.
    bool deliverFrame(const V4l2Device::Frame& frame, const REFERENCE_TIME* start, bool discontinuity);

    V4l2SourceFilter* sourceFilter;  // weak: the filter owns the pin
    std::vector<Capability> capabilities;
    DeviceChoice chosenDevice;  // set with chosenFormat

    V4l2StreamStats counters;  // guarded by streamMutex

    // Set at activation before the thread starts; released after it ended.
    std::unique_ptr<V4l2Device> device;
    std::unique_ptr<FrameConverter> converter;
    REFERENCE_TIME frameDuration = 0;
    int frameWidth = 0;
    int frameHeight = 0;
};

class V4l2SourceFilter : public SourceFilterCore, public IPersistPropertyBag {
public:
    V4l2SourceFilter(IUnknown* outer, HRESULT* status);
    ~V4l2SourceFilter() override;

    DV_FORWARD_IUNKNOWN
    // IPersistPropertyBag, then the filter's interfaces.
    HRESULT nonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    // IPersist (both bases)
    STDMETHODIMP GetClassID(CLSID* out) override;
    // IPersistPropertyBag: Load reads "DevicePath" (required) and
    // "FriendlyName", opens the node, lists its formats and closes it again.
    // A second Load: E_UNEXPECTED. A node without a convertible format:
    // VFW_E_NO_TYPES. Save: E_NOTIMPL.
    STDMETHODIMP InitNew() override;
    STDMETHODIMP Load(IPropertyBag* bag, IErrorLog* log) override;
    STDMETHODIMP Save(IPropertyBag* bag, BOOL clearDirty, BOOL saveAll) override;

    const std::string& devicePath() const { return path; }  // set once by Load
    V4l2CapturePin* capturePin() { return static_cast<V4l2CapturePin*>(capture.get()); }

private:
    std::string path;
    bool loaded = false;
};

// Creates a V4L2 capture source and answers `riid` (as a class factory's
// CreateInstance does; aggregation is supported for IUnknown).
HRESULT createV4l2Source(IUnknown* outer, REFIID riid, void** ppv);
