// CameraFramePin: an input pin of the stereo filter that receives one real
// camera's frames ("Input1" the left camera, "Input2" the right one).
#pragma once

#include "framework/pin_core.h"
#include "framework/sync.h"
#include "platform/com_ptr.h"
#include "platform/win.h"

// The filter's pairing step, as the input pins see it.
class StereoPairingHost {
public:
    // Runs on a camera streaming thread with the filter lock held (the pin
    // calls it from Receive). Pairs the two pins' held frames when both hold
    // one and clears them through CameraFramePin::dropHeldFrame.
    virtual HRESULT pairAndDeliver() = 0;

protected:
    ~StereoPairingHost() = default;
};

// Accepts only 24-bit RGB video-info frames of exactly the current capture
// size (videoFormat), keeps the first sample received while its slot is empty
// by reference (nothing is copied) and runs the pairing step after every
// sample that passes the receive checks. End of stream, flushes and new
// segments from the camera are forwarded to the linked output pin.
//
// Locking: every entry point takes the filter lock passed at construction
// (re-entrant, shared by the filter and its four pins); the pairing step and
// the forwarding into the output pin run inside it.
class CameraFramePin : public InputPinCore {
public:
    // `filter` owns the pin (not counted); `pairing` is the same filter's
    // pairing step (not counted); `lock` is the filter lock.
    CameraFramePin(FilterCore* filter, StereoPairingHost* pairing, CriticalSection* lock, LPCWSTR name);
    // Releases the held frame (the framework then releases its allocator).
    ~CameraFramePin() override;

    // The output pin of the same side ("Output1" for "Input1"), set by the
    // filter after construction; not counted (the filter owns both pins).
    // May stay null: forwarding then does nothing.
    OutputPinCore* linkedOutput = nullptr;

    // The held frame, not counted (valid while the filter lock is held), or null.
    // Unchecked: the filter holds the lock under its own name (filterLock),
    // which the analysis cannot equate with this pin's `lock`.
    IMediaSample* heldSample() const DV_NO_THREAD_SAFETY_ANALYSIS { return heldFrame.Get(); }
    // Releases and clears the held frame (under the filter lock).
    void dropHeldFrame();
    // The allocator the camera's output pin announced, not counted (valid while
    // the filter lock is held and the pin stays connected), or null.
    // Unchecked for the reason heldSample gives.
    IMemAllocator* upstreamAllocatorPtr() const DV_NO_THREAD_SAFETY_ANALYSIS {
        return upstreamAllocator.Get();
    }

    // ---- hooks ----
    // Drops the held frame, then the framework's deactivation.
    HRESULT onDeactivate() override;
    // FORMAT_VideoInfo with a whole VIDEOINFOHEADER and 24 bits, else
    // E_INVALIDARG; width and height equal to the capture size (height
    // positive), else E_FAIL. Major type and subtype are not examined.
    HRESULT acceptFormat(const AM_MEDIA_TYPE& format) override;
    // acceptFormat, then the framework's copy; a failed copy shows the
    // "failed setting input pin media" box and returns the failure.
    HRESULT adoptFormat(const AM_MEDIA_TYPE& format) override;
    // Releases upstreamAllocator; the framework's allocator reference stays.
    HRESULT onDisconnected() override;
    // The framework's completion, then hands this pin's connection format to
    // linkedOutput when that is unconnected (adopted as its proposal).
    HRESULT onConnected(IPin* peer) override;
    // 0: the connection format; 1..10: 24-bit RGB at 80*position x 60*position;
    // above 10: VFW_S_NO_MORE_ITEMS; below 0: E_INVALIDARG; null out: E_POINTER.
    HRESULT proposeFormat(int position, MediaFormat* out) override;

    // ---- IPin ----
    // The framework's ReceiveConnection; once connected, a connected
    // linkedOutput whose format differs is reconnected with this pin's format
    // through the filter's graph, after the filter lock is released.
    STDMETHODIMP ReceiveConnection(IPin* connector, const AM_MEDIA_TYPE* format) override;
    STDMETHODIMP EndOfStream() override;
    STDMETHODIMP BeginFlush() override;
    STDMETHODIMP EndFlush() override;
    STDMETHODIMP NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) override;
    STDMETHODIMP QueryInternalConnections(IPin** pins, ULONG* count) override;

    // ---- IMemInputPin ----
    // E_FAIL for a null allocator; else keeps it as upstreamAllocator and runs
    // the framework's NotifyAllocator.
    STDMETHODIMP NotifyAllocator(IMemAllocator* newAllocator, BOOL readOnly) override;
    // Keeps `sample` if no frame is held, runs the framework's receive checks
    // (their code is returned when not S_OK; the sample stays held), then the
    // pairing step (its result is ignored) and returns S_OK.
    STDMETHODIMP Receive(IMediaSample* sample) override;

private:
    // Called without the filter lock held by this thread (graph call).
    void reconnectLinkedOutput() DV_EXCLUDES(lock);

    StereoPairingHost* pairing;  // weak: the owning filter
    ComPtr<IMediaSample> heldFrame DV_GUARDED_BY(lock);
    ComPtr<IMemAllocator> upstreamAllocator DV_GUARDED_BY(lock);
};
