// The VIDEOINFOHEADER of a media type, read only where the type really holds
// one. Shared by every layer that looks at video formats (the compositor and
// the filter framework), so there is one rule for a usable format block.
#pragma once

#include "platform/win.h"

// The VIDEOINFOHEADER of `mt`, or null when `mt` is null, its format type is
// not FORMAT_VideoInfo or its format block is missing or shorter than a
// VIDEOINFOHEADER.
inline const VIDEOINFOHEADER* videoInfoOf(const AM_MEDIA_TYPE* mt) {
    if (mt == nullptr || !IsEqualGUID(mt->formattype, FORMAT_VideoInfo) || mt->pbFormat == nullptr ||
        mt->cbFormat < sizeof(VIDEOINFOHEADER))
        return nullptr;
    return reinterpret_cast<const VIDEOINFOHEADER*>(mt->pbFormat);
}

inline const VIDEOINFOHEADER* videoInfoOf(const AM_MEDIA_TYPE& mt) {
    return videoInfoOf(&mt);
}
