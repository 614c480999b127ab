// Fakes for the virtual camera filter tests, built from the framework's base
// classes: a camera filter whose output pin delivers samples of the platform
// allocator, a downstream sink that records what reaches it, and a hand-made
// media sample for the failure paths. Unexpected calls fail the test.
#pragma once

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "filter/composed_video_pin.h"
#include "filter/stereo_camera_filter.h"
#include "framework/framework.h"
#include "platform/com_ptr.h"
#include "platform/win.h"

// GoogleTest has these on Windows only.
#ifndef EXPECT_HRESULT_SUCCEEDED
#define EXPECT_HRESULT_SUCCEEDED(expr) EXPECT_GE(static_cast<HRESULT>(expr), 0)
#define ASSERT_HRESULT_SUCCEEDED(expr) ASSERT_GE(static_cast<HRESULT>(expr), 0)
#endif

// {6E1C2B90-4F7A-4D1E-9A55-3C2B1A0F7E01}
DV_DEFINE_PRODUCT_GUID(CLSID_FakeCameraFilter, 0x6e1c2b90, 0x4f7a, 0x4d1e, 0x9a, 0x55, 0x3c, 0x2b, 0x1a, 0x0f,
                       0x7e, 0x01);
// {6E1C2B90-4F7A-4D1E-9A55-3C2B1A0F7E02}
DV_DEFINE_PRODUCT_GUID(CLSID_FakeSinkFilter, 0x6e1c2b90, 0x4f7a, 0x4d1e, 0x9a, 0x55, 0x3c, 0x2b, 0x1a, 0x0f,
                       0x7e, 0x02);

// The current reference count of a counted object (probe: +1, then -1).
template <class T>
ULONG refsOf(T* object) {
    object->AddRef();
    return object->Release();
}

// A 24-bit RGB video-info type of `width` x `height` (bottom-up).
MediaFormat rgb24Format(int width, int height, int bitCount = 24);

// A new StereoCameraFilter (settings loaded) with one reference held by the
// returned IBaseFilter; `raw` receives the object itself.
ComPtr<IBaseFilter> makeStereoFilter(StereoCameraFilter** raw);

// ---- camera: one output pin proposing one type, samples from the platform allocator
class FakeCameraFilter;

class FakeCameraPin final : public OutputPinCore {
public:
    FakeCameraPin(FakeCameraFilter* filter, CriticalSection* lock, const MediaFormat& format);
    HRESULT acceptFormat(const AM_MEDIA_TYPE& type) override;
    HRESULT proposeFormat(int position, MediaFormat* out) override;
    HRESULT sizeBuffers(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* requirements) override;
    IMemAllocator* currentAllocator() const { return allocator.Get(); }  // while connected

    MediaFormat format;
    LONG bufferCount = 4;
};

class FakeCameraFilter final : public FilterCore {
public:
    explicit FakeCameraFilter(const MediaFormat& format);
    ~FakeCameraFilter() override;
    int pinCount() override { return 1; }
    PinCore* pinAt(int index) override { return index == 0 ? pin : nullptr; }

    // Takes a buffer from the allocator, fills every byte with `fill` and
    // delivers it to the connected pin; returns the receiver's result.
    HRESULT deliver(BYTE fill);

    CriticalSection filterLock;
    FakeCameraPin* pin;
};

// ---- sink: one input pin recording every sample and stream-control call -------
class FakeSinkPin final : public InputPinCore {
public:
    FakeSinkPin(FilterCore* filter, CriticalSection* lock);
    HRESULT acceptFormat(const AM_MEDIA_TYPE& type) override;
    STDMETHODIMP Receive(IMediaSample* sample) override;
    STDMETHODIMP ReceiveCanBlock() override { return canBlock ? S_OK : S_FALSE; }
    STDMETHODIMP EndOfStream() override;
    STDMETHODIMP NotifyAllocator(IMemAllocator* allocator, BOOL readOnly) override;

    struct Delivery {
        LONGLONG mediaStart;
        LONGLONG mediaEnd;
        BYTE firstByte;
        LONG length;           // the sample's actual data length
        IMediaSample* sample;  // identity only; not counted
    };
    // Thread-safe views for tests whose cameras deliver on their own threads.
    size_t deliveryCount();
    std::vector<Delivery> deliveriesSoFar();
    // Waits up to `milliseconds` until at least `count` samples have arrived.
    bool waitForDeliveries(size_t count, int milliseconds);

    std::vector<Delivery> deliveries;  // guarded by `guard` while cameras stream
    int endOfStreams = 0;
    bool canBlock = false;
    HRESULT acceptResult = S_OK;  // anything else: every type is refused with it
    HRESULT receiveResult = S_OK;
    IMemAllocator* notifiedAllocator = nullptr;  // identity only
    BOOL notifiedReadOnly = TRUE;

private:
    std::mutex guard;
    std::condition_variable arrived;
};

class FakeSinkFilter final : public FilterCore {
public:
    FakeSinkFilter();
    ~FakeSinkFilter() override;
    int pinCount() override { return 1; }
    PinCore* pinAt(int index) override { return index == 0 ? pin : nullptr; }

    CriticalSection filterLock;
    FakeSinkPin* pin;
};

// ---- a hand-made sample for the failure paths ----------------------------------
class FakeSample final : public ComponentCore, public IMediaSample {
public:
    explicit FakeSample(size_t bytes, BYTE fill = 0) : buffer(bytes, fill) {}
    DV_FORWARD_IUNKNOWN
    HRESULT nonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    STDMETHODIMP GetPointer(BYTE** out) override;
    STDMETHODIMP_(LONG) GetSize() override { return static_cast<LONG>(buffer.size()); }
    STDMETHODIMP GetTime(REFERENCE_TIME*, REFERENCE_TIME*) override { return VFW_E_SAMPLE_TIME_NOT_SET; }
    STDMETHODIMP SetTime(REFERENCE_TIME*, REFERENCE_TIME*) override { return unexpected("SetTime"); }
    STDMETHODIMP IsSyncPoint() override { return S_FALSE; }
    STDMETHODIMP SetSyncPoint(BOOL) override { return unexpected("SetSyncPoint"); }
    STDMETHODIMP IsPreroll() override { return S_FALSE; }
    STDMETHODIMP SetPreroll(BOOL) override { return unexpected("SetPreroll"); }
    STDMETHODIMP_(LONG) GetActualDataLength() override { return static_cast<LONG>(buffer.size()); }
    STDMETHODIMP SetActualDataLength(LONG) override { return unexpected("SetActualDataLength"); }
    STDMETHODIMP GetMediaType(AM_MEDIA_TYPE** out) override;
    STDMETHODIMP SetMediaType(AM_MEDIA_TYPE*) override { return unexpected("SetMediaType"); }
    STDMETHODIMP IsDiscontinuity() override { return S_FALSE; }
    STDMETHODIMP SetDiscontinuity(BOOL) override { return unexpected("SetDiscontinuity"); }
    STDMETHODIMP GetMediaTime(LONGLONG* start, LONGLONG* end) override;
    STDMETHODIMP SetMediaTime(LONGLONG* start, LONGLONG* end) override;

    std::vector<BYTE> buffer;
    HRESULT setMediaTimeResult = S_OK;
    int setMediaTimeCalls = 0;
    bool mediaTimeSet = false;
    LONGLONG mediaStart = 0, mediaEnd = 0;

private:
    HRESULT unexpected(const char* what) {
        ADD_FAILURE() << "unexpected " << what;
        return E_UNEXPECTED;
    }
};

// ---- a stereo filter wired to two fake cameras and a fake sink -----------------
// Stores the size index that matches `width` (640: 1, else 0) before
// creating the filter. Connects the cameras (when wanted) straight to Input1/Input2, then Output1
// to the sink; nothing is in a graph. Start() pauses and runs all three.
struct StereoRig {
    explicit StereoRig(int width = 320, int height = 240, bool withRight = true);
    ~StereoRig();
    HRESULT start();
    void stop();

    StereoCameraFilter* filter = nullptr;
    ComPtr<IBaseFilter> filterRef;
    ComPtr<FakeCameraFilter> leftCamera;
    ComPtr<FakeCameraFilter> rightCamera;
    ComPtr<FakeSinkFilter> sink;
    bool withRight;
};

// ComPtr support for the fake filters (their IUnknown is reached through IBaseFilter).
template <>
struct InterfaceId<FakeCameraFilter> {
    static const IID& get() { return IID_IBaseFilter; }
};
template <>
struct InterfaceId<FakeSample> {
    static const IID& get() { return IID_IMediaSample; }
};
template <>
struct InterfaceId<FakeSinkFilter> {
    static const IID& get() { return IID_IBaseFilter; }
};
