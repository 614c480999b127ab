// Shared helpers of the compositor tests: a media sample over a buffer the
// test owns, 24-bit media types, picture buffers and an OpenCV reference that
// follows the image modes' steps literally.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include <opencv2/core.hpp>

#include "compositor/compose.h"
#include "compositor/image.h"

namespace testing_support {

// A media sample over a buffer the test owns. GetPointer answers the buffer (or null when
// `nullPointer` is set), GetSize its size; everything else is not implemented.
class FakeSample final : public IMediaSample {
public:
    explicit FakeSample(std::vector<BYTE>* buffer, bool nullPointer = false)
        : FakeSample(buffer->data(), static_cast<LONG>(buffer->size()), nullPointer) {}
    FakeSample(BYTE* data, LONG size, bool nullPointer = false) : data(data), size(size), nullPointer(nullPointer) {}

    STDMETHODIMP QueryInterface(REFIID, void** ppv) override {
        if (ppv) *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP GetPointer(BYTE** out) override {
        if (!out) return E_POINTER;
        *out = nullPointer ? nullptr : data;
        return S_OK;
    }
    STDMETHODIMP_(LONG) GetSize() override { return size; }
    STDMETHODIMP GetTime(REFERENCE_TIME*, REFERENCE_TIME*) override { return E_NOTIMPL; }
    STDMETHODIMP SetTime(REFERENCE_TIME*, REFERENCE_TIME*) override { return E_NOTIMPL; }
    STDMETHODIMP IsSyncPoint() override { return E_NOTIMPL; }
    STDMETHODIMP SetSyncPoint(BOOL) override { return E_NOTIMPL; }
    STDMETHODIMP IsPreroll() override { return E_NOTIMPL; }
    STDMETHODIMP SetPreroll(BOOL) override { return E_NOTIMPL; }
    STDMETHODIMP_(LONG) GetActualDataLength() override { return 0; }
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
    bool nullPointer;
};

// An RGB24 media type with its VIDEOINFOHEADER.
struct VideoType {
    VideoType(int width, int height, int bitCount = 24);
    VIDEOINFOHEADER info{};
    AM_MEDIA_TYPE mt{};
};

// A picture buffer of width x height (24-bit, rows padded to 4 bytes).
struct Picture {
    Picture(int width, int height);
    int width, height;
    std::ptrdiff_t stride;
    std::vector<BYTE> bytes;
    pix::ImageView view();
    cv::Mat mat();  // header over `bytes`, buffer row order
    cv::Mat copy() const;
};

void fillRandom(Picture& p, std::mt19937& rng);
void fillColor(Picture& p, uint8_t b, uint8_t g, uint8_t r);
cv::Mat randomMat(int width, int height, int type, std::mt19937& rng);

// Largest absolute difference between two images of one size and type.
int maxDifference(const cv::Mat& a, const cv::Mat& b);

// The composition as the mode steps state it, on OpenCV calls, with working
// images of the left picture's size (absent when the flags say so). `left` and
// `right` are modified in place like the sample buffers.
void referenceCompose(cv::Mat left, cv::Mat right, int32_t mode, bool swap, bool havePicture = true,
                      bool havePlane = true);

}  // namespace testing_support
