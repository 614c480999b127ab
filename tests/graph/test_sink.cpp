#include "test_sink.h"

#include <chrono>
#include <cstring>

#include "testcams/test_cameras.h"

namespace {
constexpr GUID sinkClassId = {0x5B0E1C7A, 0x3F52, 0x4C11, {0x9A, 0x1D, 0x6E, 0x27, 0x48, 0x90, 0xAB, 0xCD}};
}

TestSinkPin::TestSinkPin(TestSinkFilter* filter, CriticalSection* lock)
    : InputPinCore(filter, lock, nullptr, L"In"), sink(filter) {}

HRESULT TestSinkPin::acceptFormat(const AM_MEDIA_TYPE& format) {
    if (format.majortype != MEDIATYPE_Video) return VFW_E_TYPE_NOT_ACCEPTED;
    const VIDEOINFOHEADER* info = videoInfoOf(format);
    if (!info || (format.subtype != MEDIASUBTYPE_RGB24 && format.subtype != MEDIASUBTYPE_RGB32))
        return VFW_E_TYPE_NOT_ACCEPTED;
    return S_OK;
}

STDMETHODIMP TestSinkPin::Receive(IMediaSample* sample) {
    HRESULT hr = InputPinCore::Receive(sample);
    if (hr != S_OK) return hr;
    ReceivedFrame frame{};
    BYTE* data = nullptr;
    sample->GetPointer(&data);
    const VIDEOINFOHEADER* info = connectionFormat.videoInfo();
    const int bytesPerPixel = info->bmiHeader.biBitCount / 8;
    frame.stamp = readFrameStamp(data, info->bmiHeader.biWidth, bytesPerPixel);
    frame.timeValid = sample->GetTime(&frame.start, &frame.stop) == S_OK;
    frame.receivedAtValid = sink->currentStreamTime(&frame.receivedAt) == S_OK;
    frame.syncPoint = sample->IsSyncPoint() == S_OK;
    frame.discontinuity = sample->IsDiscontinuity() == S_OK;
    if (sink->keepPictures) frame.bytes.assign(data, data + sample->GetActualDataLength());
    sink->record(std::move(frame));
    sink->blockIfAsked();
    return S_OK;
}

STDMETHODIMP TestSinkPin::ReceiveCanBlock() {
    return sink->receiveCanBlock ? S_OK : S_FALSE;
}

STDMETHODIMP TestSinkPin::GetAllocator(IMemAllocator** out) {
    if (sink->refuseGetAllocator) {
        if (out) *out = nullptr;
        return VFW_E_NO_ALLOCATOR;
    }
    return InputPinCore::GetAllocator(out);
}

STDMETHODIMP TestSinkPin::EndOfStream() {
    sink->noteEndOfStream();
    sink->postGraphEvent(EC_COMPLETE, S_OK, 0);
    return S_OK;
}

STDMETHODIMP TestSinkPin::BeginFlush() {
    HRESULT hr = InputPinCore::BeginFlush();
    sink->noteFlush(true);
    return hr;
}

STDMETHODIMP TestSinkPin::EndFlush() {
    sink->noteFlush(false);
    return InputPinCore::EndFlush();
}

TestSinkFilter::TestSinkFilter() : FilterCore(sinkClassId, &filterLock) {
    pin = std::make_unique<TestSinkPin>(this, &filterLock);
}

TestSinkFilter::~TestSinkFilter() = default;

STDMETHODIMP TestSinkFilter::Stop() {
    {
        std::lock_guard<std::mutex> hold(observed);
        ++stopGeneration;
        changed.notify_all();
    }
    return FilterCore::Stop();
}

void TestSinkFilter::setBlocking(bool block) {
    std::lock_guard<std::mutex> hold(observed);
    blocking = block;
    changed.notify_all();
}

void TestSinkFilter::releaseBlocked() {
    std::lock_guard<std::mutex> hold(observed);
    ++releaseGeneration;
    changed.notify_all();
}

void TestSinkFilter::record(ReceivedFrame frame) {
    std::lock_guard<std::mutex> hold(observed);
    received.push_back(std::move(frame));
    changed.notify_all();
}

void TestSinkFilter::blockIfAsked() {
    std::unique_lock<std::mutex> hold(observed);
    if (!blocking || flushingNow) return;
    // Generations, not flags: a wake-up must not be lost when the flag is
    // cleared again before this thread runs.
    const unsigned released = releaseGeneration;
    const unsigned stopped = stopGeneration;
    const unsigned flushed = flushGeneration;
    blockedNow = true;
    changed.notify_all();
    changed.wait(hold, [&] {
        return releaseGeneration != released || stopGeneration != stopped || flushGeneration != flushed;
    });
    blockedNow = false;
    changed.notify_all();
}

void TestSinkFilter::noteEndOfStream() {
    std::lock_guard<std::mutex> hold(observed);
    ++endOfStreams;
    framesAtEos = received.size();
    changed.notify_all();
}

void TestSinkFilter::noteFlush(bool begin) {
    std::lock_guard<std::mutex> hold(observed);
    flushingNow = begin;
    if (begin) {
        ++flushes;
        ++flushGeneration;
    }
    changed.notify_all();
}

std::vector<ReceivedFrame> TestSinkFilter::frames() {
    std::lock_guard<std::mutex> hold(observed);
    return received;
}

size_t TestSinkFilter::frameCount() {
    std::lock_guard<std::mutex> hold(observed);
    return received.size();
}

bool TestSinkFilter::waitForFrames(size_t count, int milliseconds) {
    std::unique_lock<std::mutex> hold(observed);
    return changed.wait_for(hold, std::chrono::milliseconds(milliseconds),
                            [&] { return received.size() >= count; });
}

bool TestSinkFilter::waitUntilBlocked(int milliseconds) {
    std::unique_lock<std::mutex> hold(observed);
    return changed.wait_for(hold, std::chrono::milliseconds(milliseconds), [&] { return blockedNow; });
}

int TestSinkFilter::endOfStreamCount() {
    std::lock_guard<std::mutex> hold(observed);
    return endOfStreams;
}

size_t TestSinkFilter::framesAtEndOfStream() {
    std::lock_guard<std::mutex> hold(observed);
    return framesAtEos;
}

int TestSinkFilter::flushCount() {
    std::lock_guard<std::mutex> hold(observed);
    return flushes;
}
