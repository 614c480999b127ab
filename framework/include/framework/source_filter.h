// SourceFilterCore and CapturePinCore: the outline every live video source of
// this system shares (the built-in test cameras, the V4L2 capture source). One
// output pin "Capture" with IAMStreamConfig and IKsPropertySet (capture pin
// category), video-info types from a list of capabilities, and a streaming
// thread of the pin's own that pushes samples through a delivery queue.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "framework/delivery_queue.h"
#include "framework/filter_core.h"
#include "framework/pin_core.h"

class SourceFilterCore;

// The capture pin base. A derived pin supplies the capabilities (the types
// offered, their stream caps, the check of a type), SetFormat, what activation
// prepares, and the streaming thread's loop.
//
// Locking: the IPin/IAMStreamConfig operations and the activation hooks run
// under the filter's lock (`lock`). The streaming thread never takes it: it
// shares the run state (the members under "guarded by streamMutex") with them
// under streamMutex, and uses the queue, the allocator and whatever the derived
// pin set up before startStreaming; stopStreaming joins the thread before any
// of that is released. So the filter may stop (and join the thread) while
// holding its lock.
class CapturePinCore : public OutputPinCore, public IAMStreamConfig, public CapturePinCategory {
public:
    // `filter` owns the pin; the pin uses its lock. `status` as PinCore's.
    CapturePinCore(SourceFilterCore* filter, HRESULT* status);
    // Stops the stream. A derived pin whose thread uses members of its own
    // calls stopStreaming in its destructor too, before they go.
    ~CapturePinCore() override;

    DV_FORWARD_IUNKNOWN
    // IAMStreamConfig and IKsPropertySet, then OutputPinCore's interfaces.
    HRESULT nonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    // ---- capability hooks (filter lock held, but see acceptFormat) ----
    // S_OK when the pin streams `format`, else VFW_E_TYPE_NOT_ACCEPTED.
    virtual HRESULT checkFormat(const AM_MEDIA_TYPE& format) = 0;
    virtual int capabilityCount() = 0;
    // The type of capability `index` (0..capabilityCount()-1); left empty
    // when out of memory.
    virtual void makeCapabilityType(int index, MediaFormat* out) = 0;
    // The stream caps of capability `index` beyond the format type (caps
    // arrives zeroed, its guid FORMAT_VideoInfo).
    virtual void describeCapability(int index, VIDEO_STREAM_CONFIG_CAPS* caps) = 0;

    // ---- PinCore hooks ----
    // checkFormat; after SetFormat also only the chosen subtype and size.
    // Takes no lock of its own (QueryAccept calls it without the filter's
    // lock): a pin whose capabilities change after construction overrides it
    // to take the lock around this one.
    HRESULT acceptFormat(const AM_MEDIA_TYPE& format) override;
    // After SetFormat the chosen type only; else the capabilities in order.
    HRESULT proposeFormat(int position, MediaFormat* out) override;
    // Stops the stream (the thread joined), then OutputPinCore's decommit.
    HRESULT onDeactivate() override;
    // Takes the filter's clock and `start` for the thread and lets it run.
    HRESULT onRun(REFERENCE_TIME start) override;
    // At least three buffers of the connection's image size.
    HRESULT sizeBuffers(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* requirements) override;

    // IAMStreamConfig: SetFormat is the derived pin's. GetFormat: the
    // connection type, else the chosen one, else capability 0 (VFW_E_NO_TYPES
    // without capabilities).
    STDMETHODIMP GetFormat(AM_MEDIA_TYPE** format) override;
    STDMETHODIMP GetNumberOfCapabilities(int* count, int* size) override;
    STDMETHODIMP GetStreamCaps(int index, AM_MEDIA_TYPE** format, BYTE* caps) override;
    // The filter left the running state (running -> paused). Filter lock held.
    void streamPaused();

protected:
    // The streaming thread's body; returns when stopRequested is seen (or
    // after a final end of stream, once it is seen).
    virtual void streamLoop() = 0;
    // Under streamMutex before the thread starts: resets the derived pin's
    // share of the run state (its counters). Nothing by default.
    virtual void onStreamStarting() {}
    // After the thread was joined and the queue and allocator released
    // (filter lock held): releases what the derived pin set up for the
    // stream. Nothing by default.
    virtual void releaseStream() {}

    // For onActivate, once OutputPinCore::onActivate succeeded and the
    // derived pin's stream resources are ready: makes the queue to the peer
    // (on failure undoes OutputPinCore::onActivate and returns the failure),
    // takes the allocator, resets frameNumber and the run state and starts
    // the streaming thread, paused until onRun.
    HRESULT startStreaming();
    // Asks the thread to stop, joins it, releases the queue (joining its
    // worker), the allocator, then releaseStream, then the clock. Filter lock
    // held (or the pin being destroyed); idempotent.
    void stopStreaming();

    // For SetFormat, with `chosen` (a complete type): S_OK unless the pin is
    // connected and its peer does not accept it (VFW_E_INVALIDMEDIATYPE).
    HRESULT peerAccepts(const MediaFormat& chosen);
    // For SetFormat: makes `chosen` the only type offered and, when
    // connected, asks the graph to reconnect with it (its result).
    HRESULT useChosenFormat(MediaFormat chosen);

    // ---- streaming thread only ----
    // A sample of at least `size` bytes from the allocator: S_OK with
    // *sample and *data set; the allocator's failure when it has none
    // (decommitted: stopping; E_UNEXPECTED for a null sample); S_FALSE when
    // the buffer has no pointer or is too small.
    HRESULT obtainFrameBuffer(LONG size, ComPtr<IMediaSample>* sample, BYTE** data);
    // Sends `sample` as one whole frame of `length` bytes: a sync point, not
    // preroll, `discontinuity`; stream times [*begin, *begin + duration)
    // (none without `begin`); media times [frameNumber, frameNumber + 1).
    // Counts frameNumber. The queue's result.
    HRESULT sendFrame(ComPtr<IMediaSample> sample, LONG length, const REFERENCE_TIME* begin,
                      REFERENCE_TIME duration, bool discontinuity);

    SourceFilterCore* source;  // weak: the filter owns the pin
    MediaFormat chosenFormat;  // set by SetFormat; empty: the capabilities are proposed

    // Guarded by streamMutex: shared between the filter's threads and the
    // streaming thread. streamChanged is notified on every change.
    std::mutex streamMutex;
    std::condition_variable streamChanged;
    bool stopRequested = false;
    bool running = false;
    unsigned runGeneration = 0;  // counts onRun calls
    ComPtr<IReferenceClock> streamClock;
    REFERENCE_TIME streamStart = 0;

    // Set by startStreaming before the thread starts, released by
    // stopStreaming after it ended; constant in between.
    std::unique_ptr<DeliveryQueue> queue;
    ComPtr<IMemAllocator> streamAllocator;
    LONGLONG frameNumber = 0;  // the next sample's media time; streaming thread only while it runs

private:
    std::thread streamer;
};

// The source filter base: one capture pin, a live source's state answers
// (VFW_S_CANT_CUE while paused), and pausing from running holds the stream.
class SourceFilterCore : public FilterCore {
public:
    // `outer` as ComponentCore. The derived constructor makes the pin.
    SourceFilterCore(REFCLSID classId, IUnknown* outer);
    ~SourceFilterCore() override;

    int pinCount() override { return 1; }
    PinCore* pinAt(int index) override;

    // Pause from running tells the pin to hold its stream.
    STDMETHODIMP Pause() override;
    // A live source cannot cue frames: VFW_S_CANT_CUE while paused.
    STDMETHODIMP GetState(DWORD timeoutMs, FILTER_STATE* out) override;

    // The clock given by SetSyncSource (not counted), read under the filter
    // lock (re-entrant: the caller usually holds it already).
    IReferenceClock* referenceClock() const {
        ScopedLock hold(lock);
        return clock.Get();
    }

protected:
    CriticalSection filterLock;  // shared with the pin
    std::unique_ptr<CapturePinCore> capture;
};
