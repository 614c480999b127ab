// Camera pixel formats to the video path's 24-bit B, G, R pictures.
//
// The conversion is BT.601 with limited range (Y 16..235, Cb/Cr 16..240), as
// webcams deliver it, in 6-bit fixed point. With c = Y - 16, d = Cb - 128,
// e = Cr - 128 and integer arithmetic (">>" an arithmetic shift):
//   y = 74 * c + (c >> 1)                      (74.5 * c, i.e. 1.164 * 64)
//   R = clamp((y + 102 * e + 32) >> 6)         (1.596 * 64 = 102.1)
//   G = clamp((y - 25 * d - 52 * e + 32) >> 6) (0.391 * 64 = 25.0, 0.813 * 64 = 52.0)
//   B = clamp((y + 129 * d + 32) >> 6)         (2.018 * 64 = 129.2)
// with clamp to 0..255. Y 16 gives 0 and Y 235 gives 255 on grey. The vector
// variants give exactly the same bytes as the portable one (their 16-bit
// sums saturate only where the clamp gives 255 anyway).
//
// Two horizontally adjacent pixels share one Cb/Cr pair; NV12 also shares it
// between two rows. An odd width or height uses the pair of the last
// (incomplete) group.
//
// Nothing here allocates, takes a lock or keeps state besides the kernel
// table chosen once per process; every call is thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pix {

// Destination of a frame conversion: `height` rows of `width` B, G, R pixels,
// `stride` bytes apart. `bottomUp` stores source row 0 (the top line) in the
// last buffer row, as the video path's bitmaps are laid out.
struct BgrTarget {
    uint8_t* data = nullptr;
    std::ptrdiff_t stride = 0;
    int width = 0;
    int height = 0;
    bool bottomUp = true;
};

// Packed 4:2:2, bytes Y0 Cb Y1 Cr per pixel pair; source rows `srcStride`
// bytes apart, each at least ((width + 1) / 2) * 4 bytes long. Does nothing
// when a size is not positive or a pointer is null.
void convertYuyvToBgr(const uint8_t* src, std::ptrdiff_t srcStride, const BgrTarget& dst);

// Semi-planar 4:2:0: `height` luma rows `lumaStride` bytes apart, then at
// `chroma` (height + 1) / 2 rows of interleaved Cb, Cr pairs, `chromaStride`
// bytes apart. Same conditions as convertYuyvToBgr.
void convertNv12ToBgr(const uint8_t* luma, std::ptrdiff_t lumaStride, const uint8_t* chroma,
                      std::ptrdiff_t chromaStride, const BgrTarget& dst);

// One row each, into `pixels` packed B, G, R pixels (no padding).
void yuyvToBgrRow(const uint8_t* src, uint8_t* dst, int pixels);
void nv12ToBgrRow(const uint8_t* luma, const uint8_t* chroma, uint8_t* dst, int pixels);

// The instruction-set level the conversions use: "avx512" (AVX-512 BW and
// VBMI; YUYV only, NV12 as at "avx2"), "avx2", "ssse3" or "baseline".
const char* yuvConvertIsa();

// Test and benchmark hook: makes the conversions use the variants of `isa`
// ("avx512", "avx2", "ssse3" or "baseline") when this processor supports them, and
// returns whether it did; nullptr restores the automatic choice. Must not be
// called while a conversion runs on another thread.
bool useYuvConvertIsaForTesting(const char* isa);

}  // namespace pix
