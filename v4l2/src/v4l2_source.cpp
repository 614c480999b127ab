// The V4L2 capture source filter and its streaming output pin.
#include "v4l2/v4l2_source.h"

#include <chrono>
#include <cstring>
#include <new>

#include "compositor/image.h"
#include "framework/module_server.h"
#include "platform/trace.h"
#include "platform/v4l2_io.h"

namespace {

constexpr REFERENCE_TIME defaultInterval = 333333;  // 30 frames per second
constexpr int deviceBufferCount = 4;
constexpr int pollTimeoutMs = 100;                   // how soon the streaming thread sees a stop request
constexpr int64_t maxBelievableAgeMicros = 1000000;  // an older capture stamp is taken for a foreign clock

const char* busyNote(HRESULT hr) {
    return hr == HRESULT_FROM_WIN32(ERROR_BUSY) ? " (device busy)" : "";
}

}  // namespace

// ---- V4l2CapturePin -----------------------------------------------------------

V4l2CapturePin::V4l2CapturePin(V4l2SourceFilter* filter, HRESULT* status)
    : CapturePinCore(filter, status), sourceFilter(filter) {}

V4l2CapturePin::~V4l2CapturePin() {
    stopStreaming();
}

void V4l2CapturePin::setCapabilities(const std::vector<DeviceFormat>& formats) {
    capabilities.clear();
    // Sizes in the order the device first names them; per size the preferred format.
    for (const DeviceFormat& f : formats) {
        bool seen = false;
        for (const Capability& cap : capabilities)
            seen = seen || (cap.width == f.width && cap.height == f.height);
        if (seen) continue;
        std::vector<const DeviceFormat*> sameSize;
        for (const DeviceFormat& g : formats)
            if (g.width == f.width && g.height == f.height) sameSize.push_back(&g);
        if (const DeviceFormat* best = preferredFormat(sameSize))
            capabilities.push_back({f.width, f.height, *best});
    }
    bumpFormatVersion();
}

void V4l2CapturePin::makeType(const Capability& cap, REFERENCE_TIME interval, MediaFormat* out) const {
    out->clear();
    out->setMajorType(MEDIATYPE_Video);
    out->setSubtype(MEDIASUBTYPE_RGB24);
    out->setFormatType(FORMAT_VideoInfo);
    out->setTemporalCompression(false);
    auto* info = reinterpret_cast<VIDEOINFOHEADER*>(out->allocFormatBlock(sizeof(VIDEOINFOHEADER)));
    if (!info) return;
    std::memset(info, 0, sizeof(*info));
    info->AvgTimePerFrame = interval > 0 ? interval : defaultInterval;
    info->bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info->bmiHeader.biWidth = cap.width;
    info->bmiHeader.biHeight = cap.height;
    info->bmiHeader.biPlanes = 1;
    info->bmiHeader.biBitCount = 24;
    info->bmiHeader.biCompression = BI_RGB;
    info->bmiHeader.biSizeImage = bitmapImageSize(info->bmiHeader);
    const uint64_t bits = static_cast<uint64_t>(info->bmiHeader.biSizeImage) * 8u * 10000000u /
                          static_cast<uint64_t>(info->AvgTimePerFrame);
    info->dwBitRate = bits > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<DWORD>(bits);
    out->setSampleSize(info->bmiHeader.biSizeImage);
}

void V4l2CapturePin::makeCapabilityType(int index, MediaFormat* out) {
    const Capability& cap = capabilities[static_cast<size_t>(index)];
    makeType(cap, cap.device.fastest(), out);
}

HRESULT V4l2CapturePin::checkFormat(const AM_MEDIA_TYPE& format) {
    return capabilityFor(format) ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
}

// The capability of the format's size when the format is a bottom-up 24-bit
// RGB video-info type; else null.
const V4l2CapturePin::Capability* V4l2CapturePin::capabilityFor(const AM_MEDIA_TYPE& format) const {
    if (format.majortype != MEDIATYPE_Video || format.subtype != MEDIASUBTYPE_RGB24) return nullptr;
    const VIDEOINFOHEADER* info = videoInfoOf(format);
    if (!info || info->bmiHeader.biCompression != BI_RGB || info->bmiHeader.biBitCount != 24 ||
        info->bmiHeader.biHeight <= 0)
        return nullptr;
    for (const Capability& cap : capabilities)
        if (cap.width == info->bmiHeader.biWidth && cap.height == info->bmiHeader.biHeight) return &cap;
    return nullptr;
}

// The device format of `cap` at the listed interval nearest to `requested`
// (the fastest when none is requested or none is listed).
DeviceChoice V4l2CapturePin::choiceFor(const Capability& cap, REFERENCE_TIME requested) const {
    DeviceChoice choice{cap.device.pixelFormat, cap.width, cap.height, cap.device.fastest()};
    if (requested > 0) {
        choice.interval = requested;
        if (!cap.device.intervals.empty()) {
            REFERENCE_TIME best = cap.device.intervals.front();
            for (REFERENCE_TIME i : cap.device.intervals)
                if ((i > requested ? i - requested : requested - i) <
                    (best > requested ? best - requested : requested - best))
                    best = i;
            choice.interval = best;
        }
    }
    return choice;
}

HRESULT V4l2CapturePin::openConfigured(const DeviceChoice& choice, std::unique_ptr<V4l2Device>* out) {
    std::unique_ptr<V4l2Device> opened;
    HRESULT hr = V4l2Device::open(sourceFilter->devicePath(), &opened);
    if (SUCCEEDED(hr)) hr = opened->configure(choice);
    if (FAILED(hr)) {
        DV_TRACE(TraceLevel::error, "v4l2 %s: cannot set %ux%u: %s%s", sourceFilter->devicePath().c_str(),
                 static_cast<unsigned>(choice.width), static_cast<unsigned>(choice.height), TraceHr(hr).text,
                 busyNote(hr));
        return hr;
    }
    *out = std::move(opened);
    return S_OK;
}

HRESULT V4l2CapturePin::acceptFormat(const AM_MEDIA_TYPE& format) {
    ScopedLock hold(lock);
    return CapturePinCore::acceptFormat(format);
}

// ---- streaming ------------------------------------------------------------------

HRESULT V4l2CapturePin::onActivate() {
    const VIDEOINFOHEADER* info = connectionFormat.videoInfo();
    const Capability* cap = capabilityFor(connectionFormat.raw()[0]);
    if (!info || !cap) return VFW_E_NOT_CONNECTED;
    HRESULT hr = OutputPinCore::onActivate();
    if (FAILED(hr)) return hr;
    const DeviceChoice choice =
        chosenFormat.formatLength() != 0 ? chosenDevice : choiceFor(*cap, info->AvgTimePerFrame);
    std::unique_ptr<V4l2Device> opened;
    hr = openConfigured(choice, &opened);
    if (SUCCEEDED(hr)) {
        hr = opened->startStreaming(deviceBufferCount);
        if (FAILED(hr))
            DV_TRACE(TraceLevel::error, "v4l2 %s: cannot start streaming: %s%s",
                     sourceFilter->devicePath().c_str(), TraceHr(hr).text, busyNote(hr));
    }
    std::unique_ptr<FrameConverter> made;
    if (SUCCEEDED(hr)) hr = FrameConverter::create(opened->format(), opened->descriptor(), &made);
    if (FAILED(hr)) {
        opened.reset();
        CapturePinCore::onDeactivate();  // no thread yet: undoes the commit
        return hr;
    }
    device = std::move(opened);
    converter = std::move(made);
    frameWidth = cap->width;
    frameHeight = cap->height;
    frameDuration = device->interval() > 0
                        ? device->interval()
                        : (info->AvgTimePerFrame > 0 ? info->AvgTimePerFrame : defaultInterval);
    hr = startStreaming();
    if (FAILED(hr)) releaseStream();
    return hr;
}

void V4l2CapturePin::onStreamStarting() {
    counters = V4l2StreamStats{};
}

void V4l2CapturePin::releaseStream() {
    converter.reset();
    device.reset();  // STREAMOFF, unmap, REQBUFS 0, close
}

void V4l2CapturePin::streamLoop() {
    bool discontinuity = true;
    for (;;) {
        {
            std::lock_guard<std::mutex> hold(streamMutex);
            if (stopRequested) return;
        }
        V4l2Device::Frame frame;
        HRESULT hr = device->nextFrame(pollTimeoutMs, &frame);
        if (hr == S_FALSE) continue;
        ComPtr<IReferenceClock> clock;
        REFERENCE_TIME start = 0;
        bool deliver = false;
        {
            std::lock_guard<std::mutex> hold(streamMutex);
            clock = streamClock;
            start = streamStart;
            deliver = running && !stopRequested;
        }
        REFERENCE_TIME now = 0;
        const bool stamped = SUCCEEDED(hr) && clock && SUCCEEDED(clock->GetTime(&now));
        // The stream time of the capture when the driver's stamp is
        // believable (the frame's age at the dequeue taken off the clock's
        // time, so the stamp does not carry the driver's and the scheduler's
        // delays), else of the arrival.
        REFERENCE_TIME captured = now - start;
        if (frame.ageMicros >= 0 && frame.ageMicros <= maxBelievableAgeMicros)
            captured -= frame.ageMicros * 10;
        if (SUCCEEDED(hr)) {
            // Frames captured before the graph's start time (Run is given a
            // start slightly ahead) are not delivered.
            const bool early = stamped && captured < 0;
            const bool delivered = deliver && !early && frame.bytesUsed > 0 &&
                                   deliverFrame(frame, stamped ? &captured : nullptr, discontinuity);
            if (!delivered) {
                std::lock_guard<std::mutex> hold(streamMutex);
                ++counters.framesSkipped;
            }
            discontinuity = !delivered;
            hr = device->requeue(frame.index);
        }
        if (FAILED(hr)) {
            DV_TRACE(TraceLevel::error, "v4l2 %s: capture failed: %s; end of stream",
                     sourceFilter->devicePath().c_str(), TraceHr(hr).text);
            queue->endOfStream();
            std::unique_lock<std::mutex> hold(streamMutex);
            counters.endOfStreamSent = true;
            counters.deviceFailure = hr;
            return;
        }
    }
}

bool V4l2CapturePin::deliverFrame(const V4l2Device::Frame& frame, const REFERENCE_TIME* start,
                                  bool discontinuity) {
    const std::ptrdiff_t stride = pix::pictureStride(frameWidth);
    const LONG size = static_cast<LONG>(stride * frameHeight);
    ComPtr<IMediaSample> sample;
    BYTE* data = nullptr;
    // No buffer (decommitted: stopping) or an unusable one: the frame is dropped.
    if (obtainFrameBuffer(size, &sample, &data) != S_OK) return false;
    const pix::BgrTarget target{data, stride, frameWidth, frameHeight, true};
    if (!converter->convert(frame.data, frame.bytesUsed, target)) return false;
    const HRESULT hr = sendFrame(std::move(sample), size, start, frameDuration, discontinuity);
    std::lock_guard<std::mutex> hold(streamMutex);
    if (hr == S_OK) ++counters.framesDelivered;
    return hr == S_OK;
}

V4l2StreamStats V4l2CapturePin::stats() {
    std::lock_guard<std::mutex> hold(streamMutex);
    return counters;
}

// ---- IAMStreamConfig ----------------------------------------------------------------

STDMETHODIMP V4l2CapturePin::SetFormat(AM_MEDIA_TYPE* format) {
    if (!format) return E_POINTER;
    ScopedLock hold(lock);
    const Capability* cap = capabilityFor(*format);
    if (!cap) return VFW_E_INVALIDMEDIATYPE;
    if (isConnected() && !sourceFilter->isStopped()) return VFW_E_NOT_STOPPED;
    const DeviceChoice choice = choiceFor(*cap, videoInfoOf(*format)->AvgTimePerFrame);
    std::unique_ptr<V4l2Device> opened;
    HRESULT hr = openConfigured(choice, &opened);
    if (FAILED(hr)) return hr;
    MediaFormat chosen;
    makeType(*cap, opened->interval() > 0 ? opened->interval() : choice.interval, &chosen);
    opened.reset();  // the device keeps its format; the node is opened again at activation
    if (chosen.formatLength() == 0) return E_OUTOFMEMORY;
    hr = peerAccepts(chosen);
    if (FAILED(hr)) return hr;
    chosenDevice = choice;
    return useChosenFormat(std::move(chosen));
}

void V4l2CapturePin::describeCapability(int index, VIDEO_STREAM_CONFIG_CAPS* caps) {
    const Capability& cap = capabilities[static_cast<size_t>(index)];
    VIDEO_STREAM_CONFIG_CAPS& config = *caps;
    config.InputSize = SIZE{cap.width, cap.height};
    config.MinCroppingSize = config.MaxCroppingSize = config.InputSize;
    config.CropGranularityX = config.CropGranularityY = 1;
    config.CropAlignX = config.CropAlignY = 1;
    config.MinOutputSize = config.MaxOutputSize = config.InputSize;
    config.OutputGranularityX = config.OutputGranularityY = 1;
    const REFERENCE_TIME listed = cap.device.fastest();
    const REFERENCE_TIME fastest = listed > 0 ? listed : defaultInterval;
    // A driver may report an interval of 0 (a malformed fraction): never divide by it.
    REFERENCE_TIME slowest = fastest;
    if (!cap.device.intervals.empty() && cap.device.intervals.back() > slowest)
        slowest = cap.device.intervals.back();
    config.MinFrameInterval = fastest;
    config.MaxFrameInterval = slowest;
    const int64_t frameBits = static_cast<int64_t>(pix::pictureStride(cap.width)) * cap.height * 8;
    config.MinBitsPerSecond =
        static_cast<LONG>(std::min<int64_t>(frameBits * 10000000 / slowest, 0x7FFFFFFF));
    config.MaxBitsPerSecond =
        static_cast<LONG>(std::min<int64_t>(frameBits * 10000000 / fastest, 0x7FFFFFFF));
}

// ---- V4l2SourceFilter ----------------------------------------------------------------

V4l2SourceFilter::V4l2SourceFilter(IUnknown* outer, HRESULT* status)
    : SourceFilterCore(CLSID_DvV4l2CaptureSource, outer) {
    HRESULT hr = S_OK;
    capture = std::make_unique<V4l2CapturePin>(this, &hr);
    if (status) *status = hr;
}

V4l2SourceFilter::~V4l2SourceFilter() = default;

HRESULT V4l2SourceFilter::nonDelegatingQueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    if (riid == IID_IPersistPropertyBag) return getInterface(static_cast<IPersistPropertyBag*>(this), ppv);
    return SourceFilterCore::nonDelegatingQueryInterface(riid, ppv);
}

STDMETHODIMP V4l2SourceFilter::GetClassID(CLSID* out) {
    return SourceFilterCore::GetClassID(out);
}

STDMETHODIMP V4l2SourceFilter::InitNew() {
    return S_OK;
}

STDMETHODIMP V4l2SourceFilter::Load(IPropertyBag* bag, IErrorLog*) {
    if (!bag) return E_POINTER;
    ScopedLock hold(lock);
    if (loaded) return E_UNEXPECTED;
    VARIANT value;
    std::memset(&value, 0, sizeof value);
    value.vt = VT_BSTR;
    HRESULT hr = bag->Read(L"DevicePath", &value, nullptr);
    if (FAILED(hr)) return hr;
    if (value.vt != VT_BSTR || !value.bstrVal) {
        VariantClear(&value);
        return E_INVALIDARG;
    }
    char text[4096];
    dvFormatWide(value.bstrVal, text, sizeof text);
    VariantClear(&value);
    std::unique_ptr<V4l2Device> device;
    hr = V4l2Device::open(text, &device);
    if (FAILED(hr)) return hr;
    std::vector<DeviceFormat> formats;
    hr = device->listFormats(&formats);
    if (FAILED(hr)) return hr;
    capturePin()->setCapabilities(formats);
    if (capturePin()->offered().empty()) {
        DV_TRACE(TraceLevel::error, "v4l2 %s: no frame size in a format that can be converted", text);
        return VFW_E_NO_TYPES;
    }
    path = text;
    loaded = true;
    DV_TRACE(TraceLevel::state, "v4l2 %s: \"%s\", %zu frame sizes", text, device->card().c_str(),
             capturePin()->offered().size());
    return S_OK;
}

STDMETHODIMP V4l2SourceFilter::Save(IPropertyBag*, BOOL, BOOL) {
    return E_NOTIMPL;
}

HRESULT createV4l2Source(IUnknown* outer, REFIID riid, void** ppv) {
    return createComponent(outer, riid, ppv, [&](HRESULT* status) -> ComponentCore* {
        return new (std::nothrow) V4l2SourceFilter(outer, status);
    });
}
