// The test camera filter and its streaming output pin.
#include "testcams/test_camera_filter.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>

#ifndef E_PROP_SET_UNSUPPORTED
#define E_PROP_SET_UNSUPPORTED HRESULT_FROM_WIN32(1170L)  // ERROR_SET_NOT_FOUND
#endif
#ifndef E_PROP_ID_UNSUPPORTED
#define E_PROP_ID_UNSUPPORTED HRESULT_FROM_WIN32(1168L)  // ERROR_NOT_FOUND
#endif

namespace {

constexpr REFERENCE_TIME defaultInterval = 333333;  // 30 frames per second
constexpr int maxDimension = 4096;
constexpr LONG bufferCount = 3;

// A DWORD setting of `device`: HKCU\Software\Duoview2\TestCameras\<name>\<value>,
// else the environment variable, else `fallback` (with found = false).
DWORD readSetting(const TestCameraDevice& device, const WCHAR* value, const char* environment, bool* found) {
    std::wstring path = std::wstring(DV_TESTCAMS_SETTINGS_KEY) + L"\\" + device.name;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS) {
        DWORD type = 0;
        DWORD data = 0;
        DWORD size = sizeof(data);
        LSTATUS status = RegQueryValueExW(key, value, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size);
        RegCloseKey(key);
        if (status == ERROR_SUCCESS && type == REG_DWORD && size == sizeof(data)) {
            *found = true;
            return data;
        }
    }
    if (const char* text = std::getenv(environment)) {
        char* end = nullptr;
        unsigned long parsed = std::strtoul(text, &end, 10);
        if (end != text && *end == '\0') {
            *found = true;
            return static_cast<DWORD>(parsed);
        }
    }
    *found = false;
    return 0;
}

bool subtypeMatchesBits(const GUID& subtype, int bitCount) {
    return (subtype == MEDIASUBTYPE_RGB24 && bitCount == 24) ||
           (subtype == MEDIASUBTYPE_RGB32 && bitCount == 32);
}

}  // namespace

// ---- TestCapturePin ----------------------------------------------------------

TestCapturePin::TestCapturePin(TestCameraFilter* filter, CriticalSection* lock)
    : OutputPinCore(filter, lock, nullptr, L"Capture"), camera(filter) {
    buildCapabilities();
}

TestCapturePin::~TestCapturePin() {
    stopStreaming();
}

HRESULT TestCapturePin::nonDelegatingQueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    if (riid == IID_IAMStreamConfig)
        return ComponentCore::getInterface(static_cast<IAMStreamConfig*>(this), ppv);
    if (riid == IID_IKsPropertySet)
        return ComponentCore::getInterface(static_cast<IKsPropertySet*>(this), ppv);
    return OutputPinCore::nonDelegatingQueryInterface(riid, ppv);
}

void TestCapturePin::buildCapabilities() {
    switch (camera->deviceInfo().kind) {
    case TestCameraKind::ordinary:
    case TestCameraKind::stalled:
        // A 32-bit type first, so that a consumer looking for 24-bit RGB has
        // to skip one; then the usual 24-bit sizes, 640x480 before 320x240.
        capabilities = {{640, 480, 32}, {640, 480, 24}, {320, 240, 24}, {160, 120, 24}, {1280, 720, 24}};
        break;
    case TestCameraKind::noRgb24:
        capabilities = {{640, 480, 32}, {320, 240, 32}};
        break;
    case TestCameraKind::topDownOnly:
        capabilities = {{640, -480, 24}, {320, -240, 24}};
        break;
    }
}

void TestCapturePin::makeType(const Capability& cap, MediaFormat* out) const {
    out->clear();
    out->setMajorType(MEDIATYPE_Video);
    out->setSubtype(cap.bitCount == 32 ? MEDIASUBTYPE_RGB32 : MEDIASUBTYPE_RGB24);
    out->setFormatType(FORMAT_VideoInfo);
    out->setTemporalCompression(false);
    auto* info = reinterpret_cast<VIDEOINFOHEADER*>(out->allocFormatBlock(sizeof(VIDEOINFOHEADER)));
    if (!info) return;
    std::memset(info, 0, sizeof(*info));
    info->AvgTimePerFrame = defaultInterval;
    info->bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info->bmiHeader.biWidth = cap.width;
    info->bmiHeader.biHeight = cap.height;
    info->bmiHeader.biPlanes = 1;
    info->bmiHeader.biBitCount = static_cast<WORD>(cap.bitCount);
    info->bmiHeader.biCompression = BI_RGB;
    info->bmiHeader.biSizeImage = bitmapImageSize(info->bmiHeader);
    info->dwBitRate =
        static_cast<DWORD>(static_cast<uint64_t>(info->bmiHeader.biSizeImage) * 8u * 30u > 0xFFFFFFFFu
                               ? 0xFFFFFFFFu
                               : static_cast<uint64_t>(info->bmiHeader.biSizeImage) * 8u * 30u);
    out->setSampleSize(info->bmiHeader.biSizeImage);
}

HRESULT TestCapturePin::checkFormat(const AM_MEDIA_TYPE& format) const {
    if (format.majortype != MEDIATYPE_Video) return VFW_E_TYPE_NOT_ACCEPTED;
    const VIDEOINFOHEADER* info = videoInfoOf(format);
    if (!info) return VFW_E_TYPE_NOT_ACCEPTED;
    const BITMAPINFOHEADER& bmi = info->bmiHeader;
    if (bmi.biCompression != BI_RGB || !subtypeMatchesBits(format.subtype, bmi.biBitCount))
        return VFW_E_TYPE_NOT_ACCEPTED;
    if (bmi.biWidth <= 0 || bmi.biWidth > maxDimension || bmi.biHeight == 0 || bmi.biHeight > maxDimension ||
        bmi.biHeight < -maxDimension)
        return VFW_E_TYPE_NOT_ACCEPTED;
    const bool topDown = bmi.biHeight < 0;
    if (topDown != (camera->deviceInfo().kind == TestCameraKind::topDownOnly)) return VFW_E_TYPE_NOT_ACCEPTED;
    bool bitsOffered = false;
    for (const Capability& cap : capabilities)
        bitsOffered = bitsOffered || cap.bitCount == bmi.biBitCount;
    if (!bitsOffered) return VFW_E_TYPE_NOT_ACCEPTED;
    return S_OK;
}

HRESULT TestCapturePin::acceptFormat(const AM_MEDIA_TYPE& format) {
    HRESULT hr = checkFormat(format);
    if (hr != S_OK) return hr;
    if (chosenFormat.formatLength() != 0) {
        // After SetFormat only that size and type are accepted.
        const VIDEOINFOHEADER* want = chosenFormat.videoInfo();
        const VIDEOINFOHEADER* got = videoInfoOf(format);
        if (format.subtype != chosenFormat.subtype() || got->bmiHeader.biWidth != want->bmiHeader.biWidth ||
            got->bmiHeader.biHeight != want->bmiHeader.biHeight)
            return VFW_E_TYPE_NOT_ACCEPTED;
    }
    return S_OK;
}

HRESULT TestCapturePin::proposeFormat(int position, MediaFormat* out) {
    if (!out) return E_POINTER;
    if (position < 0) return E_INVALIDARG;
    ScopedLock hold(lock);
    if (chosenFormat.formatLength() != 0) {
        if (position > 0) return VFW_S_NO_MORE_ITEMS;
        *out = chosenFormat;
        return out->status();
    }
    if (position >= static_cast<int>(capabilities.size())) return VFW_S_NO_MORE_ITEMS;
    makeType(capabilities[position], out);
    return out->formatLength() ? S_OK : E_OUTOFMEMORY;
}

HRESULT TestCapturePin::sizeBuffers(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* requirements) {
    if (!allocator || !requirements) return E_POINTER;
    const VIDEOINFOHEADER* info = connectionFormat.videoInfo();
    if (!info) return VFW_E_TYPE_NOT_ACCEPTED;
    const LONG imageSize = static_cast<LONG>(bitmapImageSize(info->bmiHeader));
    ALLOCATOR_PROPERTIES wanted = *requirements;
    if (wanted.cBuffers < bufferCount) wanted.cBuffers = bufferCount;
    if (wanted.cbBuffer < imageSize) wanted.cbBuffer = imageSize;
    if (wanted.cbAlign < 1) wanted.cbAlign = 1;
    ALLOCATOR_PROPERTIES actual{};
    HRESULT hr = allocator->SetProperties(&wanted, &actual);
    if (FAILED(hr)) return hr;
    if (actual.cbBuffer < imageSize || actual.cBuffers < 1) return E_FAIL;
    return S_OK;
}

// ---- streaming ------------------------------------------------------------

HRESULT TestCapturePin::onActivate() {
    HRESULT hr = OutputPinCore::onActivate();
    if (FAILED(hr)) return hr;
    const VIDEOINFOHEADER* info = connectionFormat.videoInfo();
    if (!info) return VFW_E_NOT_CONNECTED;
    pictureFormat =
        TestPictureFormat{info->bmiHeader.biWidth, info->bmiHeader.biHeight, info->bmiHeader.biBitCount};
    picture = testEyePicture(camera->deviceInfo().eye, pictureFormat);

    bool found = false;
    DWORD fps = readSetting(camera->deviceInfo(), DV_TESTCAMS_FPS_VALUE, "DV_TESTCAM_FPS", &found);
    if (found)
        frameInterval = fps ? 10000000 / static_cast<REFERENCE_TIME>(fps) : 0;
    else
        frameInterval = info->AvgTimePerFrame > 0 ? info->AvgTimePerFrame : defaultInterval;
    sampleDuration = frameInterval ? frameInterval : (info->AvgTimePerFrame > 0 ? info->AvgTimePerFrame : 1);
    frameLimit = readSetting(camera->deviceInfo(), L"FrameCount", "DV_TESTCAM_FRAMES", &found);
    frameNumber = 0;

    ComPtr<IPin> peer = connectedPeer();
    HRESULT queueResult = S_OK;
    queue = std::make_unique<DeliveryQueue>(peer.Get(), &queueResult, DeliveryQueueOptions{});
    if (FAILED(queueResult)) {
        queue.reset();
        OutputPinCore::onDeactivate();
        return queueResult;
    }
    streamAllocator = allocator;
    {
        std::lock_guard<std::mutex> hold(streamMutex);
        stopRequested = false;
        running = false;
        holdBack = false;
        delivering = false;
        counters = TestCameraStats{};
    }
    streamer = std::thread([this] { streamLoop(); });
    return S_OK;
}

HRESULT TestCapturePin::onRun(REFERENCE_TIME start) {
    std::lock_guard<std::mutex> hold(streamMutex);
    streamClock = camera->referenceClock();
    streamStart = start;
    running = true;
    ++runGeneration;
    streamChanged.notify_all();
    return S_OK;
}

void TestCapturePin::streamPaused() {
    std::lock_guard<std::mutex> hold(streamMutex);
    running = false;
    streamChanged.notify_all();
}

HRESULT TestCapturePin::onDeactivate() {
    {
        std::lock_guard<std::mutex> hold(streamMutex);
        stopRequested = true;
        running = false;
        streamChanged.notify_all();
    }
    // Decommitting first releases a streaming thread waiting in GetBuffer.
    HRESULT hr = OutputPinCore::onDeactivate();
    stopStreaming();
    return hr;
}

void TestCapturePin::stopStreaming() {
    {
        std::lock_guard<std::mutex> hold(streamMutex);
        stopRequested = true;
        streamChanged.notify_all();
    }
    if (streamer.joinable()) streamer.join();
    queue.reset();  // joins the worker, releases what it still holds
    streamAllocator.Reset();
    std::lock_guard<std::mutex> hold(streamMutex);
    streamClock.Reset();
}

void TestCapturePin::streamLoop() {
    using Clock = std::chrono::steady_clock;
    const bool stalled = camera->deviceInfo().kind == TestCameraKind::stalled;
    unsigned seenGeneration = 0;
    bool discontinuity = true;
    Clock::time_point due = Clock::now();
    std::unique_lock<std::mutex> hold(streamMutex);
    for (;;) {
        streamChanged.wait(hold, [&] { return stopRequested || (running && !holdBack && !stalled); });
        if (stopRequested) return;
        if (seenGeneration != runGeneration) {
            seenGeneration = runGeneration;
            due = Clock::now();
            discontinuity = true;
        }
        if (frameInterval > 0) {
            const Clock::time_point now = Clock::now();
            if (now < due) {
                streamChanged.wait_until(hold, due, [&] {
                    return stopRequested || !running || holdBack || seenGeneration != runGeneration;
                });
                continue;
            }
            const auto period = std::chrono::microseconds(frameInterval / 10);
            due += period;
            if (due < now) due = now + period;  // fell behind: no burst to catch up
        }
        ComPtr<IReferenceClock> clock = streamClock;
        const REFERENCE_TIME start = streamStart;
        delivering = true;
        hold.unlock();
        deliverFrame(clock.Get(), start, discontinuity);
        hold.lock();
        delivering = false;
        streamChanged.notify_all();
        discontinuity = false;
        if (frameLimit != 0 && frameNumber >= frameLimit && !counters.endOfStreamSent) {
            counters.endOfStreamSent = true;
            hold.unlock();
            queue->endOfStream();
            hold.lock();
        }
        if (FAILED(counters.lastDeliveryResult) || counters.endOfStreamSent) {
            // A live source stops pushing after a refusal or its last frame.
            streamChanged.wait(hold, [&] { return stopRequested; });
            return;
        }
    }
}

void TestCapturePin::deliverFrame(IReferenceClock* clock, REFERENCE_TIME start, bool discontinuity) {
    ComPtr<IMediaSample> sample;
    HRESULT hr = streamAllocator->GetBuffer(sample.GetAddressOf(), nullptr, nullptr, 0);
    if (FAILED(hr) || !sample) {
        std::unique_lock<std::mutex> hold(streamMutex);
        ++counters.bufferFailures;
        // Decommitted (stopping) or out of memory: do not spin.
        streamChanged.wait_for(hold, std::chrono::milliseconds(5), [&] { return stopRequested; });
        return;
    }
    BYTE* data = nullptr;
    const size_t size = picture->size();
    if (FAILED(sample->GetPointer(&data)) || !data || static_cast<size_t>(sample->GetSize()) < size) return;
    std::memcpy(data, picture->data(), size);
    stampFrameNumber(data, pictureFormat, frameNumber);
    sample->SetActualDataLength(static_cast<LONG>(size));
    sample->SetSyncPoint(TRUE);
    sample->SetDiscontinuity(discontinuity ? TRUE : FALSE);
    sample->SetPreroll(FALSE);
    REFERENCE_TIME now = 0;
    if (clock && SUCCEEDED(clock->GetTime(&now))) {
        REFERENCE_TIME begin = now - start;
        REFERENCE_TIME end = begin + sampleDuration;
        sample->SetTime(&begin, &end);
    } else {
        sample->SetTime(nullptr, nullptr);
    }
    LONGLONG mediaBegin = frameNumber;
    LONGLONG mediaEnd = frameNumber + 1;
    sample->SetMediaTime(&mediaBegin, &mediaEnd);
    ++frameNumber;
    hr = queue->receive(std::move(sample));
    std::lock_guard<std::mutex> hold(streamMutex);
    counters.lastDeliveryResult = hr;
    if (hr == S_OK) ++counters.framesDelivered;
}

HRESULT TestCapturePin::flushStream() {
    {
        std::unique_lock<std::mutex> hold(streamMutex);
        if (!queue) return VFW_E_WRONG_STATE;
        holdBack = true;
        streamChanged.notify_all();
    }
    // Begin flush first: it releases a delivery blocked downstream.
    HRESULT hr = queue->beginFlush();
    {
        std::unique_lock<std::mutex> hold(streamMutex);
        streamChanged.wait(hold, [&] { return !delivering; });
    }
    HRESULT end = queue->endFlush();
    std::lock_guard<std::mutex> hold(streamMutex);
    holdBack = false;
    streamChanged.notify_all();
    return FAILED(hr) ? hr : end;
}

TestCameraStats TestCapturePin::stats() {
    std::lock_guard<std::mutex> hold(streamMutex);
    return counters;
}

// ---- IAMStreamConfig --------------------------------------------------------

STDMETHODIMP TestCapturePin::SetFormat(AM_MEDIA_TYPE* format) {
    if (!format) return E_POINTER;
    ScopedLock hold(lock);
    HRESULT hr = checkFormat(*format);
    if (hr != S_OK) return hr;
    MediaFormat chosen(*format);
    if (FAILED(chosen.status())) return chosen.status();
    VIDEOINFOHEADER* info = chosen.videoInfo();
    info->bmiHeader.biSizeImage = bitmapImageSize(info->bmiHeader);
    chosen.setSampleSize(info->bmiHeader.biSizeImage);
    if (isConnected()) {
        if (!camera->isStopped()) return VFW_E_NOT_STOPPED;
        ComPtr<IPin> peer = connectedPeer();
        if (peer->QueryAccept(chosen.raw()) != S_OK) return VFW_E_INVALIDMEDIATYPE;
    }
    chosenFormat = std::move(chosen);
    bumpFormatVersion();
    if (isConnected()) return camera->reconnectPin(this, chosenFormat.raw());
    return S_OK;
}

STDMETHODIMP TestCapturePin::GetFormat(AM_MEDIA_TYPE** format) {
    if (!format) return E_POINTER;
    ScopedLock hold(lock);
    MediaFormat current;
    if (isConnected())
        current = connectionFormat;
    else if (chosenFormat.formatLength() != 0)
        current = chosenFormat;
    else
        makeType(capabilities.front(), &current);
    *format = current.createCopy();
    return *format ? S_OK : E_OUTOFMEMORY;
}

STDMETHODIMP TestCapturePin::GetNumberOfCapabilities(int* count, int* size) {
    if (!count || !size) return E_POINTER;
    *count = static_cast<int>(capabilities.size());
    *size = sizeof(VIDEO_STREAM_CONFIG_CAPS);
    return S_OK;
}

STDMETHODIMP TestCapturePin::GetStreamCaps(int index, AM_MEDIA_TYPE** format, BYTE* caps) {
    if (!format || !caps) return E_POINTER;
    *format = nullptr;
    if (index < 0) return E_INVALIDARG;
    if (index >= static_cast<int>(capabilities.size())) return S_FALSE;
    const Capability& cap = capabilities[index];
    MediaFormat type;
    makeType(cap, &type);
    *format = type.createCopy();
    if (!*format) return E_OUTOFMEMORY;
    VIDEO_STREAM_CONFIG_CAPS config;
    std::memset(&config, 0, sizeof(config));
    config.guid = FORMAT_VideoInfo;
    const LONG rows = cap.height < 0 ? -cap.height : cap.height;
    config.InputSize = SIZE{cap.width, rows};
    config.MinCroppingSize = config.MaxCroppingSize = config.InputSize;
    config.CropGranularityX = config.CropGranularityY = 1;
    config.CropAlignX = config.CropAlignY = 1;
    config.MinOutputSize = SIZE{16, 16};
    config.MaxOutputSize = SIZE{maxDimension, maxDimension};
    config.OutputGranularityX = config.OutputGranularityY = 1;
    config.MinFrameInterval = 166666;    // 60 frames per second
    config.MaxFrameInterval = 10000000;  // 1 frame per second
    const LONG bits = static_cast<LONG>(cap.width * rows * cap.bitCount);
    config.MinBitsPerSecond = bits;
    config.MaxBitsPerSecond = bits * 60;
    std::memcpy(caps, &config, sizeof(config));
    return S_OK;
}

// ---- IKsPropertySet ---------------------------------------------------------

STDMETHODIMP TestCapturePin::Set(REFGUID, DWORD, LPVOID, DWORD, LPVOID, DWORD) {
    return E_NOTIMPL;
}

STDMETHODIMP TestCapturePin::Get(REFGUID propSet, DWORD id, LPVOID, DWORD, LPVOID propertyData,
                                 DWORD dataLength, DWORD* returned) {
    if (propSet != AMPROPSETID_Pin) return E_PROP_SET_UNSUPPORTED;
    if (id != AMPROPERTY_PIN_CATEGORY) return E_PROP_ID_UNSUPPORTED;
    if (!propertyData && !returned) return E_POINTER;
    if (returned) *returned = sizeof(GUID);
    if (!propertyData) return S_OK;
    if (dataLength < sizeof(GUID)) return E_UNEXPECTED;
    std::memcpy(propertyData, &PIN_CATEGORY_CAPTURE, sizeof(GUID));
    return S_OK;
}

STDMETHODIMP TestCapturePin::QuerySupported(REFGUID propSet, DWORD id, DWORD* typeSupport) {
    if (propSet != AMPROPSETID_Pin) return E_PROP_SET_UNSUPPORTED;
    if (id != AMPROPERTY_PIN_CATEGORY) return E_PROP_ID_UNSUPPORTED;
    if (typeSupport) *typeSupport = KSPROPERTY_SUPPORT_GET;
    return S_OK;
}

// ---- TestCameraFilter -------------------------------------------------------

TestCameraFilter::TestCameraFilter(const TestCameraDevice* device, IUnknown* outer)
    : FilterCore(*device->classId, &filterLock, outer), device(device) {
    pin = std::make_unique<TestCapturePin>(this, &filterLock);
}

TestCameraFilter::~TestCameraFilter() = default;

PinCore* TestCameraFilter::pinAt(int index) {
    return index == 0 ? pin.get() : nullptr;
}

STDMETHODIMP TestCameraFilter::Pause() {
    ScopedLock hold(lock);
    const bool wasRunning = state.load() == State_Running;
    HRESULT hr = FilterCore::Pause();
    if (SUCCEEDED(hr) && wasRunning) pin->streamPaused();
    return hr;
}

STDMETHODIMP TestCameraFilter::GetState(DWORD timeoutMs, FILTER_STATE* out) {
    HRESULT hr = FilterCore::GetState(timeoutMs, out);
    if (hr == S_OK && *out == State_Paused) return VFW_S_CANT_CUE;
    return hr;
}

HRESULT createTestCamera(const TestCameraDevice* device, IUnknown* outer, REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (!device) return E_INVALIDARG;
    if (outer && riid != IID_IUnknown) return CLASS_E_NOAGGREGATION;
    auto* filter = new (std::nothrow) TestCameraFilter(device, outer);
    if (!filter) return E_OUTOFMEMORY;
    filter->nonDelegatingAddRef();
    const HRESULT hr = filter->nonDelegatingQueryInterface(riid, ppv);
    filter->nonDelegatingRelease();
    return hr;
}
