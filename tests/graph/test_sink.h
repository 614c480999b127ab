// A renderer-like sink for graph tests, built on the framework: one input pin
// "In" that records every sample it receives (frame stamp, times, flags), can
// block inside Receive until released, flushed or stopped, and posts
// EC_COMPLETE at end of stream.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "framework/framework.h"

struct ReceivedFrame {
    uint32_t stamp;  // the frame-number stamp read from the picture
    bool timeValid;
    REFERENCE_TIME start, stop;
    bool receivedAtValid;
    REFERENCE_TIME receivedAt;  // the sink's stream time when Receive was called
    bool syncPoint;
    bool discontinuity;
    std::vector<uint8_t> bytes;  // the picture, when keepPictures is set
};

class TestSinkFilter;

class TestSinkPin : public InputPinCore {
public:
    TestSinkPin(TestSinkFilter* filter, CriticalSection* lock);

    HRESULT acceptFormat(const AM_MEDIA_TYPE& format) override;
    STDMETHODIMP Receive(IMediaSample* sample) override;
    STDMETHODIMP ReceiveCanBlock() override;
    STDMETHODIMP GetAllocator(IMemAllocator** out) override;
    STDMETHODIMP EndOfStream() override;
    STDMETHODIMP BeginFlush() override;
    STDMETHODIMP EndFlush() override;

    IMemAllocator* agreedAllocator() const { return allocator.Get(); }  // after connection

private:
    TestSinkFilter* sink;  // weak: the filter owns the pin
};

class TestSinkFilter : public FilterCore {
public:
    TestSinkFilter();
    ~TestSinkFilter() override;

    int pinCount() override { return 1; }
    PinCore* pinAt(int index) override { return index == 0 ? pin.get() : nullptr; }
    STDMETHODIMP Stop() override;

    TestSinkPin* inputPin() { return pin.get(); }

    // ---- configuration (before streaming) ----
    bool receiveCanBlock = true;      // answer of ReceiveCanBlock (S_OK / S_FALSE)
    bool refuseGetAllocator = false;  // GetAllocator answers VFW_E_NO_ALLOCATOR
    bool keepPictures = false;
    // Receive blocks (after recording) until releaseBlocked, a flush or Stop.
    void setBlocking(bool block);
    void releaseBlocked();

    // ---- observations (any thread) ----
    std::vector<ReceivedFrame> frames();
    size_t frameCount();
    // Waits up to `milliseconds` until `count` frames have arrived.
    bool waitForFrames(size_t count, int milliseconds);
    // Waits until a Receive is blocked.
    bool waitUntilBlocked(int milliseconds);
    int endOfStreamCount();
    size_t framesAtEndOfStream();
    int flushCount();

    // Called by the pin.
    void record(ReceivedFrame frame);
    void blockIfAsked();
    void noteEndOfStream();
    void noteFlush(bool begin);

private:
    CriticalSection filterLock;
    std::unique_ptr<TestSinkPin> pin;

    std::mutex observed;
    std::condition_variable changed;
    std::vector<ReceivedFrame> received;
    bool blocking = false;
    unsigned releaseGeneration = 0;
    bool blockedNow = false;
    bool flushingNow = false;
    unsigned stopGeneration = 0;
    unsigned flushGeneration = 0;
    int endOfStreams = 0;
    size_t framesAtEos = 0;
    int flushes = 0;
};
