// The host's renderer filter.
#include "host_sink.h"

namespace {
// {906A4C93-53D5-493B-863E-164508A1D00F}
constexpr GUID hostSinkClassId = {
    0x906A4C93, 0x53D5, 0x493B, {0x86, 0x3E, 0x16, 0x45, 0x08, 0xA1, 0xD0, 0x0F}};
}  // namespace

HostSinkPin::HostSinkPin(HostSinkFilter* filter, CriticalSection* lock, HRESULT* status)
    : InputPinCore(filter, lock, status, L"In"), sink(filter) {}

HRESULT HostSinkPin::acceptFormat(const AM_MEDIA_TYPE& format) {
    if (format.majortype != MEDIATYPE_Video || format.subtype != MEDIASUBTYPE_RGB24)
        return VFW_E_TYPE_NOT_ACCEPTED;
    const VIDEOINFOHEADER* info = videoInfoOf(format);
    if (!info) return VFW_E_TYPE_NOT_ACCEPTED;
    const BITMAPINFOHEADER& bmi = info->bmiHeader;
    if (bmi.biBitCount != 24 || bmi.biCompression != BI_RGB || bmi.biWidth <= 0 || bmi.biHeight <= 0)
        return VFW_E_TYPE_NOT_ACCEPTED;
    if (sink->expectedWidth > 0 &&
        (bmi.biWidth != sink->expectedWidth || bmi.biHeight != sink->expectedHeight))
        return VFW_E_TYPE_NOT_ACCEPTED;
    return S_OK;
}

STDMETHODIMP HostSinkPin::Receive(IMediaSample* sample) {
    HRESULT hr = InputPinCore::Receive(sample);
    if (hr != S_OK) return hr;
    // The connection format does not change while the graph streams.
    const VIDEOINFOHEADER* info = connectionFormat.videoInfo();
    BYTE* data = nullptr;
    if (!info || FAILED(sample->GetPointer(&data)) || !data) return S_OK;
    SinkFrame frame{};
    frame.width = info->bmiHeader.biWidth;
    frame.height = info->bmiHeader.biHeight;
    frame.stride = (static_cast<std::ptrdiff_t>(frame.width) * 3 + 3) & ~static_cast<std::ptrdiff_t>(3);
    if (sample->GetActualDataLength() < frame.stride * frame.height) {
        ++sink->shortCount;
        return S_OK;
    }
    frame.pixels = data;
    frame.mediaTimeValid = sample->GetMediaTime(&frame.mediaStart, &frame.mediaEnd) == S_OK;
    frame.timeValid = SUCCEEDED(sample->GetTime(&frame.start, &frame.stop));
    sink->consumer->onFrame(frame);
    return S_OK;
}

STDMETHODIMP HostSinkPin::ReceiveCanBlock() {
    return sink->receiveCanBlock ? S_OK : S_FALSE;
}

STDMETHODIMP HostSinkPin::EndOfStream() {
    sink->consumer->onEndOfStream();
    sink->postGraphEvent(EC_COMPLETE, S_OK, 0);
    return S_OK;
}

HostSinkFilter::HostSinkFilter(FrameConsumer* consumer)
    : FilterCore(hostSinkClassId, &filterLock), consumer(consumer) {
    HRESULT status = S_OK;
    pin = std::make_unique<HostSinkPin>(this, &filterLock, &status);
}

HostSinkFilter::~HostSinkFilter() = default;
