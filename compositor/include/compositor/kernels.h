// Pixel kernels of the compositor. All operate on 8-bit interleaved images
// (pix::ImageView) and never read or write outside the views they are given:
// every size mismatch that a kernel cannot serve makes it do nothing.
// None of them allocates; ResizePlan::build is the only allocating call and
// belongs to the format step.
#pragma once

#include <cstdint>
#include <vector>

#include "compositor/image.h"

namespace pix {

// Coefficients of one bilinear mapping of a whole srcWidth x srcHeight picture
// onto a dstWidth x dstHeight rectangle, with the sampling of the reference
// image library's linear mode: pixel centres at +0.5, positions clamped to the
// picture, weights in 11-bit fixed point. Also holds the row scratch the
// general resize needs, so that a resize with a plan allocates nothing.
class ResizePlan {
public:
    // Allocates. Returns false (and leaves the plan empty) on failure.
    bool build(int srcWidth, int srcHeight, int dstWidth, int dstHeight);
    void clear();
    bool matches(int srcWidth, int srcHeight, int dstWidth, int dstHeight) const {
        return valid && srcW == srcWidth && srcH == srcHeight && dstW == dstWidth && dstH == dstHeight;
    }
    bool isValid() const { return valid; }

    int srcW = 0, srcH = 0, dstW = 0, dstH = 0;
    bool valid = false;
    std::vector<int32_t> xOffset;      // per target pixel: byte offset of source pixel sx (sx * 3)
    std::vector<int32_t> xOffsetNext;  // per target pixel: byte offset of sx + 1, clamped to the last pixel
    std::vector<int16_t> xWeight;      // per target pixel: weights of sx and sx + 1 (sum 2048)
    std::vector<int32_t> yOffset;      // per target row: source row sy
    std::vector<int32_t> yOffsetNext;  // per target row: sy + 1, clamped to the last row
    std::vector<int16_t> yWeight;      // per target row: weights of sy and sy + 1 (sum 2048)
    // Per target pixel 8 weights (w0, w1, w0, w1, w0, w1, 0, 0): the pairs of
    // xWeight laid out for the vector kernels.
    std::vector<int16_t> xWeightPairs;
    // One row of vertically blended source values (srcW * 3 used, 8 spare
    // that stay 0 so that a gather at the last pixel may read past it).
    std::vector<uint16_t> rowValues;
};

// Coefficient of one output position, as the reference computes it.
struct LinearTap {
    int index;       // first source position
    int16_t w0, w1;  // weights of index and index + 1 (w1 is 0 at the far edge)
};
LinearTap linearTap(int dstPos, int srcSize, int dstSize);

// Scales the whole of `src` (3 channels) into `target` of `dst` (3 channels)
// with bilinear interpolation; pixels of `target` outside `dst` are skipped,
// the rest of `dst` is untouched. Computes coefficients as it goes (no plan);
// `src` and `dst` must not overlap.
void resizeBilinear(const ImageView& src, const ImageView& dst, Rect target);

// The same with a plan built for (src size -> target size); the target must lie
// inside `dst`. Red is read from `red`, green and blue from `greenBlue` (pass the
// same view twice for a plain picture; both of the plan's source size).
// Output rows are produced in increasing order, each from source rows read
// before the row is written; `dst` may therefore be one of the sources when
// target.y == 0 and the plan does not enlarge vertically (every source row
// read for output row y is >= y). Returns false and does nothing when the
// preconditions do not hold.
bool resizeWithPlan(const ImageView& red, const ImageView& greenBlue, const ImageView& dst, Rect target,
                    ResizePlan& plan);

// Output rows firstRow .. endRow - 1 of the same resize (rows of the target,
// clamped to it); with the same preconditions, the rows of several calls in
// increasing order compose what one resizeWithPlan call writes. Lets a
// caller work on rows of `dst` that no later output row reads (for an
// in-place resize: rows below plan.yOffset of the next output row) while
// they are still in cache.
bool resizeRowsWithPlan(const ImageView& red, const ImageView& greenBlue, const ImageView& dst, Rect target,
                        ResizePlan& plan, int firstRow, int endRow);

// Copies all of `src` into `dst` when both have the same size and channel count.
void copyImage(const ImageView& src, const ImageView& dst);

// Copies channel `srcChannel` (0-based) of every pixel of `src` into channel
// `dstChannel` of `dst`, when both have the same size; other channels of `dst`
// are untouched.
void copyChannel(const ImageView& src, int srcChannel, const ImageView& dst, int dstChannel);

// Sets every byte of `dst` to `value`.
void fillImage(const ImageView& dst, uint8_t value);

// BT.601 luma of one B, G, R pixel, rounded as the reference's BGR to YCrCb
// conversion: (R*4899 + G*9617 + B*1868 + 8192) >> 14.
inline uint8_t luma(uint8_t b, uint8_t g, uint8_t r) {
    return static_cast<uint8_t>((r * 4899 + g * 9617 + b * 1868 + 8192) >> 14);
}

// Luma of every pixel of `src` (3 channels) into `dst` (1 channel) of the same size.
void lumaPlane(const ImageView& src, const ImageView& dst);

// Full BGR to YCrCb conversion (channels Y, Cr, Cb) of `src` into `dst`, both
// 3 channels of one size.
void convertToYCrCb(const ImageView& src, const ImageView& dst);

// ---- row kernels of the fused composition paths ---------------------------
// `pixels` counts 3-byte pixels. Destinations may equal a source
// (element-wise), but must not otherwise overlap one.

// dst = channels of `red` where mask picks red, of `greenBlue` elsewhere:
// byte c of each pixel comes from `a` if bit c of `maskFromA` is set, else from `b`.
void blendChannelsRow(uint8_t* dst, const uint8_t* a, const uint8_t* b, int pixels, unsigned maskFromA);

// Luma anaglyph: R = luma(left), B = luma(right), G = luma(right) (grey) or 0 (true).
void lumaAnaglyphRow(uint8_t* dst, const uint8_t* left, const uint8_t* right, int pixels, bool greenIsZero);

// Half width: out pixel i = rounded mean of source pixels 2i and 2i + 1.
// `dst` may equal `src` (the row is halved in place towards its start).
void halveWidthRow(uint8_t* dst, const uint8_t* src, int outPixels);

// Half height: out = rounded mean of two rows, byte by byte.
void averageRowsRow(uint8_t* dst, const uint8_t* row0, const uint8_t* row1, int bytes);

// Half width and height: out pixel i = rounded mean of pixels 2i, 2i + 1 of both rows.
// `dst` may equal `row0` or `row1` (in place towards the row's start).
void quarterRow(uint8_t* dst, const uint8_t* row0, const uint8_t* row1, int outPixels);

// Name of the instruction set the kernels dispatch to ("avx2", "ssse3", "baseline").
const char* kernelIsa();

}  // namespace pix
