#include "picture_support/picture_support.h"

namespace picture_support {

STDMETHODIMP BufferSample::QueryInterface(REFIID, void** ppv) {
    if (ppv) *ppv = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP BufferSample::GetPointer(BYTE** out) {
    if (!out) return E_POINTER;
    *out = data;
    return S_OK;
}

namespace {

DWORD rgb24Stride(int width) {
    return (static_cast<DWORD>(width) * 3 + 3) & ~DWORD{3};
}

}  // namespace

Rgb24Type::Rgb24Type(int width, int height) {
    BITMAPINFOHEADER& bitmap = info.bmiHeader;
    bitmap.biSize = sizeof(BITMAPINFOHEADER);
    bitmap.biWidth = width;
    bitmap.biHeight = height;
    bitmap.biPlanes = 1;
    bitmap.biBitCount = 24;
    bitmap.biCompression = BI_RGB;
    bitmap.biSizeImage = rgb24Stride(width) * static_cast<DWORD>(height < 0 ? -height : height);
    info.AvgTimePerFrame = 333333;
    mt.majortype = MEDIATYPE_Video;
    mt.subtype = MEDIASUBTYPE_RGB24;
    mt.bFixedSizeSamples = TRUE;
    mt.lSampleSize = bitmap.biSizeImage;
    mt.formattype = FORMAT_VideoInfo;
    mt.cbFormat = sizeof(VIDEOINFOHEADER);
    mt.pbFormat = reinterpret_cast<BYTE*>(&info);
}

}  // namespace picture_support
