// Packing composed pictures into the pixel formats a video device takes:
// YUYV 4:2:2 (BT.601 limited range) and RGB24. The source is always a 24-bit
// picture as the compositor leaves it (B, G, R, row 0 = bottom line); the
// output is top line first, as V4L2 devices expect.
//
// The kernels neither allocate nor keep state; each call may run on any
// thread. The choice among instruction-set variants is made once, on first
// use (see useYuyvPackIsaForTesting); every variant gives the same bytes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "compositor/image.h"

namespace pix {

// Bytes of one YUYV row: 2 per pixel, an odd width rounded up to the next
// pair.
constexpr std::ptrdiff_t yuyvRowBytes(int width) {
    return (static_cast<std::ptrdiff_t>(width) + 1) / 2 * 4;
}

// One YUYV pixel pair from two B, G, R pixels, the reference of every
// variant: Y = ((66 R + 129 G + 25 B + 128) >> 8) + 16 per pixel; U and V
// from the pair's mean colour (each channel (a + b + 1) >> 1):
// U = ((112 B - 38 R - 74 G + 128) >> 8) + 128, V = ((112 R - 94 G - 18 B + 128) >> 8) + 128
// (arithmetic shifts). Y lies in 16..235, U and V in 16..240.
void packYuyvPair(const uint8_t* first, const uint8_t* second, uint8_t out[4]);

// Converts `src` (3 channels, bottom-up) into YUYV at `dst`: src.height rows of
// yuyvRowBytes(src.width) bytes, `dstStride` apart, the top line first. With
// an odd width the last pixel is paired with itself. Returns false and
// writes nothing when `src` is not a 3-channel picture, `dstStride` is shorter
// than a row or the rows do not fit in `dstSize` bytes.
bool packBgrToYuyv(const ImageView& src, uint8_t* dst, std::ptrdiff_t dstStride, std::size_t dstSize);

// Converts `src` (3 channels, bottom-up, B, G, R) into RGB24 (R, G, B in
// memory) at `dst`, top line first, `dstStride` bytes apart (at least
// width x 3). Same refusals as packBgrToYuyv.
bool packBgrToRgb24(const ImageView& src, uint8_t* dst, std::ptrdiff_t dstStride, std::size_t dstSize);

// The instruction-set level packBgrToYuyv uses ("avx2", "ssse3" or "baseline").
const char* yuyvPackIsa();

// Makes packBgrToYuyv use the variant of `isa` ("avx2", "ssse3", "baseline")
// when this processor supports it, and returns whether it did; nullptr
// restores the automatic choice. For tests and benchmarks only: it must not
// be called while a conversion runs on another thread.
bool useYuyvPackIsaForTesting(const char* isa);

}  // namespace pix
