#include "compositor/kernels.h"
#include "compositor/kernels_testing.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

namespace pix {

namespace baseline {
#define DV_TARGET
#include "row_kernels.inc"
#undef DV_TARGET
}  // namespace baseline

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#define DV_HAVE_AVX2_VARIANT 1
#endif

#ifdef DV_HAVE_AVX2_VARIANT
#include <immintrin.h>
#include "simd_kernels.inc"
#endif

namespace {

struct KernelTable {
    decltype(&baseline::blendChannelsRowImpl) blendChannels;
    decltype(&baseline::lumaAnaglyphRowImpl) lumaAnaglyph;
    decltype(&baseline::halveWidthRowImpl) halveWidth;
    decltype(&baseline::averageRowsRowImpl) averageRows;
    decltype(&baseline::quarterRowImpl) quarter;
    decltype(&baseline::verticalBlendImpl) verticalBlend;
    decltype(&baseline::horizontalGatherImpl) horizontalGather;
    const char* isa;
};

KernelTable baselineKernels() {
    return {baseline::blendChannelsRowImpl, baseline::lumaAnaglyphRowImpl,
            baseline::halveWidthRowImpl,    baseline::averageRowsRowImpl,
            baseline::quarterRowImpl,       baseline::verticalBlendImpl,
            baseline::horizontalGatherImpl, "baseline"};
}

// The variants of one instruction-set level, or false when the processor
// lacks it.
bool kernelsFor(const char* isa, KernelTable& table) {
    if (std::strcmp(isa, "baseline") == 0) {
        table = baselineKernels();
        return true;
    }
#ifdef DV_HAVE_AVX2_VARIANT
    __builtin_cpu_init();
    if (std::strcmp(isa, "avx2") == 0 && __builtin_cpu_supports("avx2")) {
        table = {simd::avx2x::blendChannelsRowImpl, simd::avx2x::lumaAnaglyphRowImpl,
                 simd::avx2x::halveWidthRowImpl,    simd::avx2x::averageRowsRowImpl,
                 simd::avx2x::quarterRowImpl,       simd::avx2x::verticalBlendImpl,
                 simd::avx2x::horizontalGatherImpl, "avx2"};
        return true;
    }
    if (std::strcmp(isa, "ssse3") == 0 && __builtin_cpu_supports("ssse3")) {
        table = {baseline::blendChannelsRowImpl,    simd::ssse3::lumaAnaglyphRowImpl,
                 simd::ssse3::halveWidthRowImpl,    baseline::averageRowsRowImpl,
                 simd::ssse3::quarterRowImpl,       simd::ssse3::verticalBlendImpl,
                 simd::ssse3::horizontalGatherImpl, "ssse3"};
        return true;
    }
#endif
    return false;
}

KernelTable chooseKernels() {
    KernelTable table = baselineKernels();
    for (const char* isa : {"avx2", "ssse3"})
        if (kernelsFor(isa, table)) break;
    return table;
}

// Chosen once, on first use (thread-safe static initialisation); replaced
// only by the test hook.
KernelTable& kernels() {
    static KernelTable table = chooseKernels();
    return table;
}

bool validPicture(const ImageView& v, int channels) {
    return static_cast<bool>(v) && v.channels == channels &&
           v.stride >= static_cast<std::ptrdiff_t>(v.width) * channels;
}

bool overlaps(const ImageView& a, const ImageView& b) {
    const uint8_t* a0 = a.data;
    const uint8_t* a1 = a.data + a.byteSize();
    const uint8_t* b0 = b.data;
    const uint8_t* b1 = b.data + b.byteSize();
    return a0 < b1 && b0 < a1;
}

}  // namespace

LinearTap linearTap(int dstPos, int srcSize, int dstSize) {
    // The reference computes the scale as the reciprocal of dst/src in double
    // precision and the position in single precision; do the same so that the
    // weights agree bit for bit.
    const double inverseScale = static_cast<double>(dstSize) / srcSize;
    const double scale = 1.0 / inverseScale;
    float f = static_cast<float>((dstPos + 0.5) * scale - 0.5);
    int s = static_cast<int>(std::floor(f));
    f -= static_cast<float>(s);
    if (s < 0) {
        s = 0;
        f = 0.f;
    }
    if (s >= srcSize - 1) {
        s = srcSize - 1;
        f = 0.f;
    }
    LinearTap tap;
    tap.index = s;
    tap.w0 = static_cast<int16_t>(std::lrint((1.f - f) * 2048.f));
    tap.w1 = static_cast<int16_t>(std::lrint(f * 2048.f));
    return tap;
}

bool ResizePlan::build(int srcWidth, int srcHeight, int dstWidth, int dstHeight) {
    clear();
    if (srcWidth <= 0 || srcHeight <= 0 || dstWidth <= 0 || dstHeight <= 0) return false;
    try {
        xOffset.resize(dstWidth);
        xOffsetNext.resize(dstWidth);
        xWeight.resize(2 * static_cast<size_t>(dstWidth));
        yOffset.resize(dstHeight);
        yOffsetNext.resize(dstHeight);
        yWeight.resize(2 * static_cast<size_t>(dstHeight));
        xWeightPairs.resize(8 * static_cast<size_t>(dstWidth));
        rowValues.assign(static_cast<size_t>(srcWidth) * 3 + 8, 0);
    } catch (const std::bad_alloc&) {
        clear();
        return false;
    }
    for (int x = 0; x < dstWidth; ++x) {
        const LinearTap t = linearTap(x, srcWidth, dstWidth);
        xOffset[x] = t.index * 3;
        xOffsetNext[x] = (t.index + 1 < srcWidth ? t.index + 1 : t.index) * 3;
        xWeight[2 * x] = t.w0;
        xWeight[2 * x + 1] = t.w1;
        const int16_t pairs[8] = {t.w0, t.w1, t.w0, t.w1, t.w0, t.w1, 0, 0};
        std::copy(pairs, pairs + 8, xWeightPairs.begin() + 8 * static_cast<std::ptrdiff_t>(x));
    }
    for (int y = 0; y < dstHeight; ++y) {
        const LinearTap t = linearTap(y, srcHeight, dstHeight);
        yOffset[y] = t.index;
        yOffsetNext[y] = t.index + 1 < srcHeight ? t.index + 1 : t.index;
        yWeight[2 * y] = t.w0;
        yWeight[2 * y + 1] = t.w1;
    }
    srcW = srcWidth;
    srcH = srcHeight;
    dstW = dstWidth;
    dstH = dstHeight;
    valid = true;
    return true;
}

void ResizePlan::clear() {
    valid = false;
    srcW = srcH = dstW = dstH = 0;
    // Release the memory, not just the size: plans are rebuilt at every format step.
    std::vector<int32_t>().swap(xOffset);
    std::vector<int32_t>().swap(xOffsetNext);
    std::vector<int16_t>().swap(xWeight);
    std::vector<int32_t>().swap(yOffset);
    std::vector<int32_t>().swap(yOffsetNext);
    std::vector<int16_t>().swap(yWeight);
    std::vector<int16_t>().swap(xWeightPairs);
    std::vector<uint16_t>().swap(rowValues);
}

void resizeBilinear(const ImageView& src, const ImageView& dst, Rect target) {
    if (!validPicture(src, 3) || !validPicture(dst, 3) || target.width <= 0 || target.height <= 0) return;
    // Clip the target rectangle to dst; the mapping stays that of the whole rectangle.
    const int x0 = target.x < 0 ? -target.x : 0;
    const int y0 = target.y < 0 ? -target.y : 0;
    const long long xEnd = std::min<long long>(target.width, static_cast<long long>(dst.width) - target.x);
    const long long yEnd = std::min<long long>(target.height, static_cast<long long>(dst.height) - target.y);
    for (int ty = y0; ty < yEnd; ++ty) {
        const LinearTap vy = linearTap(ty, src.height, target.height);
        const uint8_t* r0 = src.row(vy.index);
        const uint8_t* r1 = src.row(vy.index + 1 < src.height ? vy.index + 1 : vy.index);
        uint8_t* out = dst.row(target.y + ty) + static_cast<std::ptrdiff_t>(target.x) * 3;
        for (int tx = x0; tx < xEnd; ++tx) {
            const LinearTap vx = linearTap(tx, src.width, target.width);
            const int o0 = vx.index * 3;
            const int o1 = (vx.index + 1 < src.width ? vx.index + 1 : vx.index) * 3;
            for (int c = 0; c < 3; ++c) {
                const int top = r0[o0 + c] * vx.w0 + r0[o1 + c] * vx.w1;
                const int bottom = r1[o0 + c] * vx.w0 + r1[o1 + c] * vx.w1;
                out[3 * tx + c] = static_cast<uint8_t>((top * vy.w0 + bottom * vy.w1 + (1 << 21)) >> 22);
            }
        }
    }
}

bool resizeWithPlan(const ImageView& red, const ImageView& greenBlue, const ImageView& dst, Rect target,
                    ResizePlan& plan) {
    return resizeRowsWithPlan(red, greenBlue, dst, target, plan, 0, target.height);
}

bool resizeRowsWithPlan(const ImageView& red, const ImageView& greenBlue, const ImageView& dst, Rect target,
                        ResizePlan& plan, int firstRow, int endRow) {
    if (!validPicture(red, 3) || !validPicture(greenBlue, 3) || !validPicture(dst, 3)) return false;
    if (!red.sameSize(greenBlue) || !plan.matches(red.width, red.height, target.width, target.height))
        return false;
    if (target.x < 0 || target.y < 0 || target.x + target.width > dst.width ||
        target.y + target.height > dst.height)
        return false;
    const KernelTable& k = kernels();
    const ImageView& src = greenBlue;
    const bool plain = red.data == greenBlue.data;
    const bool inPlace = overlaps(dst, red) || overlaps(dst, greenBlue);
    const std::ptrdiff_t outOffset = static_cast<std::ptrdiff_t>(target.x) * 3;
    const int rowBegin = std::max(firstRow, 0), rowEnd = std::min(endRow, target.height);

    // Exact halvings: the bilinear weights are then (1/2, 1/2) or (1, 0), so the
    // result is a rounded mean, computed directly.
    if (plain && !inPlace) {
        const bool halfW = src.width == 2 * target.width;
        const bool halfH = src.height == 2 * target.height;
        const bool sameW = src.width == target.width;
        const bool sameH = src.height == target.height;
        if (halfW && sameH) {
            for (int y = rowBegin; y < rowEnd; ++y)
                k.halveWidth(dst.row(target.y + y) + outOffset, src.row(y), target.width);
            return true;
        }
        if (sameW && halfH) {
            for (int y = rowBegin; y < rowEnd; ++y)
                k.averageRows(dst.row(target.y + y) + outOffset, src.row(2 * y), src.row(2 * y + 1),
                              target.width * 3);
            return true;
        }
        if (halfW && halfH) {
            for (int y = rowBegin; y < rowEnd; ++y)
                k.quarter(dst.row(target.y + y) + outOffset, src.row(2 * y), src.row(2 * y + 1),
                          target.width);
            return true;
        }
    }

    // General case: per output row, blend the two source rows vertically into
    // the plan's row of 16-bit values (all reads of the row happen here), then
    // interpolate horizontally into the output row.
    const int srcBytes = src.width * 3;
    uint16_t* values = plan.rowValues.data();
    for (int y = rowBegin; y < rowEnd; ++y) {
        const int sy0 = plan.yOffset[y], sy1 = plan.yOffsetNext[y];
        const int w0 = plan.yWeight[2 * y], w1 = plan.yWeight[2 * y + 1];
        k.verticalBlend(values, greenBlue.row(sy0), greenBlue.row(sy1), plain ? nullptr : red.row(sy0),
                        plain ? nullptr : red.row(sy1), srcBytes, w0, w1);
        k.horizontalGather(dst.row(target.y + y) + outOffset, values, plan.xOffset.data(),
                           plan.xWeightPairs.data(), target.width);
    }
    return true;
}

void copyImage(const ImageView& src, const ImageView& dst) {
    if (!src || !dst || !src.sameSize(dst) || src.channels != dst.channels || src.data == dst.data) return;
    const size_t rowBytes = static_cast<size_t>(src.width) * src.channels;
    if (src.stride == dst.stride && static_cast<size_t>(src.stride) == ((rowBytes + 3) & ~size_t{3})) {
        std::memmove(dst.data, src.data, static_cast<size_t>(src.stride) * (src.height - 1) + rowBytes);
        return;
    }
    for (int y = 0; y < src.height; ++y)
        std::memmove(dst.row(y), src.row(y), rowBytes);
}

void copyChannel(const ImageView& src, int srcChannel, const ImageView& dst, int dstChannel) {
    if (!src || !dst || !src.sameSize(dst)) return;
    if (srcChannel < 0 || srcChannel >= src.channels || dstChannel < 0 || dstChannel >= dst.channels) return;
    for (int y = 0; y < src.height; ++y) {
        const uint8_t* s = src.row(y) + srcChannel;
        uint8_t* d = dst.row(y) + dstChannel;
        for (int x = 0; x < src.width; ++x)
            d[x * dst.channels] = s[x * src.channels];
    }
}

void fillImage(const ImageView& dst, uint8_t value) {
    if (!dst) return;
    for (int y = 0; y < dst.height; ++y)
        std::memset(dst.row(y), value, static_cast<size_t>(dst.width) * dst.channels);
}

void lumaPlane(const ImageView& src, const ImageView& dst) {
    if (!validPicture(src, 3) || !validPicture(dst, 1) || !src.sameSize(dst)) return;
    for (int y = 0; y < src.height; ++y) {
        const uint8_t* s = src.row(y);
        uint8_t* d = dst.row(y);
        for (int x = 0; x < src.width; ++x)
            d[x] = luma(s[3 * x], s[3 * x + 1], s[3 * x + 2]);
    }
}

void convertToYCrCb(const ImageView& src, const ImageView& dst) {
    if (!validPicture(src, 3) || !validPicture(dst, 3) || !src.sameSize(dst)) return;
    // Cr = (R - Y) * 0.713 + 128, Cb = (B - Y) * 0.564 + 128, 14-bit fixed point.
    constexpr int crCoef = 11682, cbCoef = 9241, delta = 128 << 14, half = 1 << 13;
    for (int y = 0; y < src.height; ++y) {
        const uint8_t* s = src.row(y);
        uint8_t* d = dst.row(y);
        for (int x = 0; x < src.width; ++x) {
            const int b = s[3 * x], g = s[3 * x + 1], r = s[3 * x + 2];
            const int yy = luma(static_cast<uint8_t>(b), static_cast<uint8_t>(g), static_cast<uint8_t>(r));
            const int cr = ((r - yy) * crCoef + delta + half) >> 14;
            const int cb = ((b - yy) * cbCoef + delta + half) >> 14;
            d[3 * x] = static_cast<uint8_t>(yy);
            d[3 * x + 1] = static_cast<uint8_t>(cr < 0 ? 0 : cr > 255 ? 255 : cr);
            d[3 * x + 2] = static_cast<uint8_t>(cb < 0 ? 0 : cb > 255 ? 255 : cb);
        }
    }
}

void blendChannelsRow(uint8_t* dst, const uint8_t* a, const uint8_t* b, int pixels, unsigned maskFromA) {
    kernels().blendChannels(dst, a, b, pixels, maskFromA);
}
void lumaAnaglyphRow(uint8_t* dst, const uint8_t* left, const uint8_t* right, int pixels, bool greenIsZero) {
    kernels().lumaAnaglyph(dst, left, right, pixels, greenIsZero);
}
void halveWidthRow(uint8_t* dst, const uint8_t* src, int outPixels) {
    kernels().halveWidth(dst, src, outPixels);
}
void averageRowsRow(uint8_t* dst, const uint8_t* row0, const uint8_t* row1, int bytes) {
    kernels().averageRows(dst, row0, row1, bytes);
}
void quarterRow(uint8_t* dst, const uint8_t* row0, const uint8_t* row1, int outPixels) {
    kernels().quarter(dst, row0, row1, outPixels);
}
const char* kernelIsa() {
    return kernels().isa;
}

bool useKernelIsaForTesting(const char* isa) {
    if (isa == nullptr) {
        kernels() = chooseKernels();
        return true;
    }
    KernelTable table;
    if (!kernelsFor(isa, table)) return false;
    kernels() = table;
    return true;
}

}  // namespace pix
