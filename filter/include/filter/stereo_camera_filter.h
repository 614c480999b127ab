// StereoCameraFilter: the virtual camera object a host creates. Two input pins
// receive the left and right camera frames, the pairing step composes each
// pair into the left frame's buffer and "Output1" delivers it.
#pragma once

#include <atomic>
#include <memory>

#include "capture/camera_frame_pin.h"
#include "filter/stereo_interfaces.h"
#include "framework/filter_core.h"
#include "framework/sync.h"
#include "platform/win.h"

class ComposedVideoPin;

// The media times the next composed pair gets. Process-wide and shared by all
// filter instances of the module: both start at 1 when the module is loaded
// and are never reset.
struct SampleMediaTimes {
    LONGLONG start;
    LONGLONG end;
};
SampleMediaTimes currentSampleMediaTimes();

// Pins, by index: 0 "Input1" (left camera), 1 "Input2" (right camera),
// 2 "Output1" (the visible output), 3 "Output2" (never enumerated, never
// connected). pinCount() is 3.
//
// Locking: `filterLock` is the filter's lock, shared with its four pins; state
// changes, graph joins, connections and the pairing step run inside it.
// `settingsLock` guards only IStereoImageControl. Lock order: the host
// graph's lock and a camera filter's lock come before filterLock (the graph
// changes state and connects pins under its own lock; a camera connects to
// and delivers into the input pins under its own), then the delivery queue's
// lock, then the frame store's lock. So nothing here calls the graph, a
// camera filter or a camera pin while holding filterLock.
class StereoCameraFilter final : public FilterCore,
                                 public ISpecifyPropertyPages,
                                 public IStereoImageControl,
                                 public IStereoFrameCallback,
                                 public StereoPairingHost {
public:
    // The class table's creation function. Null (and E_OUTOFMEMORY in
    // *result) when the object cannot be allocated; an object together with a
    // failure in *result when a pin could not be created (the caller deletes it).
    static ComponentCore* create(IUnknown* outer, HRESULT* result);

    // Loads the settings (process-wide) and creates the four pins. `result`
    // receives E_OUTOFMEMORY if a pin cannot be allocated, else is left as it is.
    StereoCameraFilter(IUnknown* outer, HRESULT* result);
    ~StereoCameraFilter() override;

    DV_FORWARD_IUNKNOWN
    // ISpecifyPropertyPages, IStereoImageControl, IStereoFrameCallback, then
    // the framework's interfaces.
    HRESULT nonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    int pinCount() override { return 3; }
    PinCore* pinAt(int index) override;

    // IMediaFilter / IBaseFilter
    STDMETHODIMP Stop() override;
    STDMETHODIMP Pause() override;
    STDMETHODIMP Run(REFERENCE_TIME start) override;
    STDMETHODIMP JoinFilterGraph(IFilterGraph* graph, LPCWSTR name) override;

    // ISpecifyPropertyPages: the image type page.
    STDMETHODIMP GetPages(CAUUID* pages) override;

    // IStereoImageControl (under settingsLock).
    STDMETHODIMP GetImageMode(int* mode) override;
    STDMETHODIMP SetImageMode(int mode) override;
    STDMETHODIMP GetSwapFlag(int* flag) override;
    STDMETHODIMP SetSwapFlag(int flag) override;

    // IStereoFrameCallback
    STDMETHODIMP SetFrameCallback(StereoFrameCallback callback) override;

    // The pairing step: when both input pins hold a frame, stamps both with
    // the next media times, shows both to the frame callback, composes the
    // pair into the left frame and sends it on "Output1", then drops both.
    // Runs on a camera streaming thread; takes filterLock (re-entrant).
    HRESULT pairAndDeliver() override;

    // The pins (owned by the filter, valid for its lifetime).
    CameraFramePin* leftInput() const { return input1.get(); }
    CameraFramePin* rightInput() const { return input2.get(); }
    ComposedVideoPin* visibleOutput() const { return output1.get(); }
    ComposedVideoPin* hiddenOutput() const { return output2.get(); }

private:
    // Pause/Run: a host that opened the virtual camera with a camera missing
    // gets end of stream at once. Under filterLock.
    void endStreamIfCameraMissing() DV_REQUIRES(filterLock);
    // Hands views of both held pictures to the frame callback (24-bit only).
    void invokeFrameCallback(IMediaSample* left, IMediaSample* right);

    CriticalSection settingsLock;
    CriticalSection filterLock;
    std::unique_ptr<CameraFramePin> input1;
    std::unique_ptr<CameraFramePin> input2;
    std::unique_ptr<ComposedVideoPin> output1;
    std::unique_ptr<ComposedVideoPin> output2;
    // Set from the host's thread, read by the streaming threads.
    std::atomic<StereoFrameCallback> frameCallback{nullptr};
};
