#include "capture/rgb24_format.h"

#include <cstring>

#include "compositor/frame_store.h"

HRESULT buildRgb24Format(int width, int height, MediaFormat* out) {
    if (!out) return E_POINTER;
    out->clear();

    VIDEOINFOHEADER info;
    std::memset(&info, 0, sizeof(info));
    info.AvgTimePerFrame = currentVideoFormat().frameInterval;
    setRgb24Bitmap(&info.bmiHeader, width, height);

    const HRESULT hr = out->setFormatBlock(&info, sizeof(info));
    if (FAILED(hr)) return hr;
    out->setMajorType(MEDIATYPE_Video);
    out->setSubtype(MEDIASUBTYPE_RGB24);
    out->setFormatType(FORMAT_VideoInfo);
    out->setTemporalCompression(false);
    out->setSampleSize(info.bmiHeader.biSizeImage);
    return S_OK;
}

void setRgb24Bitmap(BITMAPINFOHEADER* bitmap, int width, int height) {
    bitmap->biSize = sizeof(BITMAPINFOHEADER);
    bitmap->biWidth = width;
    bitmap->biHeight = height;
    bitmap->biPlanes = 1;
    bitmap->biBitCount = 24;
    bitmap->biCompression = BI_RGB;
    bitmap->biSizeImage = bitmapImageSize(*bitmap);
    bitmap->biClrImportant = 0;
}
