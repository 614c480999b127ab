// The test camera filter: a live source with one output pin "Capture" that
// offers IAMStreamConfig and IKsPropertySet (capture pin category) and pushes
// the device's eye picture, stamped with the frame number, from a streaming
// thread of its own.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "framework/framework.h"
#include "framework/source_filter.h"
#include "testcams/test_cameras.h"

class TestCameraFilter;

// Counters a test can read while the camera streams.
struct TestCameraStats {
    uint32_t framesDelivered = 0;  // samples handed downstream since the last start
    uint32_t bufferFailures = 0;   // GetBuffer calls that failed while streaming
    HRESULT lastDeliveryResult = S_OK;
    bool endOfStreamSent = false;
};

// The output pin: the device's capabilities and SetFormat, the eye picture
// and the frame pacing. Locking as CapturePinCore's; the streaming thread
// also shares holdBack, delivering and the counters under streamMutex.
class TestCapturePin : public CapturePinCore {
public:
    explicit TestCapturePin(TestCameraFilter* filter);
    ~TestCapturePin() override;

    // CapturePinCore hooks.
    HRESULT checkFormat(const AM_MEDIA_TYPE& format) override;
    int capabilityCount() override { return static_cast<int>(capabilities.size()); }
    void makeCapabilityType(int index, MediaFormat* out) override;
    void describeCapability(int index, VIDEO_STREAM_CONFIG_CAPS* caps) override;
    // PinCore hook: prepares the picture and the pacing, then starts streaming.
    HRESULT onActivate() override;

    // IAMStreamConfig
    STDMETHODIMP SetFormat(AM_MEDIA_TYPE* format) override;

    // Test hook: flushes the stream downstream (begin flush, end flush) while
    // the streaming thread holds back. Call on a thread other than the
    // streaming thread, while active.
    HRESULT flushStream();
    TestCameraStats stats();

protected:
    void streamLoop() override;
    void onStreamStarting() override;

private:
    // One capability: a video-info RGB type.
    struct Capability {
        int width;
        int height;
        int bitCount;
    };

    void buildCapabilities();
    void deliverFrame(IReferenceClock* clock, REFERENCE_TIME start, bool discontinuity);

    TestCameraFilter* camera;  // weak: the filter owns the pin
    std::vector<Capability> capabilities;

    // Guarded by streamMutex (with the base's run state).
    bool holdBack = false;    // flushStream in progress
    bool delivering = false;  // the thread is between GetBuffer and the end of its delivery
    TestCameraStats counters;

    // Set at activation before the thread starts; constant while it runs.
    std::shared_ptr<const std::vector<uint8_t>> picture;
    TestPictureFormat pictureFormat{};
    REFERENCE_TIME frameInterval = 0;  // 100-ns units; 0: as fast as possible
    REFERENCE_TIME sampleDuration = 0;
    uint32_t frameLimit = 0;  // 0: unlimited
};

class TestCameraFilter : public SourceFilterCore {
public:
    // `device` is an entry of the device table (static storage).
    TestCameraFilter(const TestCameraDevice* device, IUnknown* outer);
    ~TestCameraFilter() override;

    const TestCameraDevice& deviceInfo() const { return *device; }
    TestCapturePin* capturePin() { return static_cast<TestCapturePin*>(capture.get()); }

private:
    const TestCameraDevice* device;
};

// Creates a test camera for `device` and answers `riid` (as a class factory's
// CreateInstance does; aggregation is supported for IUnknown).
HRESULT createTestCamera(const TestCameraDevice* device, IUnknown* outer, REFIID riid, void** ppv);
