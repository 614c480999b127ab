// The uncompressed 24-bit RGB video type that the stereo filter's pins
// propose: video-info format, bottom-up rows padded to 4 bytes.
#pragma once

#include "framework/media_format.h"
#include "platform/win.h"

// Replaces *out by the 24-bit RGB type of `width` x `height`: MEDIATYPE_Video,
// MEDIASUBTYPE_RGB24, FORMAT_VideoInfo, no temporal compression, fixed-size
// samples of biSizeImage bytes; an 88-byte VIDEOINFOHEADER, zeroed, with
// AvgTimePerFrame = frameInterval of videoFormat, biSize 40, the given width
// and height, 1 plane, 24 bits, BI_RGB, biSizeImage = row bytes (a multiple
// of 4) x |height|, empty rectangles. E_POINTER for a null out,
// E_OUTOFMEMORY if the format block cannot be allocated; else S_OK.
HRESULT buildRgb24Format(int width, int height, MediaFormat* out);

// Makes *bitmap the 24-bit RGB picture of `width` x `height`: biSize 40, the
// given width and height, 1 plane, 24 bits, BI_RGB, biSizeImage = row bytes
// (a multiple of 4) x |height|, biClrImportant 0. Its other fields are kept.
void setRgb24Bitmap(BITMAPINFOHEADER* bitmap, int width, int height);
