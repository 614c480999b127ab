// The test camera filter and its streaming output pin.
#include "testcams/test_camera_filter.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "framework/module_server.h"

namespace {

constexpr REFERENCE_TIME defaultInterval = 333333;  // 30 frames per second
constexpr int maxDimension = 4096;

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

TestCapturePin::TestCapturePin(TestCameraFilter* filter) : CapturePinCore(filter, nullptr), camera(filter) {
    buildCapabilities();
}

TestCapturePin::~TestCapturePin() {
    stopStreaming();
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

void TestCapturePin::makeCapabilityType(int index, MediaFormat* out) {
    const Capability& cap = capabilities[static_cast<size_t>(index)];
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

HRESULT TestCapturePin::checkFormat(const AM_MEDIA_TYPE& format) {
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
    return startStreaming();
}

void TestCapturePin::onStreamStarting() {
    holdBack = false;
    delivering = false;
    counters = TestCameraStats{};
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
    const LONG size = static_cast<LONG>(picture->size());
    ComPtr<IMediaSample> sample;
    BYTE* data = nullptr;
    HRESULT hr = obtainFrameBuffer(size, &sample, &data);
    if (FAILED(hr)) {
        std::unique_lock<std::mutex> hold(streamMutex);
        ++counters.bufferFailures;
        // Decommitted (stopping) or out of memory: do not spin.
        streamChanged.wait_for(hold, std::chrono::milliseconds(5), [&] { return stopRequested; });
        return;
    }
    if (hr != S_OK) return;
    std::memcpy(data, picture->data(), picture->size());
    stampFrameNumber(data, pictureFormat, static_cast<uint32_t>(frameNumber));
    REFERENCE_TIME now = 0;
    const bool stamped = clock && SUCCEEDED(clock->GetTime(&now));
    const REFERENCE_TIME begin = now - start;
    hr = sendFrame(std::move(sample), size, stamped ? &begin : nullptr, sampleDuration, discontinuity);
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
    if (isConnected() && !camera->isStopped()) return VFW_E_NOT_STOPPED;
    hr = peerAccepts(chosen);
    if (FAILED(hr)) return hr;
    return useChosenFormat(std::move(chosen));
}

void TestCapturePin::describeCapability(int index, VIDEO_STREAM_CONFIG_CAPS* caps) {
    const Capability& cap = capabilities[static_cast<size_t>(index)];
    VIDEO_STREAM_CONFIG_CAPS& config = *caps;
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
}

// ---- TestCameraFilter -------------------------------------------------------

TestCameraFilter::TestCameraFilter(const TestCameraDevice* device, IUnknown* outer)
    : SourceFilterCore(*device->classId, outer), device(device) {
    capture = std::make_unique<TestCapturePin>(this);
}

TestCameraFilter::~TestCameraFilter() = default;

HRESULT createTestCamera(const TestCameraDevice* device, IUnknown* outer, REFIID riid, void** ppv) {
    if (ppv && !device) {
        *ppv = nullptr;
        return E_INVALIDARG;
    }
    return createComponent(outer, riid, ppv, [&](HRESULT*) -> ComponentCore* {
        return new (std::nothrow) TestCameraFilter(device, outer);
    });
}
