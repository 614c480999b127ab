// The test camera filter: a live source with one output pin "Capture" that
// offers IAMStreamConfig and IKsPropertySet (capture pin category) and pushes
// the device's eye picture, stamped with the frame number, from a streaming
// thread of its own.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "framework/framework.h"
#include "testcams/test_cameras.h"

class TestCameraFilter;

// Counters a test can read while the camera streams.
struct TestCameraStats {
    uint32_t framesDelivered = 0;  // samples handed downstream since the last start
    uint32_t bufferFailures = 0;   // GetBuffer calls that failed while streaming
    HRESULT lastDeliveryResult = S_OK;
    bool endOfStreamSent = false;
};

// The output pin. Locking: the IPin/IAMStreamConfig operations run under the
// filter's lock; the streaming thread never takes it (it uses streamMutex and
// the references captured at activation), so the filter may stop (and join
// the thread) while holding the lock.
class TestCapturePin : public OutputPinCore, public IAMStreamConfig, public IKsPropertySet {
public:
    TestCapturePin(TestCameraFilter* filter, CriticalSection* lock);
    ~TestCapturePin() override;

    DV_FORWARD_IUNKNOWN
    HRESULT nonDelegatingQueryInterface(REFIID riid, void** ppv) override;

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

    // The filter left the running state (running -> paused). Filter lock held.
    void streamPaused();
    // Test hook: flushes the stream downstream (begin flush, end flush) while
    // the streaming thread holds back. Call on a thread other than the
    // streaming thread, while active.
    HRESULT flushStream();
    TestCameraStats stats();

private:
    // One capability: a video-info RGB type.
    struct Capability {
        int width;
        int height;
        int bitCount;
    };

    void buildCapabilities();
    void makeType(const Capability& cap, MediaFormat* out) const;
    // The checks shared by SetFormat and acceptFormat.
    HRESULT checkFormat(const AM_MEDIA_TYPE& format) const;
    void stopStreaming();  // filter lock held
    void streamLoop();
    void deliverFrame(IReferenceClock* clock, REFERENCE_TIME start, bool discontinuity);

    TestCameraFilter* camera;  // weak: the filter owns the pin
    std::vector<Capability> capabilities;
    MediaFormat chosenFormat;  // set by SetFormat; empty: the capabilities are proposed

    // Streaming state, guarded by streamMutex.
    std::mutex streamMutex;
    std::condition_variable streamChanged;
    bool stopRequested = false;
    bool running = false;
    unsigned runGeneration = 0;
    bool holdBack = false;    // flushStream in progress
    bool delivering = false;  // the thread is between GetBuffer and the end of its delivery
    ComPtr<IReferenceClock> streamClock;
    REFERENCE_TIME streamStart = 0;
    TestCameraStats counters;

    // Set at activation before the thread starts; constant while it runs.
    std::thread streamer;
    std::unique_ptr<DeliveryQueue> queue;
    ComPtr<IMemAllocator> streamAllocator;
    std::shared_ptr<const std::vector<uint8_t>> picture;
    TestPictureFormat pictureFormat{};
    REFERENCE_TIME frameInterval = 0;  // 100-ns units; 0: as fast as possible
    REFERENCE_TIME sampleDuration = 0;
    uint32_t frameLimit = 0;  // 0: unlimited
    uint32_t frameNumber = 0;
};

class TestCameraFilter : public FilterCore {
public:
    // `device` is an entry of the device table (static storage).
    TestCameraFilter(const TestCameraDevice* device, IUnknown* outer);
    ~TestCameraFilter() override;

    int pinCount() override { return 1; }
    PinCore* pinAt(int index) override;

    // Pause from running tells the pin to hold its stream.
    STDMETHODIMP Pause() override;
    // A live source cannot cue frames: VFW_S_CANT_CUE while paused.
    STDMETHODIMP GetState(DWORD timeoutMs, FILTER_STATE* out) override;

    const TestCameraDevice& deviceInfo() const { return *device; }
    TestCapturePin* capturePin() { return pin.get(); }
    // The clock given by SetSyncSource (not counted), read under the filter
    // lock (re-entrant: the caller usually holds it already).
    IReferenceClock* referenceClock() const {
        ScopedLock hold(lock);
        return clock.Get();
    }

private:
    const TestCameraDevice* device;
    CriticalSection filterLock;  // shared with the pin
    std::unique_ptr<TestCapturePin> pin;
};

// Creates a test camera for `device` and answers `riid` (as a class factory's
// CreateInstance does; aggregation is supported for IUnknown).
HRESULT createTestCamera(const TestCameraDevice* device, IUnknown* outer, REFIID riid, void** ppv);
