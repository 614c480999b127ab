// The stereo compositor: one composed picture per pair of camera samples,
// written into the left camera's sample buffer.
#pragma once

#include "compositor/image.h"
#include "compositor/image_mode.h"
#include "platform/video_info.h"
#include "platform/win.h"

// The media types with which the two input pins are connected ("Input1", the
// left camera, and "Input2", the right camera). Either may be null when a pin
// has no format; the compositor then treats that pin's pictures as not 24-bit.
// The pointed-to types must stay valid for the duration of the call.
struct StereoFormats {
    const AM_MEDIA_TYPE* left = nullptr;
    const AM_MEDIA_TYPE* right = nullptr;
};

// videoInfoOf (platform/video_info.h) is the one reading of a format block.

// A picture view over a sample buffer as the compositor and the frame callback
// see it: width biWidth, height |biHeight|, 3 channels B, G, R, row stride
// width x 3 rounded up to 4 bytes, buffer row 0 first; nothing is copied.
// Fails (returns false, `view` emptied) when the format is not a usable 24-bit
// VIDEOINFOHEADER, `data` is null, or the picture needs more than
// `bufferSize` bytes.
bool makePictureView(const AM_MEDIA_TYPE* mt, BYTE* data, LONG bufferSize, pix::ImageView& view);

// The choice a composition follows, filled by the caller (the pairing step
// reads it from the current settings once per pair).
struct CompositionChoice {
    int32_t imageMode = defaultImageMode;  // an ImageMode; another number composes nothing
    bool swapCameras = false;              // the right camera's picture is the left eye
};

// Composes the pair (left, right) in `choice`'s image mode and with its swap
// flag. Afterwards `left`'s buffer holds the
// composed picture and `right`'s buffer holds scratch data.
//  - A sample that yields no buffer address: the "null pointer" warning box is
//    shown (the calling thread waits for it) and nothing is composed.
//  - A format that is not 24-bit (or not a usable VIDEOINFOHEADER), or a buffer
//    smaller than its format's picture: nothing is changed.
// Called by the pairing step on a camera streaming thread inside `filterLock`;
// takes the frame store lock (after the null check) for the rest of the call.
// Allocates nothing. Always returns S_OK.
HRESULT composeStereoFrame(IMediaSample* left, IMediaSample* right, const StereoFormats& formats,
                           const CompositionChoice& choice);
