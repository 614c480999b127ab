// Pictures for code that calls the compositor directly (tests, benchmarks,
// tools): a media sample over a buffer the caller owns, and the 24-bit RGB
// video type with its own VIDEOINFOHEADER.
#pragma once

#include <vector>

#include "platform/win.h"

namespace picture_support {

// A media sample over `size` bytes at `data`, owned by the caller and valid
// for the sample's lifetime. Not counted: AddRef and Release answer constants
// and the sample lives on the caller's stack. GetPointer answers `data` (null
// if the sample was made over null), GetSize and GetActualDataLength `size`;
// QueryInterface answers E_NOINTERFACE and everything else E_NOTIMPL.
class BufferSample final : public IMediaSample {
public:
    BufferSample(BYTE* data, LONG size) : data(data), size(size) {}
    explicit BufferSample(std::vector<BYTE>& buffer)
        : BufferSample(buffer.data(), static_cast<LONG>(buffer.size())) {}

    STDMETHODIMP QueryInterface(REFIID, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP GetPointer(BYTE** out) override;
    STDMETHODIMP_(LONG) GetSize() override { return size; }
    STDMETHODIMP GetTime(REFERENCE_TIME*, REFERENCE_TIME*) override { return E_NOTIMPL; }
    STDMETHODIMP SetTime(REFERENCE_TIME*, REFERENCE_TIME*) override { return E_NOTIMPL; }
    STDMETHODIMP IsSyncPoint() override { return E_NOTIMPL; }
    STDMETHODIMP SetSyncPoint(BOOL) override { return E_NOTIMPL; }
    STDMETHODIMP IsPreroll() override { return E_NOTIMPL; }
    STDMETHODIMP SetPreroll(BOOL) override { return E_NOTIMPL; }
    STDMETHODIMP_(LONG) GetActualDataLength() override { return size; }
    STDMETHODIMP SetActualDataLength(LONG) override { return E_NOTIMPL; }
    STDMETHODIMP GetMediaType(AM_MEDIA_TYPE**) override { return E_NOTIMPL; }
    STDMETHODIMP SetMediaType(AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
    STDMETHODIMP IsDiscontinuity() override { return E_NOTIMPL; }
    STDMETHODIMP SetDiscontinuity(BOOL) override { return E_NOTIMPL; }
    STDMETHODIMP GetMediaTime(LONGLONG*, LONGLONG*) override { return E_NOTIMPL; }
    STDMETHODIMP SetMediaTime(LONGLONG*, LONGLONG*) override { return E_NOTIMPL; }

private:
    BYTE* data;
    LONG size;
};

// MEDIATYPE_Video / MEDIASUBTYPE_RGB24 / FORMAT_VideoInfo of `width` x
// `height` (bottom-up when height > 0): biSize 40, 1 plane, 24 bits, BI_RGB,
// biSizeImage = row bytes (width x 3 padded to 4) x |height|, AvgTimePerFrame 333333 (30
// frames a second), fixed-size samples of biSizeImage bytes. `mt.pbFormat`
// points at `info`, so the type is neither copied nor moved; callers may
// change either field to build a broken type.
struct Rgb24Type {
    Rgb24Type(int width, int height);
    Rgb24Type(const Rgb24Type&) = delete;
    Rgb24Type& operator=(const Rgb24Type&) = delete;
    VIDEOINFOHEADER info{};
    AM_MEDIA_TYPE mt{};
};

}  // namespace picture_support
