// The host's own renderer: a filter built on the framework with one input
// pin "In" that accepts 24-bit RGB video and hands every picture to a
// FrameConsumer. It posts EC_COMPLETE when its input reaches end of stream.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "framework/framework.h"

// One received picture. The pointers are valid only during the call.
struct SinkFrame {
    const uint8_t* pixels;  // 24-bit B, G, R, row 0 first in memory = bottom line on screen
    int width;
    int height;
    std::ptrdiff_t stride;  // bytes per row (width x 3 rounded up to 4)
    bool mediaTimeValid;
    LONGLONG mediaStart, mediaEnd;  // the pairing counters stamped by the virtual camera
    bool timeValid;
    REFERENCE_TIME start, stop;  // the left camera's time stamps
};

// Receives the sink's pictures. Called on the thread that delivers to the
// sink (the virtual camera's delivery thread), never with the sink's lock
// held; the implementation guards its own state.
class FrameConsumer {
public:
    virtual void onFrame(const SinkFrame& frame) = 0;
    virtual void onEndOfStream() = 0;

protected:
    ~FrameConsumer() = default;
};

class HostSinkFilter;

class HostSinkPin : public InputPinCore {
public:
    HostSinkPin(HostSinkFilter* filter, CriticalSection* lock, HRESULT* status);

    // Video, RGB24, a whole VIDEOINFOHEADER with 24 bits, bottom-up, and the
    // expected size when one is set.
    HRESULT acceptFormat(const AM_MEDIA_TYPE& format) override;
    STDMETHODIMP Receive(IMediaSample* sample) override;
    // S_OK by default: the host writes files while it receives, so its
    // upstream delivers from a thread of its own rather than from the
    // camera's. HostSinkFilter::setReceiveCanBlock(false) answers S_FALSE.
    STDMETHODIMP ReceiveCanBlock() override;
    STDMETHODIMP EndOfStream() override;

private:
    HostSinkFilter* sink;  // weak: the filter owns the pin
};

class HostSinkFilter : public FilterCore {
public:
    // `consumer` must outlive the filter's streaming (it is not counted).
    explicit HostSinkFilter(FrameConsumer* consumer);
    ~HostSinkFilter() override;

    int pinCount() override { return 1; }
    PinCore* pinAt(int index) override { return index == 0 ? pin.get() : nullptr; }

    // The pin's IPin (not counted: it lives as long as the filter).
    IPin* inputPin() { return pin.get(); }
    // Accept only pictures of this size (0, 0: any). Set before connecting.
    void expectSize(int width, int height) {
        expectedWidth = width;
        expectedHeight = height;
    }
    // The answer of the pin's ReceiveCanBlock (set before connecting).
    void setReceiveCanBlock(bool mayBlock) { receiveCanBlock = mayBlock; }
    // Frames refused because their buffer was shorter than their format says.
    long shortSamples() const { return shortCount.load(); }

private:
    friend class HostSinkPin;
    CriticalSection filterLock;  // the filter's and the pin's lock
    std::unique_ptr<HostSinkPin> pin;
    FrameConsumer* consumer;  // weak: owned by the host
    int expectedWidth = 0;
    int expectedHeight = 0;
    bool receiveCanBlock = true;
    std::atomic<long> shortCount{0};
};
