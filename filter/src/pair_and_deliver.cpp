// The frame pump: pairs one frame of each camera, composes and delivers it.

#include <cstring>
#include <mutex>

#include "compositor/compose.h"
#include "compositor/image.h"
#include "filter/composed_video_pin.h"
#include "filter/stereo_camera_filter.h"
#include "framework/runtime_settings.h"
#include "platform/trace.h"

namespace {

// The media-time pair of the next composed frame, shared by every filter
// instance of the module. Each filter changes it only under its own
// filterLock, so two instances need this guard between them.
std::mutex counterGuard;
LONGLONG sampleMediaStart = 1;
LONGLONG sampleMediaEnd = 1;

void advanceSampleMediaTimes() {
    std::lock_guard<std::mutex> hold(counterGuard);
    ++sampleMediaStart;
    ++sampleMediaEnd;
}

// A callback header over `sample`'s buffer as described by `format`, or
// false when the format is not a 24-bit video-info type or the buffer is
// smaller than the picture it claims to hold. Every field is written.
bool makeCallbackView(const MediaFormat& format, IMediaSample* sample, StereoImageHeader* header) {
    BYTE* data = nullptr;
    if (FAILED(sample->GetPointer(&data)) || !data) return false;
    pix::ImageView view;
    if (!makePictureView(&format.get(), data, sample->GetSize(), view)) return false;
    std::memset(header, 0, sizeof *header);  // roi, maskROI, imageId, tileInfo, BorderMode, BorderConst
    header->nSize = static_cast<int>(sizeof *header);
    header->ID = 0;
    header->nChannels = 3;
    header->alphaChannel = 0;
    header->depth = 8;  // 8 bits per channel, unsigned
    std::memcpy(header->colorModel, "RGB", 4);
    std::memcpy(header->channelSeq, "BGR", 4);
    header->dataOrder = 0;
    header->origin = 1;
    header->align = 4;
    header->width = view.width;
    header->height = view.height;
    header->widthStep = static_cast<int>(view.stride);
    header->imageSize = static_cast<int>(view.byteSize());
    header->imageData = reinterpret_cast<char*>(view.data);
    header->imageDataOrigin = header->imageData;
    return true;
}

}  // namespace

SampleMediaTimes currentSampleMediaTimes() {
    std::lock_guard<std::mutex> hold(counterGuard);
    return SampleMediaTimes{sampleMediaStart, sampleMediaEnd};
}

void StereoCameraFilter::invokeFrameCallback(IMediaSample* left, IMediaSample* right) {
    const StereoFrameCallback callback = frameCallback.load();
    if (!callback) return;
    StereoImageHeader leftView{};
    StereoImageHeader rightView{};
    if (!makeCallbackView(input1->connectionMediaFormat(), left, &leftView)) return;
    if (!makeCallbackView(input2->connectionMediaFormat(), right, &rightView)) return;
    callback(&leftView, &rightView);
}

HRESULT StereoCameraFilter::pairAndDeliver() {
    ScopedLock hold(filterLock);
    // Own references for the duration of the step: the frame callback and the
    // compositor run re-entrantly under filterLock and could drop a held frame.
    const ComPtr<IMediaSample> left = input1->heldSample();
    const ComPtr<IMediaSample> right = input2->heldSample();
    if (!left || !right) return S_OK;

    SampleMediaTimes times = currentSampleMediaTimes();
    HRESULT hr = left->SetMediaTime(&times.start, &times.end);
    if (FAILED(hr)) {
        DV_TRACE(TraceLevel::error, "pairing: left frame not stamped, dropped: %s", TraceHr(hr).text);
        input1->dropHeldFrame();
        return hr;
    }
    hr = right->SetMediaTime(&times.start, &times.end);
    if (FAILED(hr)) {
        DV_TRACE(TraceLevel::error, "pairing: right frame not stamped, both dropped: %s", TraceHr(hr).text);
        // A right frame that cannot be stamped would occupy its slot forever
        // and stall the stream: drop it together with the left one.
        input1->dropHeldFrame();
        input2->dropHeldFrame();
        return hr;
    }

    invokeFrameCallback(left.Get(), right.Get());

    StereoFormats formats;
    formats.left = &input1->connectionMediaFormat().get();
    formats.right = &input2->connectionMediaFormat().get();
    const CompositionChoice choice{runtimeSettings.imageMode.load(std::memory_order_relaxed),
                                   runtimeSettings.swapCameras.load(std::memory_order_relaxed) != 0};
    composeStereoFrame(left.Get(), right.Get(), formats, choice);

    if (FAILED(output1->sendSample(left.Get()))) input1->dropHeldFrame();
    advanceSampleMediaTimes();

    input1->dropHeldFrame();
    input2->dropHeldFrame();
    return S_OK;
}
